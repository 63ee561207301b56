#include "sql/TolvanFieldLinks.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "schema/expr/TolvanExprNodes.h"
#include "schema/expr/TolvanExpression.h"
#include "schema/expr/TolvanLexer.h"

using namespace tolvan;

namespace {

std::vector<std::string> Strings(const TStringList& List) {
  std::vector<std::string> Result;
  for (int32_t I = 0; I < List.Count(); ++I)
    Result.push_back(List.Strings(I));
  return Result;
}

TEST(Fields, AddKeepsACopyOfTheItemAndItsExpression) {
  TTolvanLexer Lexer("2 * 21", nullptr);
  Lexer.NextStatement();
  TTolvanSelectListItem Item;
  Item.IsExpression = true;
  Item.Alias = "answer";
  Item.Expression = TTolvanExpression::Create();
  Item.Expression->ParseValue(Lexer);
  TTolvanFields Fields;
  Fields.Add(Item);
  TTolvanSelectListItem Plain;
  Plain.TableName = "t";
  Plain.FieldName = "a";
  Fields.Add(std::move(Plain));
  ASSERT_EQ(Fields.Count(), 2);
  EXPECT_EQ(Fields.Highest(), 1);
  const TTolvanSelectListItem& Copy = Fields.Items(0);
  ASSERT_NE(Copy.Expression, nullptr);
  EXPECT_NE(Copy.Expression.get(), Item.Expression.get());
  EXPECT_EQ(Copy.Alias, "answer");
  EXPECT_TRUE(Copy.IsExpression);
  // The copy lives on without the original.
  Item.Expression.reset();
  const TTolvanVariant* Value = Fields.Items(0).Expression->Evaluate(true);
  ASSERT_NE(Value, nullptr);
  EXPECT_EQ(Value->GetAsLargeInt(), 42);
  EXPECT_EQ(Fields.Items(1).FieldName, "a");
  EXPECT_EQ(Fields.Items(1).Expression, nullptr);
}

TEST(OrderBy, TextsAndListsConvertBothWays) {
  struct TCase {
    const char* Fields;
    const char* Descending;
    const char* NoCase;
    std::vector<std::string> Names, Directions, Cases;
    // The texts made back from the lists.
    const char* BackFields;
    const char* BackDescending;
    const char* BackNoCase;
  };
  const TCase Cases[] = {
      {"a;B;c",
       "b",
       "C;a",
       {"A", "B", "C"},
       {"ASC", "DESC", "ASC"},
       {"NO_CASE", "CASE", "NO_CASE"},
       "A;B;C",
       "B",
       "A;C"},
      {" name ; id ",
       "NAME",
       "",
       {"NAME", "ID"},
       {"DESC", "ASC"},
       {"CASE", "CASE"},
       "NAME;ID",
       "NAME",
       ""},
      {"", "x", "x", {}, {}, {}, "", "", ""},
      // A descending name that is no field is ignored.
      {"x;", "y", "", {"X"}, {"ASC"}, {"CASE"}, "X", "", ""},
  };
  for (const TCase& Case : Cases) {
    SCOPED_TRACE(Case.Fields);
    TStringList Names, Directions, CaseList;
    Names.Add("stale");
    OrderByStringsToLists(Case.Fields, Case.Descending, Case.NoCase, Names, Directions, CaseList);
    EXPECT_EQ(Strings(Names), Case.Names);
    EXPECT_EQ(Strings(Directions), Case.Directions);
    EXPECT_EQ(Strings(CaseList), Case.Cases);
    AnsiString Fields = "stale", Descending, NoCase;
    OrderByListsToStrings(Names, Directions, CaseList, Fields, Descending, NoCase);
    EXPECT_EQ(Fields, Case.BackFields);
    EXPECT_EQ(Descending, Case.BackDescending);
    EXPECT_EQ(NoCase, Case.BackNoCase);
  }
  // Only the exact words count when lists become texts.
  TStringList Names, Directions, CaseList;
  Names.Add("a");
  Directions.Add("desc");
  CaseList.Add("NO_CASE");
  AnsiString Fields, Descending, NoCase;
  OrderByListsToStrings(Names, Directions, CaseList, Fields, Descending, NoCase);
  EXPECT_EQ(Descending, "");
  EXPECT_EQ(NoCase, "a");
}

} // namespace
