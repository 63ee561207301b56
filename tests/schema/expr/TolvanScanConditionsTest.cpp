// The index scan conditions against plain evaluation: whatever comparisons a filter gives to the
// indexes, the rows a search would deliver (key conditions under a model of the index order, and
// the rest of the filter) are exactly the rows the whole filter accepts, and the filter comes
// back unchanged.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "classlib/DateUtils.h"
#include "foundation/TolvanExcept.h"
#include "foundation/TolvanMemory.h"
#include "foundation/TolvanVariantOps.h"
#include "schema/expr/TolvanExprDump.h"
#include "schema/expr/TolvanExpression.h"
#include "tests/schema/expr/ExprTestSupport.h"

namespace tolvan::test {
namespace {

// A table of typed columns, a few dozen rows as record buffers and random indexes over it.
class TScanTable {
public:
  TScanTable()
      : Open({{"I", tftInteger},
              {"S", tftSmallInt},
              {"F", tftDouble},
              {"V", tftVarchar, 8},
              {"D", tftDate},
              {"T", tftDateTime}}) {}
  ~TScanTable() {
    for (uint8_t*& Row : Rows)
      TTolvanCursor::FreeRecordBuffer(Row);
  }

  TTolvanCursor& Cursor() { return Open.Cursor; }

  void Fill(std::mt19937& Random, int32_t Count) {
    auto Pick = [&](int32_t N) { return int32_t(Random() % uint32_t(N)); };
    const char* Texts[] = {"abc", "ABC", "abd", "Ab", "b", "zzzzzzzz", "a", "ABD"};
    for (int32_t R = 0; R < Count; ++R) {
      uint8_t* Row = Cursor().AllocRecordBuffer();
      Rows.push_back(Row);
      Cursor().InitRecord(Row, false);
      auto Set = [&](int32_t No, TTolvanVariant& V) {
        if (Pick(7) != 0)
          Cursor().SetCursorFieldValue(V, No, Row, true);
      };
      TTolvanVariant V;
      V.Clear(tvtSignedInt64);
      V.SetAsLargeInt(Pick(11) - 5);
      Set(0, V);
      V.Clear(tvtSignedInt64);
      V.SetAsLargeInt(Pick(5) == 0 ? 32767 : Pick(7) - 3);
      Set(1, V);
      V.Clear(tvtFloat);
      V.SetAsDouble((Pick(9) - 4) * 0.5);
      Set(2, V);
      V.Clear(tvtString);
      V.SetAsString(Texts[Pick(8)]);
      Set(3, V);
      V.Clear(tvtDate);
      V.SetAsStoredDate(738000 + Pick(5));
      Set(4, V);
      V.Clear(tvtDateTime);
      V.SetAsStoredDateTime({738000 + Pick(3), Pick(2) * 43200000});
      Set(5, V);
    }
  }

  // One index per column and a second one on V with the other case mode, in random order, each
  // ascending or descending at random.
  void MakeIndexes(std::mt19937& Random) {
    IndexDefs.Clear();
    struct TSpec {
      const char* Column;
      bool CaseInsensitive;
    };
    const bool VFirstCase = Random() % 2;
    std::vector<TSpec> Specs = {{"I", false},       {"S", false}, {"F", false}, {"V", VFirstCase},
                                {"v", !VFirstCase}, {"D", false}, {"T", false}};
    std::shuffle(Specs.begin(), Specs.end(), Random);
    int32_t Id = 100;
    for (const TSpec& S : Specs) {
      TTolvanIndexDef& Def = static_cast<TTolvanIndexDef&>(IndexDefs.AddNew());
      Def.SetName("IX" + std::to_string(Id));
      Def.SetObjectID(Id++);
      Def.SetColumnCount(1);
      Def.Columns(0).SetName(S.Column);
      Def.Columns(0).SetDescending(Random() % 2);
      Def.Columns(0).SetCaseInsensitive(S.CaseInsensitive);
    }
  }

  // The value of column FieldNo in Buffer.
  void Read(uint8_t* Buffer, int32_t FieldNo, TTolvanVariant& V) {
    uint8_t* Saved = Cursor().RecordBuffer();
    Cursor().SetRecordBuffer(Buffer);
    Cursor().GetFieldValue(V, FieldNo, true, true);
    Cursor().SetRecordBuffer(Saved);
  }

  // The key condition holds for Row under the index's order: nulls first, the column type's
  // order with the index column's case mode, all reversed for a descending column.
  bool KeyHolds(const TTolvanScanSearchCondition& C, uint8_t* Row) {
    const TTolvanIndexDef* Def = static_cast<TTolvanIndexDef*>(IndexDefs.FindByID(C.IndexID));
    EXPECT_NE(Def, nullptr);
    const TTolvanIndexColumn& Column = Def->Columns(0);
    const int32_t FieldNo = Cursor().FieldDefs().IndexOfName(Column.Name());
    TTolvanVariant RowValue, KeyValue;
    Read(Row, FieldNo, RowValue);
    Read(const_cast<uint8_t*>(C.KeyBuffer), FieldNo, KeyValue);
    const TTolvanCompareResult R =
        FoldNullCodes(RowValue.Compare(KeyValue, false, Column.CaseInsensitive() != 0, false));
    int Sign = R == tcrEqual ? 0 : R == tcrLess ? -1 : 1;
    if (Column.Descending())
      Sign = -Sign;
    switch (C.ConditionType) {
    case sctEqual:
      return Sign == 0;
    case sctLess:
      return Sign < 0;
    case sctGreater:
      return Sign > 0;
    case sctLessOrEqual:
      return Sign <= 0;
    case sctGreaterOrEqual:
      return Sign >= 0;
    default:
      ADD_FAILURE() << "condition type " << int(C.ConditionType);
      return false;
    }
  }

  TRecordCursor Open;
  std::vector<uint8_t*> Rows;
  TTolvanIndexDefs IndexDefs;
};

// The rows the expression accepts, evaluated row by row; false when evaluation raised.
bool PlainRows(TTolvanExpression& E, TScanTable& Table, std::set<int32_t>& Rows) {
  try {
    for (int32_t R = 0; R < int32_t(Table.Rows.size()); ++R) {
      E.SetRecordBuffer(Table.Rows[size_t(R)]);
      if (E.EvaluateBoolean())
        Rows.insert(R);
    }
  } catch (const Exception&) {
    return false;
  }
  return true;
}

// --- random filters ---------------------------------------------------------------------------

const char* const ColumnNames[] = {"I", "S", "F", "V", "D", "T"};

std::string TextConstant(std::mt19937& Random, int32_t Column) {
  auto Pick = [&](const std::vector<std::string>& From) { return From[Random() % From.size()]; };
  static const std::vector<std::string> Common = {"NULL", "0", "2.5", "'3'"};
  if (Random() % 4 == 0)
    return Pick(Common);
  switch (Column) {
  case 0:
    return Pick({"-5", "-1", "0", "1", "3", "5", "-1.5", "3000000000", "2.0"});
  case 1:
    return Pick({"-3", "0", "2", "32767", "40000", "100000", "-25536", "1.5"});
  case 2:
    return Pick({"-2", "-1.5", "0", "0.5", "1", "2", "1e300", "0.1"});
  case 3:
    return Pick({"'abc'", "'ABC'", "'Ab'", "'b'", "'zzzzzzzz'", "'zzzzzzzzz'", "'ab*'", "'a*'",
                 "'abcdefghijk'", "'ABD'"});
  case 4:
    return Pick({"'1/1/2022'", "'8/10/2021'", "'8/12/2021'", "738001"});
  default:
    return Pick({"'8/10/2021'", "'8/11/2021 12:00:00'", "'8/12/2021'"});
  }
}

std::string RandomConjunct(std::mt19937& Random) {
  static const char* const Ops[] = {"=", "<>", ">", "<", ">=", "<="};
  const int32_t Column = int32_t(Random() % 6);
  const std::string Op = Ops[Random() % 6];
  const std::string Constant = TextConstant(Random, Column);
  if (Random() % 2)
    return std::string(ColumnNames[Column]) + " " + Op + " " + Constant;
  return Constant + " " + Op + " " + ColumnNames[Column];
}

std::string RandomFilterText(std::mt19937& Random) {
  const int32_t Count = 1 + int32_t(Random() % 4);
  std::string Text;
  for (int32_t I = 0; I < Count; ++I) {
    if (I > 0)
      Text += " AND ";
    switch (Random() % 8) {
    case 0:
      Text += "(" + RandomConjunct(Random) + " OR " + RandomConjunct(Random) + ")";
      break;
    case 1:
      Text += "(" + RandomConjunct(Random) + " AND " + RandomConjunct(Random) + ")";
      break;
    case 2:
      Text += "NOT " + RandomConjunct(Random);
      break;
    default:
      Text += RandomConjunct(Random);
      break;
    }
  }
  return Text;
}

Variant RandomKey(std::mt19937& Random, int32_t Column) {
  if (Random() % 5 == 0)
    return Variant::Null();
  switch (Column) {
  case 0:
    return Random() % 4 ? Variant(int32_t(Random() % 11) - 5) : Variant(2.5);
  case 1:
    return Random() % 4 ? Variant(int32_t(Random() % 7) - 3) : Variant(int32_t(40000));
  case 2:
    return Variant((int32_t(Random() % 9) - 4) * 0.5);
  case 3: {
    const char* Texts[] = {"abc", "ABC", "Ab", "b", "zzzzzzzzz", "ab"};
    return Variant(Texts[Random() % 6]);
  }
  default:
    return Variant::FromDateTime(StoredDateToDateTime(738000 + int32_t(Random() % 5)) +
                                 (Random() % 2) * 0.5);
  }
}

// A hand-made comparison with a typed constant and random options.
TNode RandomTypedComparison(std::mt19937& Random, TScanTable& Table) {
  static const TTolvanExprOperator Ops[] = {eoEqual, eoNotEqual,       eoGreater,
                                            eoLess,  eoGreaterOrEqual, eoLessOrEqual};
  const int32_t Column = int32_t(Random() % 6);
  TTolvanVariant V;
  switch (Random() % 9) {
  case 0:
    V.Clear(tvtInteger);
    V.SetAsInteger(int32_t(Random() % 9) - 4);
    break;
  case 1:
    V.Clear(tvtSignedInt16);
    V.SetAsSmallInt(int16_t(Random() % 7 - 3));
    break;
  case 2:
    V.Clear(tvtSingle);
    V.SetAsSingle(float(int32_t(Random() % 9) - 4) * 0.5f);
    break;
  case 3:
    V.Clear(tvtString);
    V.SetAsString(Random() % 2 ? "abc" : "Ab");
    break;
  case 4:
    V.Clear(tvtWideString);
    V.SetAsWideString(Random() % 2 ? u"ABC" : u"b\u20ac");
    break;
  case 5:
    V.Clear(tvtDate);
    V.SetAsStoredDate(738000 + int32_t(Random() % 5));
    break;
  case 6:
    V.Clear(tvtDateTime);
    V.SetAsStoredDateTime({738000 + int32_t(Random() % 3), int32_t(Random() % 2) * 43200000});
    break;
  case 7:
    V.Clear(tvtUnsignedInt16);
    V.SetAsWord(uint16_t(Random() % 4));
    break;
  default:
    V.Clear(tvtFloat);
    break; // null
  }
  const bool Keep = Random() % 2, CaseInsensitive = Random() % 2, Partial = Random() % 5 == 0;
  TNode Field = Table.Open.Field(ColumnNames[Column]);
  auto Constant = std::make_unique<TTolvanExprNodeConst>(CaseInsensitive, Partial);
  Constant->SetValue(V);
  const TTolvanExprOperator Op = Ops[Random() % 6];
  if (Random() % 2)
    return std::make_unique<TTolvanExprNodeComparison>(Op, std::move(Field), std::move(Constant),
                                                       Keep, CaseInsensitive, Partial);
  return std::make_unique<TTolvanExprNodeComparison>(Op, std::move(Constant), std::move(Field),
                                                     Keep, CaseInsensitive, Partial);
}

struct TOutcome {
  int32_t Checked = 0;
  int32_t Extracted = 0;
  int32_t Oversized = 0;
  // Every other filter runs through this array and list, kept as a cursor keeps them between
  // searches: cleared and released ones must serve the next filter as fresh ones would.
  TTolvanScanSearchConditionArray KeptConditions;
  TTolvanExtractedComparisons KeptList;
  int32_t KeptRuns = 0;
};

// Runs one filter through the scan conditions and compares with plain evaluation.
void CheckFilter(TTolvanExpression& E, TScanTable& Table, const std::string& Label,
                 TOutcome& Outcome) {
  std::set<int32_t> Expected;
  if (!PlainRows(E, Table, Expected))
    return;
  ++Outcome.Checked;
  const std::string Before = DumpExprTree(E.Root());
  const bool Oversized = E.HasOversizedStringEquality();
  if (Oversized) {
    ++Outcome.Oversized;
    EXPECT_TRUE(Expected.empty()) << Label << "\n" << Before;
  }
  std::set<int32_t> Scanned;
  {
    TTolvanScanSearchConditionArray OwnConditions;
    TTolvanExtractedComparisons OwnList;
    const bool Kept = Outcome.Checked % 2 == 0;
    Outcome.KeptRuns += Kept;
    TTolvanScanSearchConditionArray& Conditions = Kept ? Outcome.KeptConditions : OwnConditions;
    TTolvanExtractedComparisons& List = Kept ? Outcome.KeptList : OwnList;
    Conditions.Clear();
    Conditions.AddExpression(&E);
    Conditions.ExtractIndexConditions(Table.IndexDefs, List);
    Outcome.Extracted += List.Count();
    EXPECT_EQ(Conditions.Count() > 1, List.Count() > 0) << Label;
    for (int32_t R = 0; R < int32_t(Table.Rows.size()) && !Oversized; ++R) {
      uint8_t* Row = Table.Rows[size_t(R)];
      bool Pass = true;
      for (int32_t C = 1; C < Conditions.Count() && Pass; ++C)
        Pass = Table.KeyHolds(Conditions.Items(C), Row);
      if (Pass && !E.IsEmpty()) {
        E.SetRecordBuffer(Row);
        Pass = E.EvaluateBoolean();
      }
      if (Pass)
        Scanned.insert(R);
    }
    Conditions.ReleaseExtracted(List);
    EXPECT_EQ(List.Count(), 0);
  }
  EXPECT_EQ(Scanned, Expected) << Label << "\n"
                               << Before << "\nindexes:" <<
      [&] {
        std::string S;
        for (int32_t I = 0; I < Table.IndexDefs.Count(); ++I) {
          const TTolvanIndexColumn& C = Table.IndexDefs.Items(I).Columns(0);
          S += " " + C.Name() + (C.Descending() ? " desc" : " asc") +
               (C.CaseInsensitive() ? " ci" : " cs");
        }
        return S;
      }();
  EXPECT_EQ(DumpExprTree(E.Root()), Before) << Label;
}

TEST(ScanConditions, SelectTheRowsThatPlainEvaluationSelects) {
  TOutcome Outcome;
  for (uint32_t Seed : {1u, 2u, 3u, 4u, 5u, 6u}) {
    std::mt19937 Random(Seed);
    TScanTable Table;
    Table.Fill(Random, 40);
    for (int32_t Round = 0; Round < 150; ++Round) {
      Table.MakeIndexes(Random);
      // From filter text.
      {
        const std::string Text = RandomFilterText(Random);
        const bool CaseInsensitive = Random() % 2, Partial = Random() % 3 == 0;
        TTolvanExpression E;
        try {
          E.ParseFilter(&Table.Cursor(), Text, CaseInsensitive, Partial);
        } catch (const Exception&) {
          continue;
        }
        CheckFilter(E, Table,
                    "seed " + std::to_string(Seed) + " filter " + Text +
                        (CaseInsensitive ? " [case-insensitive]" : "") +
                        (Partial ? " [partial]" : ""),
                    Outcome);
      }
      // From Locate keys.
      {
        std::vector<int32_t> Columns = {0, 1, 2, 3, 4, 5};
        std::shuffle(Columns.begin(), Columns.end(), Random);
        const int32_t Count = 1 + int32_t(Random() % 3);
        std::string Names;
        std::vector<Variant> Keys;
        for (int32_t I = 0; I < Count; ++I) {
          Names += (I ? ";" : "") + std::string(ColumnNames[Columns[size_t(I)]]);
          Keys.push_back(RandomKey(Random, Columns[size_t(I)]));
        }
        const bool CaseInsensitive = Random() % 2, Partial = Random() % 4 == 0;
        TTolvanExpression E;
        E.BuildLocate(&Table.Cursor(), Names, Count == 1 ? Keys[0] : VarArrayOf(Keys),
                      CaseInsensitive, Partial);
        CheckFilter(E, Table, "seed " + std::to_string(Seed) + " locate " + Names, Outcome);
      }
      // Typed constants.
      {
        TTolvanExpression E;
        const int32_t Count = 1 + int32_t(Random() % 3);
        for (int32_t I = 0; I < Count; ++I)
          E.AddComparison(RandomTypedComparison(Random, Table));
        E.BindToCursor(&Table.Cursor());
        CheckFilter(E, Table, "seed " + std::to_string(Seed) + " typed", Outcome);
      }
    }
  }
  // The generators must reach every path in a meaningful share.
  EXPECT_GT(Outcome.Checked, 1500);
  EXPECT_GT(Outcome.Extracted, 800);
  EXPECT_GT(Outcome.Oversized, 20);
  EXPECT_GT(Outcome.KeptList.SpareKeyBlockCount(), 0) << "the kept list reused no key block";
}

// The array keeps its condition objects: a deleted or cleared one comes back fresh, and the
// order of the others holds. The list keeps key blocks of known size as spares, handed out
// zeroed to a request of that size only.
TEST(ScanConditions, KeptArrayAndListServeAgainLikeFreshOnes) {
  TTolvanScanSearchConditionArray A;
  TTolvanScanSearchCondition Key;
  Key.ConditionType = sctLess;
  Key.IndexID = 7;
  Key.KeyFieldCount = 2;
  TTolvanExpression E1, E2;
  A.AddCondition(Key);
  A.AddExpression(&E1);
  A.AddExpression(&E2);
  A.Delete(0);
  ASSERT_EQ(A.Count(), 2);
  EXPECT_EQ(A.Items(0).Expression, &E1);
  EXPECT_EQ(A.Items(1).Expression, &E2);
  A.AddExpression(&E1);
  EXPECT_EQ(A.Items(2).ConditionType, sctExpression);
  EXPECT_EQ(A.Items(2).IndexID, -1);
  EXPECT_EQ(A.Items(2).KeyFieldCount, 0);
  A.Clear();
  EXPECT_EQ(A.Count(), 0);
  EXPECT_THROW(A.Items(0), EListError);
  A.AddCondition(Key);
  EXPECT_EQ(A.Items(0).Expression, nullptr);
  EXPECT_EQ(A.Items(0).IndexID, 7);

  TTolvanExtractedComparisons List;
  uint8_t* Block = List.TakeKeyBlock(24);
  std::memset(Block, 0xAB, 24);
  TTolvanExtractedComparison& Entry = List.Add();
  Entry.KeyBuffer = Block;
  Entry.KeyBufferSize = 24;
  // A block of unknown size is freed, not kept.
  List.Add().KeyBuffer = static_cast<uint8_t*>(TTolvanMemoryManager::AllocMem(8));
  List.ReleaseAll();
  EXPECT_EQ(List.Count(), 0);
  EXPECT_EQ(List.SpareKeyBlockCount(), 1);
  uint8_t* Other = List.TakeKeyBlock(16);
  EXPECT_NE(Other, Block);
  uint8_t* Again = List.TakeKeyBlock(24);
  EXPECT_EQ(Again, Block);
  EXPECT_EQ(std::count(Again, Again + 24, 0), 24);
  EXPECT_EQ(List.Add().KeyBuffer, nullptr) << "a kept entry comes back empty";
  List.ReturnKeyBlock(Again, 24);
  List.ReturnKeyBlock(Other, 16);
}

} // namespace
} // namespace tolvan::test
