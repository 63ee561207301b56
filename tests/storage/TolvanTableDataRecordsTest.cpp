#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "foundation/TolvanExcept.h"
#include "schema/TolvanRecordBuffer.h"
#include "schema/expr/TolvanExpression.h"
#include "storage/TolvanRecordBitmap.h"
#include "storage/TolvanScans.h"
#include "storage/TolvanSearch.h"
#include "storage/btree/TolvanBTreeIndex.h"
#include "tests/foundation/TestSupport.h"
#include "tests/storage/MemoryEngineTestSupport.h"
#include "tests/storage/TableTestSupport.h"

using namespace tolvan;
using namespace tolvan::test;

namespace {

using TIDs = TRecordIDs;

// Table (I Integer, S Varchar(6), N Varchar(6), D Date) with the indexes ByI (I, unique), SI
// (S, I), NDesc (N descending, ignoring case) and ByD (D), whatever engine holds it. I is unique
// by construction; S, N and D come from small domains with NULLs, so keys repeat.
class TRecTables {
public:
  virtual ~TRecTables() = default;

  virtual TTolvanTableData& Data() = 0;
  virtual TTolvanBaseSession& CursorSession() = 0;
  // Stores the cursor's record through the table; returns its id.
  virtual TTolvanRecordID Insert(TTestCursor& Cursor) = 0;
  // The stored record, padded to a cursor buffer.
  virtual std::vector<uint8_t> Stored(const TTolvanRecordID& ID) const = 0;

  void ClearRecord(TTestCursor& C) {
    std::fill(C.RecordBytes().begin(), C.RecordBytes().end(), 0);
    SetAllNull(C.Record(), Data().FieldDefs()->Count());
  }
  int32_t SID() { return CursorSession().SessionID(); }
  size_t BufferSize() { return size_t(Data().RecordSize() + RecordTrailerSize); }

  // The ids in the order of the index (store order for -1), by plain navigation.
  TIDs Walk(int32_t IndexID, bool Forward) {
    TIDs IDs;
    std::vector<uint8_t> Buffer(BufferSize());
    TTolvanNavState S;
    S.Mode = Forward ? rmNext : rmPrior;
    S.IndexID = IndexID;
    S.Buffer = Buffer.data();
    (Forward ? S.AtBegin : S.AtEnd) = 1;
    for (;;) {
      LoadRecord(Data(), SID(), S);
      if (S.Result != rrOK)
        break;
      S.AtBegin = S.AtEnd = 0;
      IDs.push_back(S.RecordID);
    }
    return IDs;
  }

protected:
  static void Define(TTolvanFieldDefs& Fields, TTolvanIndexDefs& Defs) {
    AddField(Fields, "I", tftInteger);
    AddField(Fields, "S", tftVarchar, 6);
    AddField(Fields, "N", tftVarchar, 6);
    AddField(Fields, "D", tftDate);
    AddIndexDef(Defs, "ByI", {"I"}, true);
    AddIndexDef(Defs, "SI", {"S", "I"});
    TTolvanIndexDef& N = AddIndexDef(Defs, "NDesc", {"N"});
    N.Columns(0).SetDescending(1);
    N.Columns(0).SetCaseInsensitive(1);
    AddIndexDef(Defs, "ByD", {"D"});
  }
};

// The table over the storage tests' table data and the real B-tree.
struct TRecTable : TTableFixture, TRecTables {
  TRecTable() : TTableFixture(BTreeIndexFactory()) {
    TTolvanFieldDefs Fields;
    TTolvanIndexDefs Defs;
    Define(Fields, Defs);
    Create(Fields, Defs);
  }
  ~TRecTable() override { Table.DropIndexesAndClose(); }

  TTolvanTableData& Data() override { return Table; }
  TTolvanBaseSession& CursorSession() override { return Session; }
  TTolvanRecordID Insert(TTestCursor& C) override { return TTableFixture::Insert(C); }
  std::vector<uint8_t> Stored(const TTolvanRecordID& ID) const override {
    std::vector<uint8_t> R = Table.Records().Stored(ID.PageNo);
    R.resize(size_t(Table.RecordSize() + RecordTrailerSize));
    return R;
  }
  using TRecTables::ClearRecord;
};

// The table in a memory database, over the memory engine's store and the real B-tree.
struct TRecMemoryTable : TMemoryTableFixture, TRecTables {
  TRecMemoryTable() {
    TTolvanFieldDefs Fields;
    TTolvanIndexDefs Defs;
    TTolvanConstraintDefs Constraints;
    Define(Fields, Defs);
    Create(Fields, Defs, Constraints);
  }

  TTolvanTableData& Data() override { return *Table; }
  TTolvanBaseSession& CursorSession() override { return Session; }
  TTolvanRecordID Insert(TTestCursor& C) override {
    EXPECT_TRUE(Table->InsertRecord(C));
    return C.Position();
  }
  std::vector<uint8_t> Stored(const TTolvanRecordID& ID) const override {
    const TTolvanMemoryRecordManager& Store = *Table->Records();
    const int32_t Slot = ID.PageNo;
    if (Store.RecordCount() == 0 || Slot < Store.MinID() || Slot > Store.MaxID() ||
        Store.IsSlotDeleted(Slot))
      return {};
    const size_t Size = size_t(Table->RecordSize());
    const uint8_t* P = Store.RecordBlock() + size_t(Slot) * Size;
    std::vector<uint8_t> R(P, P + Size);
    R.resize(Size + RecordTrailerSize);
    return R;
  }
  using TRecTables::ClearRecord;
};

// A cursor on the test table with a filter, an external filter, a result set, a range and a
// search key, its field definitions laid out as the table's.
class TRecCursor : public TTestCursor {
public:
  explicit TRecCursor(TRecTables& T)
      : TTestCursor(&T.CursorSession(), T.Data().RecordSize() + RecordTrailerSize), FTable(T),
        Set(std::make_unique<TTolvanRecordBitmap>(&T.Data())) {
    FieldDefs().Assign(*T.Data().FieldDefs());
    SetRecordLayout();
    VisibleFieldDefs().Assign(FieldDefs());
    for (int32_t I = 0; I < VisibleFieldDefs().Count(); ++I)
      VisibleFieldDefs().Items(I).SetTableFieldNo(I);
    IndexDefs().Assign(T.Data().IndexManager()->IndexDefs());
    T.ClearRecord(*this);
  }

  TTolvanExpression* Filter() const override { return FFilter.get(); }
  TTolvanExpression* ExternalFilter() const override { return FExternal.get(); }
  TTolvanRecordBitmap* ResultBitmap() const override { return Set.get(); }

  // A filter over this cursor parsed from Text (nil for none); the set is rebuilt on demand.
  // KeepNull: comparisons keep NULL codes (a NULL orders first) instead of failing on NULL.
  static std::unique_ptr<TTolvanExpression> Parse(TTolvanCursor* Cursor, const std::string& Text,
                                                  bool KeepNull = false) {
    auto E = TTolvanExpression::Create();
    E->SetKeepNullCodes(KeepNull);
    E->ParseFilter(Cursor, Text, false, false);
    return E;
  }
  void SetFilterText(const std::string& Text, bool KeepNull = false) {
    FFilter = Text.empty() ? nullptr : Parse(this, Text, KeepNull);
    Set->SetFilled(false);
  }
  void SetExternalText(const std::string& Text, bool KeepNull = false) {
    FExternal = Text.empty() ? nullptr : Parse(this, Text, KeepNull);
    Set->SetFilled(false);
  }
  void Range(uint8_t* Start, uint8_t* End, int32_t StartCount, int32_t EndCount, bool StartExcl,
             bool EndExcl) {
    StoreRange(Start, End, StartCount, EndCount, StartExcl, EndExcl);
    Set->SetFilled(false);
  }

  TRecTables& FTable;
  std::unique_ptr<TTolvanRecordBitmap> Set;
  std::unique_ptr<TTolvanExpression> FFilter;
  std::unique_ptr<TTolvanExpression> FExternal;
};

void SetValue(TTolvanCursor& C, int32_t FieldNo, TTolvanVariant& V) {
  C.SetCursorFieldValue(V, FieldNo, C.RecordBuffer(), true);
}
void SetInt(TTolvanCursor& C, int32_t FieldNo, int64_t X) {
  TTolvanVariant V;
  V.SetAsLargeInt(X);
  SetValue(C, FieldNo, V);
}
void SetStr(TTolvanCursor& C, int32_t FieldNo, const std::string& S) {
  TTolvanVariant V;
  V.SetAsString(AnsiString(S));
  SetValue(C, FieldNo, V);
}
void SetDate(TTolvanCursor& C, int32_t FieldNo, int32_t Days) {
  TTolvanVariant V;
  V.SetAsStoredDate(Days);
  SetValue(C, FieldNo, V);
}

const char* const Words[] = {"ab", "AB", "abc", "b", "B", "abcdef", "zz", "ABCDEF", "m"};

// Inserts N rows with I a shuffled 0 .. N-1, then deletes about a quarter of them.
void FillRandom(TRecTables& T, TRecCursor& C, std::mt19937& Random, int32_t N) {
  std::vector<int32_t> Is(static_cast<size_t>(N));
  for (int32_t I = 0; I < N; ++I)
    Is[size_t(I)] = I;
  std::shuffle(Is.begin(), Is.end(), Random);
  TIDs IDs;
  for (int32_t I : Is) {
    T.ClearRecord(C);
    if (Random() % 12 != 0)
      SetInt(C, 0, I);
    else
      SetInt(C, 0, -1000 - I); // kept unique
    if (Random() % 6 != 0)
      SetStr(C, 1, Words[Random() % 9]);
    if (Random() % 6 != 0)
      SetStr(C, 2, Words[Random() % 9]);
    if (Random() % 6 != 0)
      SetDate(C, 3, 730000 + int32_t(Random() % 20));
    IDs.push_back(T.Insert(C));
  }
  for (const TTolvanRecordID& ID : IDs)
    if (Random() % 4 == 0) {
      C.SetPosition(ID);
      ASSERT_TRUE(T.Data().DeleteRecord(C));
    }
}

// A random conjunction of comparisons of I, S and N with constants: in range, out of range,
// fractional, NULL and too long among them.
std::string RandomFilter(std::mt19937& Random) {
  static const char* const Ops[] = {"=", "<>", "<", ">", "<=", ">="};
  static const char* const IntConsts[] = {"0",   "5",     "17",         "100",  "250",  "-3",
                                          "2.5", "99.75", "9999999999", "NULL", "-1001"};
  static const char* const StrConsts[] = {"'ab'",         "'AB'",     "'b'",      "'bcd'",
                                          "'zz'",         "'m'",      "''",       "NULL",
                                          "'abcdefghij'", "'abcdef'", "'ABCDEFG'"};
  const int32_t N = 1 + int32_t(Random() % 3);
  std::string F;
  for (int32_t K = 0; K < N; ++K) {
    if (K)
      F += " AND ";
    const int32_t Column = int32_t(Random() % 3);
    const char* Op = Ops[Random() % 6];
    std::string Constant = Column == 0 ? IntConsts[Random() % 11] : StrConsts[Random() % 11];
    std::string Name = Column == 0 ? "I" : Column == 1 ? "S" : "N";
    if (Random() % 4 == 0)
      F += Constant + " " + Op + " " + Name; // the constant first
    else
      F += Name + " " + Op + " " + Constant;
  }
  return F;
}

bool Accepts(TTolvanExpression* E, uint8_t* Record) {
  if (!E)
    return true;
  E->SetRecordBuffer(Record);
  return E->IsEmpty() || E->EvaluateBoolean();
}

// The main differential test: every answer of the search, the result set, GotoKey and Locate
// equals a walk of the cursor's order by plain navigation that tests each record with copies of
// the filters that nothing was extracted from.
void ExpectSearchesAgreeWithAWalk(TRecTables& T) {
  std::mt19937 Random(24);
  TRecCursor C(T);
  FillRandom(T, C, Random, 300);
  const TIDs All = T.Walk(-1, true);
  std::vector<std::vector<uint8_t>> Keys;
  for (const TTolvanRecordID& ID : All)
    Keys.push_back(T.Stored(ID));
  const char* const IndexNames[] = {"ByI", "SI", "NDesc", "ByD"};
  const int32_t Columns[] = {1, 2, 1, 1};
  int32_t Hits = 0, Sets = 0, Keyed = 0, Located = 0;

  for (int Trial = 0; Trial < 400; ++Trial) {
    SCOPED_TRACE("trial " + std::to_string(Trial));
    TRecCursor Q(T);
    const int32_t Which = int32_t(Random() % 5) - 1;
    if (Which >= 0)
      Q.SetIndexName(IndexNames[Which]);
    const int32_t IndexID = Q.IndexID();
    const bool KeepNull = Random() % 2;
    std::string FilterText = Random() % 3 ? RandomFilter(Random) : "";
    const std::string ExternalText = Random() % 5 == 0 ? RandomFilter(Random) : "";
    uint8_t* Start = nullptr;
    uint8_t* End = nullptr;
    std::vector<uint8_t> BoundKey;
    int32_t StartCount = 0, EndCount = 0;
    const bool StartExcl = Random() % 2, EndExcl = Random() % 2;
    if (Which >= 0 && Random() % 2) {
      if (Random() % 2) {
        Start = Keys[Random() % Keys.size()].data();
        StartCount = 1 + int32_t(Random() % uint32_t(Columns[Which]));
      }
      if (Random() % 2) {
        End = Keys[Random() % Keys.size()].data();
        EndCount = 1 + int32_t(Random() % uint32_t(Columns[Which]));
      }
      // A bound on (S, I) and an equality on S with that text: the records satisfying both lie
      // on one side of the bound's I.
      if (Which == 1 && Random() % 2) {
        const std::string Word = Words[Random() % 9];
        T.ClearRecord(Q);
        SetStr(Q, 1, Word);
        SetInt(Q, 0, int32_t(Random() % 300));
        BoundKey = Q.RecordBytes();
        (Random() % 2 ? Start : End) = BoundKey.data();
        StartCount = EndCount = 2;
        FilterText += (FilterText.empty() ? "" : " AND ") + ("S = '" + Word + "'");
      }
      Q.Range(Start, End, StartCount, EndCount, StartExcl, EndExcl);
    }
    ASSERT_NO_THROW(Q.SetFilterText(FilterText, KeepNull)) << FilterText;
    ASSERT_NO_THROW(Q.SetExternalText(ExternalText, KeepNull)) << ExternalText;
    // The oracle's filters: parsed again, never handed to a search.
    TRecCursor O(T);
    std::unique_ptr<TTolvanExpression> OF =
        FilterText.empty() ? nullptr : TRecCursor::Parse(&O, FilterText, KeepNull);
    std::unique_ptr<TTolvanExpression> OE =
        ExternalText.empty() ? nullptr : TRecCursor::Parse(&O, ExternalText, KeepNull);
    TTolvanIndex* Index = IndexID == -1 ? nullptr : &T.Data().IndexManager()->GetIndex(IndexID);
    const auto InRange = [&](const uint8_t* R) {
      if (Start) {
        const int32_t Cmp = Index->CompareRecordKeys(R, Start, StartCount);
        if (StartExcl ? Cmp <= 0 : Cmp < 0)
          return false;
      }
      if (End) {
        const int32_t Cmp = Index->CompareRecordKeys(R, End, EndCount);
        if (EndExcl ? Cmp >= 0 : Cmp > 0)
          return false;
      }
      return true;
    };
    const bool Forward = Random() % 2;
    const TIDs Order = T.Walk(IndexID, Forward);
    const std::string ExtraText = Random() % 2 ? RandomFilter(Random) : "";
    std::unique_ptr<TTolvanExpression> Extra =
        ExtraText.empty() ? nullptr : TRecCursor::Parse(&Q, ExtraText, KeepNull);
    std::unique_ptr<TTolvanExpression> OX =
        ExtraText.empty() ? nullptr : TRecCursor::Parse(&O, ExtraText, KeepNull);
    SCOPED_TRACE("keep nulls " + std::to_string(KeepNull) + " index " + std::to_string(Which) +
                 " filter [" + FilterText + "] external [" + ExternalText + "] extra [" +
                 ExtraText + "]");
    const auto Sees = [&](const TTolvanRecordID& ID, TTolvanExpression* More) {
      std::vector<uint8_t> R = T.Stored(ID);
      return InRange(R.data()) && Accepts(OF.get(), R.data()) && Accepts(OE.get(), R.data()) &&
             Accepts(More, R.data());
    };
    const bool Restricted = TTolvanTableData::IsRestricted(Q);

    // The result set: the records the cursor sees, in its forward order.
    if (Restricted && Random() % 2) {
      TIDs Want;
      for (const TTolvanRecordID& ID : T.Walk(IndexID, true))
        if (Sees(ID, nullptr))
          Want.push_back(ID);
      EXPECT_EQ(T.Data().GetRecordCount(Q), int64_t(Want.size()));
      const TIDs Got(Q.Set->Items().Items(), Q.Set->Items().Items() + Q.Set->Count());
      ASSERT_EQ(Text(Got), Text(Want));
      ++Sets;
    }

    // A search from the beginning or from a current record, first match only or not.
    const bool FirstMatchOnly = Random() % 4 == 0;
    const bool FromBeginning = FirstMatchOnly || Random() % 2;
    const size_t CurrentPos = Random() % Order.size();
    Q.SetPosition(FromBeginning ? TTolvanRecordID{-1, 0} : Order[CurrentPos]);
    if (FromBeginning)
      (Forward ? Q.SetBof(true) : Q.SetEof(true));
    else {
      Q.SetBof(false);
      Q.SetEof(false);
    }
    TIDs Expected;
    for (size_t P = FromBeginning ? 0 : CurrentPos + 1; P < Order.size(); ++P)
      if (Sees(Order[P], OX.get()))
        Expected.push_back(Order[P]);
    TTolvanRecordID Found{-7, 0};
    const bool Hit = T.Data().Search(Q, Extra.get(), nullptr, FromBeginning, Forward, &Found,
                                     nullptr, FirstMatchOnly);
    ASSERT_EQ(Hit, !Expected.empty());
    if (Hit) {
      ++Hits;
      EXPECT_TRUE(FoundAmong(Expected, Found, FirstMatchOnly));
    }
    // Extraction gave everything back: the filters answer as their copies.
    for (const TTolvanRecordID& ID : All) {
      std::vector<uint8_t> R = T.Stored(ID);
      ASSERT_EQ(Accepts(Q.Filter(), R.data()), Accepts(OF.get(), R.data()));
      if (Extra) {
        ASSERT_EQ(Accepts(Extra.get(), R.data()), Accepts(OX.get(), R.data()));
      }
    }

    // GotoKey and Locate run from the beginning, forward in the cursor's order.
    const TIDs Ahead = T.Walk(IndexID, true);
    if (IndexID != -1) {
      const uint8_t Type = uint8_t(1 + Random() % 5);
      std::vector<uint8_t> Key = Keys[Random() % Keys.size()];
      TTolvanScanSearchCondition K;
      K.ConditionType = Type;
      K.KeyBuffer = Key.data();
      K.KeyFieldCount = 1 + int32_t(Random() % uint32_t(Columns[Which]));
      K.IndexID = IndexID;
      Q.SetSearchKey(Key.data());
      Q.SetSearchKeyFieldCount(K.KeyFieldCount);
      const TTolvanRecordID Before{-5, 0};
      Q.SetPosition(Before);
      std::vector<uint8_t> BufferBefore = Q.RecordBytes();
      TTolvanRecordID Want{-1, 0};
      bool Any = false;
      TTolvanTableSearchIndexes SI(T.Data());
      for (const TTolvanRecordID& ID : Ahead) {
        std::vector<uint8_t> R = T.Stored(ID);
        if (Sees(ID, nullptr) && KeyConditionHolds(SI, K, R.data())) {
          Want = ID;
          Any = true;
          break;
        }
      }
      ASSERT_EQ(T.Data().GotoKey(Q, Type), Any);
      EXPECT_TRUE(SameID(Q.Position(), Any ? Want : Before));
      // GotoKey does not read the record it finds.
      EXPECT_EQ(Q.RecordBytes(), BufferBefore);
      Keyed += Any;
      Q.SetSearchKey(nullptr);
    }
    if (Extra) {
      TTolvanRecordID Want{-1, 0};
      bool Any = false;
      for (const TTolvanRecordID& ID : Ahead)
        if (Sees(ID, OX.get())) {
          Want = ID;
          Any = true;
          break;
        }
      const TTolvanRecordID Before{-5, 0};
      Q.SetPosition(Before);
      ASSERT_EQ(T.Data().Locate(Q, Extra.get()), Any);
      if (Any) {
        EXPECT_TRUE(SameID(Q.Position(), Want));
        // Locate reads it.
        const std::vector<uint8_t> R = T.Stored(Want);
        EXPECT_EQ(0, std::memcmp(Q.Record(), R.data(), size_t(T.Data().RecordSize())));
        ++Located;
      } else {
        EXPECT_TRUE(SameID(Q.Position(), Before));
      }
    }
  }
  EXPECT_GT(Hits, 50);
  EXPECT_GT(Sets, 30);
  EXPECT_GT(Keyed, 30);
  EXPECT_GT(Located, 20);
}

TEST(TableDataRecords, SearchesAgreeWithAWalkOfTheCursorsOrder) {
  TRecTable T;
  ExpectSearchesAgreeWithAWalk(T);
}

TEST(TableDataRecords, SearchesOfAMemoryTableAgreeWithAWalkOfTheCursorsOrder) {
  TRecMemoryTable T;
  ExpectSearchesAgreeWithAWalk(T);
}

// Five rows I = 1 .. 5 (inserted 5 first), S = 'a', and a cursor on ByI.
struct TFive {
  TFive() {
    for (int32_t I = 5; I >= 1; --I) {
      T.ClearRecord(Q);
      SetInt(Q, 0, I);
      SetStr(Q, 1, "a");
      IDs[I] = T.Insert(Q);
    }
    Q.SetIndexName("ByI");
    Q.SetToBegin();
  }
  int32_t Current() { return T.GetInt(Q.Record(), 0); }
  std::vector<int32_t> Column(int32_t FieldNo) {
    std::vector<int32_t> Values;
    for (const TTolvanRecordID& ID : T.Walk(T.IndexID(0), true))
      Values.push_back(T.GetInt(T.Stored(ID).data(), FieldNo));
    return Values;
  }
  TRecTable T;
  TRecCursor Q{T};
  TTolvanRecordID IDs[6];
};

TEST(TableDataRecords, NavigationAndRecordNumbers) {
  TFive F;
  TTolvanTableData& Table = F.T.Table;
  EXPECT_EQ(Table.GetRecNo(F.Q), -1); // at the beginning
  // Numbers outside 1 .. count land on the first or the last record.
  const struct {
    int64_t RecNo;
    int32_t Want;
  } Cases[] = {{0, 1}, {-7, 1}, {1, 1}, {3, 3}, {5, 5}, {6, 5}, {INT64_MAX, 5}};
  for (const bool Filtered : {false, true}) {
    F.Q.SetFilterText(Filtered ? "I > 2" : "");
    for (const auto& C : Cases) {
      Table.SetRecNo(F.Q, C.RecNo);
      ASSERT_EQ(Table.GetRecord(F.Q, rmCurrent), rrOK);
      const int32_t Want = Filtered ? std::clamp(C.Want + 2, 3, 5) : C.Want;
      EXPECT_EQ(F.Current(), Want) << C.RecNo << " " << Filtered;
      EXPECT_EQ(Table.GetRecNo(F.Q), Filtered ? Want - 2 : Want);
    }
  }
  // Store order: the physical numbering.
  TRecCursor S(F.T);
  Table.SetRecNo(S, -3);
  EXPECT_EQ(Table.GetRecNo(S), 1);
  // A set never built is built on the first move; an empty one answers end reached.
  TRecCursor R(F.T);
  R.SetIndexName("ByI");
  R.SetToBegin();
  R.SetFilterText("I >= 4");
  EXPECT_FALSE(R.Set->Filled());
  EXPECT_EQ(Table.GetRecord(R, rmNext), rrOK);
  EXPECT_TRUE(R.Set->Filled());
  EXPECT_EQ(F.T.GetInt(R.Record(), 0), 4);
  EXPECT_EQ(Table.GetRecordCount(R), 2);
  R.SetFilterText("I > 100");
  R.SetToBegin();
  for (const TTolvanGetRecordMode Mode : {rmNext, rmPrior})
    EXPECT_NE(Table.GetRecord(R, Mode), rrOK);
  EXPECT_EQ(Table.GetRecordCount(R), 0);
  EXPECT_EQ(Table.GetRecNo(R), -1);
  EXPECT_EQ(NativeCodeOf([&] { Table.Locate(R, nullptr); }), 11375);
}

TEST(TableDataRecords, OversizedEqualitiesAndNestedSearches) {
  TFive F;
  TTolvanTableData& Table = F.T.Table;
  F.Q.SetPosition(F.IDs[2]);
  ASSERT_EQ(Table.GetRecord(F.Q, rmCurrent), rrOK);
  SetStr(F.Q, 1, "abcdef");
  ASSERT_TRUE(Table.UpdateRecord(F.Q));
  // Cut to the column, the constant would name the stored text.
  TRecCursor C(F.T);
  C.SetIndexName("SI");
  for (const bool KeepNull : {false, true}) {
    C.SetFilterText("S = 'abcdefgh'", KeepNull);
    EXPECT_EQ(Table.GetRecordCount(C), 0);
    C.SetFilterText("S = 'abcdef'", KeepNull);
    EXPECT_EQ(Table.GetRecordCount(C), 1);
  }
  // A filter callback searching the same table leaves the record it is asked about alone.
  TRecCursor Outer(F.T);
  Outer.SetIndexName("ByI");
  TRecCursor Inner(F.T);
  const std::unique_ptr<TTolvanExpression> Four = TRecCursor::Parse(&Inner, "I = 4");
  int32_t Asked = 0;
  Outer.SetOnFilterRecord([&](uint8_t* Record) {
    const int32_t I = F.T.GetInt(Record, 0);
    TTolvanRecordID Found{-1, 0};
    EXPECT_TRUE(Table.Search(Inner, Four.get(), nullptr, true, true, &Found, nullptr, false));
    EXPECT_TRUE(SameID(Found, F.IDs[4]));
    EXPECT_EQ(F.T.GetInt(Record, 0), I);
    ++Asked;
    return I % 2 == 1;
  });
  EXPECT_EQ(Table.GetRecordCount(Outer), 3);
  EXPECT_EQ(Asked, 5);
}

TEST(TableDataRecords, BulkOperationsSeeOnlyTheVisibleRecords) {
  {
    TFive F;
    F.Q.SetFilterText("I > 2"); // the set is not built yet
    TTolvanVariant X;
    X.SetAsString("x");
    TTolvanVariant* Values[] = {&X};
    TStringList Names;
    Names.Add("S");
    F.T.Table.UpdateAllRecords(F.Q, Names, Values, false);
    for (int32_t I = 1; I <= 5; ++I) {
      const std::vector<uint8_t> Row = F.T.Stored(F.IDs[I]);
      F.Q.RecordBytes() = Row;
      F.Q.SetFilterText("S = 'x'");
      EXPECT_EQ(F.T.Table.RecordMatches(F.Q, F.Q.Record()), I > 2) << I;
    }
    F.Q.SetFilterText("I > 2");
    F.T.Table.DeleteAllRecords(F.Q);
    EXPECT_EQ(F.Column(0), (std::vector<int32_t>{1, 2}));
    // Counts differ: refused before any record is touched.
    Names.Add("N");
    Names.Add("I");
    TTolvanVariant* Two[] = {&X, &X};
    F.Q.SetFilterText("");
    EXPECT_EQ(NativeCodeOf([&] { F.T.Table.UpdateAllRecords(F.Q, Names, Two, false); }), 11448);
    TStringList None;
    EXPECT_EQ(NativeCodeOf([&] { F.T.Table.UpdateAllRecords(F.Q, None, {}, false); }), 11448);
    TStringList Unknown;
    Unknown.Add("Nope");
    EXPECT_EQ(NativeCodeOf([&] { F.T.Table.UpdateAllRecords(F.Q, Unknown, Values, false); }),
              11447);
    for (const int32_t I : {1, 2}) {
      std::vector<uint8_t> R = F.T.Stored(F.IDs[I]);
      EXPECT_TRUE(Accepts(TRecCursor::Parse(&F.Q, "S = 'a'").get(), R.data())) << I;
    }
  }
  {
    // A unique S: the first record takes the value, the second would repeat it and stops the
    // update before it is written.
    TFive F;
    for (int32_t I = 1; I <= 5; ++I) {
      F.Q.SetPosition(F.IDs[I]);
      ASSERT_EQ(F.T.Table.GetRecord(F.Q, rmCurrent), rrOK);
      SetStr(F.Q, 1, "s" + std::to_string(I));
      ASSERT_TRUE(F.T.Table.UpdateRecord(F.Q));
    }
    TTolvanIndexDefs Defs;
    F.T.Table.AddIndex(AddIndexDef(Defs, "US", {"S"}, true), &F.Q);
    TRecCursor All(F.T);
    TTolvanVariant X;
    X.SetAsString("x");
    TTolvanVariant* Values[] = {&X};
    TStringList Names;
    Names.Add("S");
    EXPECT_NE(NativeCodeOf([&] { F.T.Table.UpdateAllRecords(All, Names, Values, false); }), 0);
    // Store order: I = 5 first.
    const auto SIs = [&](int32_t I, const std::string& Text) {
      std::vector<uint8_t> R = F.T.Stored(F.IDs[I]);
      return Accepts(TRecCursor::Parse(&All, "S = '" + Text + "'").get(), R.data());
    };
    EXPECT_TRUE(SIs(5, "x"));
    for (int32_t I = 1; I <= 4; ++I)
      EXPECT_TRUE(SIs(I, "s" + std::to_string(I))) << I;
  }
}

// Routines whose delete action removes, in the same table, the record with I + Step.
class TCascadeToNext : public TTolvanForeignKeyRoutines {
public:
  TCascadeToNext(TFive& F, int32_t Step)
      : FFive(F), FStep(Step), FPrevious(RegisterForeignKeyRoutines(this)) {}
  ~TCascadeToNext() override { RegisterForeignKeyRoutines(FPrevious); }
  void ValidateForeignKey(TTolvanTableData&, TTolvanConstraintDefForeignKey&,
                          TTolvanCursor&) override {}
  void CheckExistingRows(TTolvanTableData&, TTolvanCursor&, TTolvanCursor&,
                         const TTolvanConstraintDefForeignKey&) override {}
  bool CheckForeignKeyParent(TTolvanTableData&, TTolvanCursor&, int32_t,
                             const TTolvanConstraintDefForeignKey&, const uint8_t*) override {
    return false;
  }
  void RenameForeignKeyReferences(TTolvanTableData&, TTolvanCursor*, std::string_view,
                                  std::string_view) override {}
  AnsiString StripTemporaryFKName(std::string_view Name) override { return AnsiString(Name); }
  void ApplyForeignKeyActions(TTolvanTableData& Table, TTolvanCursor& Cursor, int32_t,
                              bool OnDelete) override {
    ASSERT_TRUE(OnDelete);
    const int32_t Next = FFive.T.GetInt(Cursor.RecordBuffer(), 0) + FStep;
    if (Next < 1 || Next > 5 || !Table.RecordManager()->RecordExists(FFive.IDs[Next], -1))
      return;
    TRecCursor Side(FFive.T);
    Side.SetPosition(FFive.IDs[Next]);
    Table.DeleteRecord(Side);
    ++Cascaded;
  }
  int32_t Cascaded = 0;

private:
  TFive& FFive;
  int32_t FStep;
  TTolvanForeignKeyRoutines* FPrevious;
};

TEST(TableDataRecords, ARecordACascadeTookCountsAsDeleted) {
  for (const bool Filtered : {false, true}) {
    TFive F;
    // Store order visits I = 5 first, the set in index order I = 2 first: either way the
    // cascade takes a record the walk is still to visit.
    TCascadeToNext Routines(F, Filtered ? 1 : -1);
    F.T.Table.ConstraintManager()->ConstraintDefs().AddForeignKeyAction().SetOnDelete(tfaCascade);
    if (Filtered)
      F.Q.SetFilterText("I >= 2");
    F.T.Table.DeleteAllRecords(F.Q);
    EXPECT_GT(Routines.Cascaded, 0);
    EXPECT_EQ(F.Column(0), Filtered ? std::vector<int32_t>{1} : std::vector<int32_t>{});
  }
}

TEST(TableDataRecords, ResultSetUpkeepAfterPosts) {
  TFive F;
  TTolvanTableData& Table = F.T.Table;
  F.Q.SetFilterText("S = 'a'");
  ASSERT_EQ(Table.GetRecordCount(F.Q), 5);
  const auto SetOrder = [&] {
    std::vector<int32_t> Values;
    for (int64_t K = 0; K < F.Q.Set->Count(); ++K)
      Values.push_back(F.T.GetInt(F.T.Stored(F.Q.Set->Items()[K]).data(), 0));
    return Values;
  };
  std::vector<uint8_t> Old(F.T.BufferSize());
  F.Q.SetBeforeImage(Old.data());
  // Updates moving a record out of the filter: the cursor goes to the next record, or to the
  // prior one from the last.
  const auto Leave = [&](int32_t I) {
    Table.SetRecNo(F.Q, 1);
    F.Q.SetPosition(F.IDs[I]);
    ASSERT_EQ(Table.GetRecord(F.Q, rmCurrent), rrOK);
    Old = F.Q.RecordBytes();
    SetStr(F.Q, 1, "b");
    ASSERT_TRUE(Table.UpdateRecord(F.Q));
    Table.AfterPostUpdate(F.Q);
  };
  Leave(3);
  EXPECT_EQ(F.Current(), 4);
  Leave(5);
  EXPECT_EQ(F.Current(), 4);
  EXPECT_EQ(SetOrder(), (std::vector<int32_t>{1, 2, 4}));
  // A key that changed moves the record to its place in the set.
  F.Q.SetPosition(F.IDs[1]);
  ASSERT_EQ(Table.GetRecord(F.Q, rmCurrent), rrOK);
  Old = F.Q.RecordBytes();
  SetInt(F.Q, 0, 9);
  ASSERT_TRUE(Table.UpdateRecord(F.Q));
  Table.AfterPostUpdate(F.Q);
  EXPECT_EQ(SetOrder(), (std::vector<int32_t>{2, 4, 9}));
  EXPECT_EQ(F.Current(), 9);
  // Inserts: a matching record joins in index order, another leaves the cursor where it was.
  const TTolvanCursorPosition Saved = F.Q.SavePosition();
  F.T.ClearRecord(F.Q);
  SetInt(F.Q, 0, 3);
  SetStr(F.Q, 1, "a");
  F.T.Insert(F.Q);
  Table.AfterPostInsert(F.Q, Saved);
  EXPECT_EQ(SetOrder(), (std::vector<int32_t>{2, 3, 4, 9}));
  EXPECT_EQ(F.Current(), 3);
  F.T.ClearRecord(F.Q);
  SetInt(F.Q, 0, 0);
  SetStr(F.Q, 1, "a");
  F.T.Insert(F.Q);
  Table.AfterPostInsert(F.Q, Saved);
  EXPECT_EQ(SetOrder(), (std::vector<int32_t>{0, 2, 3, 4, 9}));
  F.T.ClearRecord(F.Q);
  SetInt(F.Q, 0, 7);
  SetStr(F.Q, 1, "z");
  F.T.Insert(F.Q);
  Table.AfterPostInsert(F.Q, Saved);
  EXPECT_EQ(SetOrder(), (std::vector<int32_t>{0, 2, 3, 4, 9}));
  EXPECT_EQ(F.Current(), 9);
  F.Q.SetBeforeImage(nullptr);
}

// Table (I Integer, Data BLOB, Note MEMO) with its cursor.
struct TBlobTable : TTableFixture {
  TBlobTable() {
    TTolvanFieldDefs Fields;
    TTolvanIndexDefs Indexes;
    AddField(Fields, "I", tftInteger);
    AddField(Fields, "Data", tftBLOB).SetBlobBlockSize(4096);
    AddField(Fields, "Note", tftMemo).SetBlobBlockSize(512);
    Create(Fields, Indexes);
    ClearRecord(*Cursor);
  }
  ~TBlobTable() { Table.DropIndexesAndClose(); }

  void Write(int32_t FieldNo, const std::string& Bytes) {
    std::unique_ptr<TTolvanStream> S = Table.OpenBlob(*Cursor, true, FieldNo, tbmWrite);
    S->WriteBuffer(Bytes.data(), int64_t(Bytes.size()));
    if (Bytes.empty())
      S->SetSize(0);
    Table.WriteBlob(*Cursor, FieldNo, static_cast<TTolvanLocalBLOBStream&>(*S));
  }
  std::string Read(int32_t FieldNo) {
    std::unique_ptr<TTolvanStream> S = Table.OpenBlob(*Cursor, false, FieldNo, tbmRead);
    std::string Bytes(size_t(S->GetSize()), '\0');
    S->ReadBuffer(Bytes.data(), int64_t(Bytes.size()));
    return Bytes;
  }
  int64_t Live() { return Table.BlobBlocks().LiveCount(); }
};

TEST(TableDataRecords, BlobValuesOfAnEdit) {
  TBlobTable T;
  TTolvanTableData& Table = T.Table;
  ASSERT_TRUE(Table.HasBlobs());
  T.SetInt(*T.Cursor, 0, 1);
  T.Write(1, std::string(5000, 'd'));
  T.Write(2, "note");
  EXPECT_EQ(T.Live(), 2);
  EXPECT_TRUE(Table.IsBlobWritten(T.Cursor->Record(), 1));
  // Stored, the record owns its blocks: cancelling a later edit leaves them alone.
  Table.SetBlobMarks(false, *T.Cursor);
  T.Insert(*T.Cursor);
  EXPECT_FALSE(Table.IsBlobWritten(T.Cursor->Record(), 2));
  const std::vector<uint8_t> Stored = T.Cursor->RecordBytes();
  T.Write(1, "new data");
  T.Write(2, "new note");
  EXPECT_EQ(T.Live(), 4);
  EXPECT_EQ(T.Read(1), "new data");
  Table.CancelRecord(*T.Cursor);
  EXPECT_EQ(T.Live(), 2);
  T.Cursor->RecordBytes() = Stored;
  EXPECT_EQ(T.Read(1), std::string(5000, 'd'));
  EXPECT_EQ(T.Read(2), "note");

  // An empty value written over one of this edit frees it and leaves the field NULL.
  T.Write(2, "again");
  EXPECT_EQ(T.Live(), 3);
  T.Write(2, "");
  EXPECT_EQ(T.Live(), 2);
  EXPECT_TRUE(IsFieldNull(T.Cursor->Record(), 2));
  EXPECT_EQ(LoadLE<uint64_t>(T.Cursor->Record() + Table.FieldDefs()->Items(2).BufferOffset()), 0u);

  // A copy of a reference that was freed since is refused, never read.
  T.Cursor->RecordBytes() = Stored;
  T.Write(2, "short lived");
  const std::vector<uint8_t> Stale = T.Cursor->RecordBytes();
  Table.FreeBlob(T.Cursor->Record(), 2);
  T.Write(2, "takes the slot");
  T.Cursor->RecordBytes() = Stale;
  EXPECT_EQ(NativeCodeOf([&] { T.Read(2); }), 10112);
  std::vector<uint8_t> Copy = Stale;
  EXPECT_EQ(NativeCodeOf([&] { Table.FreeBlob(Copy.data(), 2); }), 10118);
  EXPECT_EQ(T.Live(), 3);

  // Deleting every record frees the blocks the records own.
  T.Cursor->RecordBytes() = Stored;
  Table.DeleteAllRecords(*T.Cursor);
  EXPECT_EQ(Table.GetTotalRecordCount(), 0);
  EXPECT_EQ(T.Live(), 1); // the value "takes the slot", in no stored record
}

} // namespace
