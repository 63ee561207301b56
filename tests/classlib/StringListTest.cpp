#include "classlib/StringList.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "classlib/DB.h"
#include "classlib/SysUtils.h"

namespace tolvan {
namespace {

TEST(StringList, EditsKeepOrder) {
  TStringList L;
  EXPECT_EQ(L.Add("b"), 0);
  EXPECT_EQ(L.Add("d"), 1);
  L.Insert(0, "a");
  L.Insert(2, "c");
  L.Insert(4, "e");
  ASSERT_EQ(L.Count(), 5);
  for (int32_t I = 0; I < 5; ++I)
    EXPECT_EQ(L.Strings(I), std::string(1, static_cast<char>('a' + I)));
  L.Delete(1);
  L.SetStrings(0, "z");
  EXPECT_EQ(L.Strings(0), "z");
  EXPECT_EQ(L.Strings(1), "c");
  L.Clear();
  EXPECT_EQ(L.Count(), 0);
}

TEST(StringList, BadIndexRaisesListError) {
  TStringList L;
  L.Add("x");
  for (int32_t Bad : {-1, 1, 5}) {
    try {
      (void)L.Strings(Bad);
      FAIL() << Bad;
    } catch (const EListError& E) {
      EXPECT_EQ(E.Message(), "List index out of bounds (" + std::to_string(Bad) + ")");
    }
    EXPECT_THROW(L.Delete(Bad), EListError);
    EXPECT_THROW(L.SetStrings(Bad, "y"), EListError);
  }
  EXPECT_THROW(L.Insert(-1, "y"), EListError);
  EXPECT_THROW(L.Insert(2, "y"), EListError);
  EXPECT_EQ(L.Count(), 1);
}

TEST(StringList, IndexOfIgnoresCaseUnlessAsked) {
  TStringList L;
  L.Add("NAME");
  L.Add("\xC9t\xE9"); // "Été" in Windows-1252
  L.Add("name");
  EXPECT_EQ(L.IndexOf("name"), 0);
  EXPECT_EQ(L.IndexOf("\xE9T\xC9"), 1);
  EXPECT_EQ(L.IndexOf("nam"), -1);
  L.SetCaseSensitive(true);
  EXPECT_EQ(L.IndexOf("name"), 2);
  EXPECT_EQ(L.IndexOf("\xE9T\xC9"), -1);
}

TEST(StringList, TextAndDelimitedText) {
  using V = std::vector<std::string>;
  const struct {
    const char* Text;
    V Lines;
    const char* Back; // Text after the round trip
  } TextCases[] = {
      {"", {}, ""},
      {"a", {"a"}, "a\r\n"},
      {"a\r\nb\r\n", {"a", "b"}, "a\r\nb\r\n"},
      {"a\nb\rc", {"a", "b", "c"}, "a\r\nb\r\nc\r\n"},
      {"a\r\n\r\n b ", {"a", "", " b "}, "a\r\n\r\n b \r\n"},
      {"\n", {""}, "\r\n"},
  };
  for (const auto& C : TextCases) {
    SCOPED_TRACE(C.Text);
    TStringList L;
    L.SetText(C.Text);
    ASSERT_EQ(L.Count(), int32_t(C.Lines.size()));
    for (int32_t I = 0; I < L.Count(); ++I)
      EXPECT_EQ(L.Strings(I), C.Lines[I]);
    EXPECT_EQ(L.Text(), C.Back);
  }

  const struct {
    char Delimiter;
    const char* Text;
    V Items;
    const char* Back;
  } DelimitedCases[] = {
      {',', "", {}, ""},
      {',', "a", {"a"}, "a"},
      {',', " a , b ,c", {"a", "b", "c"}, "a,b,c"},
      {',', "a,,b,", {"a", "", "b", ""}, "a,,b,"},
      {',', "a;b", {"a;b"}, "a;b"},
      {';', " x ; y", {"x", "y"}, "x;y"},
      {';', "\"q;r\"", {"\"q", "r\""}, "\"q;r\""}, // no quoting
  };
  for (const auto& C : DelimitedCases) {
    SCOPED_TRACE(C.Text);
    TStringList L;
    L.SetDelimiter(C.Delimiter);
    L.SetDelimitedText(C.Text);
    ASSERT_EQ(L.Count(), int32_t(C.Items.size()));
    for (int32_t I = 0; I < L.Count(); ++I)
      EXPECT_EQ(L.Strings(I), C.Items[I]);
    EXPECT_EQ(L.DelimitedText(), C.Back);
  }
  TStringList L;
  EXPECT_EQ(L.Delimiter(), ',');
  EXPECT_THROW(L.SetDelimiter('|'), EListError);
}

TEST(StringList, OnChangeOncePerChangeOrUpdateBlock) {
  TStringList Other;
  Other.Add("o1");
  Other.Add("o2");
  const struct {
    const char* What;
    std::function<void(TStringList&)> Do;
    int Changes;
  } Cases[] = {
      {"Add", [](TStringList& L) { L.Add("x"); }, 1},
      {"Insert", [](TStringList& L) { L.Insert(0, "x"); }, 1},
      {"Delete", [](TStringList& L) { L.Delete(0); }, 1},
      {"SetStrings", [](TStringList& L) { L.SetStrings(0, "x"); }, 1},
      {"Clear", [](TStringList& L) { L.Clear(); }, 1},
      {"Clear empty",
       [](TStringList& L) {
         L.Clear();
         L.Clear();
       },
       1},
      {"SetText", [](TStringList& L) { L.SetText("a\r\nb\r\nc"); }, 1},
      {"SetDelimitedText", [](TStringList& L) { L.SetDelimitedText("a,b,c"); }, 1},
      {"Assign", [&](TStringList& L) { L.Assign(Other); }, 1},
      {"Update block",
       [](TStringList& L) {
         L.BeginUpdate();
         L.Add("x");
         L.BeginUpdate();
         L.Delete(0);
         L.EndUpdate();
         L.SetText("q");
         L.EndUpdate();
       },
       1},
      {"Empty update block",
       [](TStringList& L) {
         L.BeginUpdate();
         L.EndUpdate();
       },
       0},
      {"Failed change", [](TStringList& L) { EXPECT_THROW(L.Delete(9), EListError); }, 0},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.What);
    TStringList L;
    L.Add("start");
    int Changes = 0;
    L.SetOnChange([&](TStringList& Sender) {
      EXPECT_EQ(&Sender, &L);
      ++Changes;
    });
    C.Do(L);
    EXPECT_EQ(Changes, C.Changes);
  }
  TStringList L;
  L.Assign(Other);
  EXPECT_EQ(L.Text(), "o1\r\no2\r\n");
}

TEST(DatabaseError, IsAnException) {
  try {
    throw EDatabaseError("Parameter 'p' not found");
  } catch (const Exception& E) {
    EXPECT_STREQ(E.what(), "Parameter 'p' not found");
  }
}

} // namespace
} // namespace tolvan
