#include "storage/btree/TolvanBTreeIndex.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "storage/btree/TolvanBTreeCheck.h"
#include "tests/foundation/TestSupport.h"
#include "tests/storage/FakeIndex.h"
#include "tests/storage/TableTestSupport.h"

using namespace tolvan;
using namespace tolvan::test;

namespace {

using TIDs = std::vector<TTolvanRecordID>;

bool IDLess(const TTolvanRecordID& A, const TTolvanRecordID& B) {
  return A.PageNo != B.PageNo ? A.PageNo < B.PageNo : A.PageItemNo < B.PageItemNo;
}

// Table "T" (ID Integer, NAME Char(400), AGE Integer) with ByAge (unique flag, not enforced by
// the test table) and ByNameAge (NAME case-insensitive, AGE descending). The long names make
// trees several levels deep with a few hundred records.
void DefineTable(TTolvanFieldDefs& Fields, TTolvanIndexDefs& Defs) {
  AddField(Fields, "ID", tftInteger);
  AddField(Fields, "NAME", tftChar, 400);
  AddField(Fields, "AGE", tftInteger);
  AddIndexDef(Defs, "ByAge", {"AGE"}, true);
  TTolvanIndexDef& NameAge = AddIndexDef(Defs, "ByNameAge", {"NAME", "AGE"});
  NameAge.Columns(0).SetCaseInsensitive(true);
  NameAge.Columns(1).SetDescending(true);
}

struct TTable : TTableFixture {
  explicit TTable(TTolvanIndexFactory Factory = {}) : TTableFixture(std::move(Factory)) {
    TTolvanFieldDefs Fields;
    TTolvanIndexDefs Defs;
    DefineTable(Fields, Defs);
    Create(Fields, Defs);
  }
  int32_t SID() const { return Session.SessionID(); }
  std::vector<uint8_t> Stored(const TTolvanRecordID& ID) const {
    return Table.Records().Stored(ID.PageNo);
  }
  // The record ids in the index's order, read by next moves through the index manager.
  TIDs Walk(int32_t IndexID, bool Forward) {
    TIDs IDs;
    std::vector<uint8_t> Buffer(size_t(Table.RecordSize() + RecordTrailerSize));
    TTolvanNavState S;
    S.SessionID = SID();
    S.Mode = Forward ? rmNext : rmPrior;
    S.IndexID = IndexID;
    S.Buffer = Buffer.data();
    (Forward ? S.AtBegin : S.AtEnd) = 1;
    for (;;) {
      Indexes().GetRecordViaIndex(SID(), S);
      if (S.Result != rrOK)
        break;
      IDs.push_back(S.RecordID);
    }
    return IDs;
  }
  // Runs of equal keys, each as its sorted ids: the order an index must agree on whatever
  // position equal keys take among themselves.
  std::vector<TIDs> Runs(int32_t IndexID, const TIDs& Order) {
    std::vector<TIDs> Result;
    TTolvanIndex& Index = Indexes().GetIndex(IndexID);
    std::vector<uint8_t> Last;
    for (const TTolvanRecordID& ID : Order) {
      std::vector<uint8_t> Record = Stored(ID);
      if (Result.empty() ||
          Index.CompareRecordKeys(Last.data(), Record.data(), Index.Def()->ColumnCount()) != 0)
        Result.emplace_back();
      Result.back().push_back(ID);
      Last = std::move(Record);
    }
    for (TIDs& Run : Result)
      std::sort(Run.begin(), Run.end(), IDLess);
    return Result;
  }
};

TTolvanBTreeIndex& BTreeOf(TTable& T, int32_t IndexID) {
  return static_cast<TTolvanBTreeIndex&>(T.Indexes().GetIndex(IndexID));
}

// The same operations on a table over the fake index and one over B-tree indexes.
class BTreeIndexTwin : public ::testing::Test {
public:
  TTable Fake;
  TTable Tree{BTreeIndexFactory()};
  std::mt19937 Rng{20240611};
  std::vector<TTolvanRecordID> Live;

  int32_t Rand(int32_t N) { return int32_t(Rng() % uint32_t(N)); }

  // Few distinct names and ages, so runs of equal keys cross leaves; sometimes NULL.
  void Fill(TTable& T, uint32_t Seed) {
    std::mt19937 R(Seed);
    T.ClearRecord(*T.Cursor);
    T.SetInt(*T.Cursor, 0, int32_t(R() % 100000));
    if (R() % 8 != 0) {
      static const char* Names[] = {"anna", "ANNA", "bert", "Carl", "carl ", "d", "", "eve"};
      std::string Name = Names[R() % 8];
      Name.append(size_t(R() % 3) * 150, 'x');
      T.SetText(*T.Cursor, 1, Name.c_str());
    }
    if (R() % 10 != 0)
      T.SetInt(*T.Cursor, 2, int32_t(R() % 40) - 20);
  }
  void Insert() {
    const uint32_t Seed = Rng();
    Fill(Fake, Seed);
    Fill(Tree, Seed);
    const TTolvanRecordID A = Fake.Insert(*Fake.Cursor);
    const TTolvanRecordID B = Tree.Insert(*Tree.Cursor);
    ASSERT_EQ(A, B);
    Live.push_back(A);
  }
  void Update(size_t At) {
    const uint32_t Seed = Rng();
    for (TTable* T : {&Fake, &Tree}) {
      Fill(*T, Seed);
      T->Cursor->SetPosition(Live[At]);
      ASSERT_TRUE(T->Table.UpdateRecord(*T->Cursor));
    }
  }
  void Delete(size_t At) {
    for (TTable* T : {&Fake, &Tree}) {
      T->Cursor->SetPosition(Live[At]);
      ASSERT_TRUE(T->Table.DeleteRecord(*T->Cursor));
    }
    Live.erase(Live.begin() + std::ptrdiff_t(At));
  }

  void CheckTrees() {
    for (int32_t I = 0; I < 2; ++I)
      ASSERT_NO_THROW(CheckTree(BTreeOf(Tree, Tree.IndexID(I)).Tree(), Tree.SID()));
  }

  // Order, record numbers with and without a bitmap, uniqueness, scans and estimates.
  void Compare() {
    for (int32_t I = 0; I < 2; ++I) {
      const int32_t ID = Tree.IndexID(I);
      const TIDs Order = Tree.Walk(ID, true);
      TIDs Back = Tree.Walk(ID, false);
      std::reverse(Back.begin(), Back.end());
      ASSERT_EQ(Order, Back);
      ASSERT_EQ(Tree.Runs(ID, Order), Fake.Runs(ID, Fake.Keys(ID)));
      CheckRecordNumbers(ID, Order);
      CheckUniqueness(ID);
      CheckScans(ID);
    }
  }

  void CheckRecordNumbers(int32_t ID, const TIDs& Order) {
    TTolvanIndex& Index = Tree.Indexes().GetIndex(ID);
    TTolvanRecordBitmap Bitmap(&Tree.Table);
    TIDs Sorted = Order;
    std::sort(Sorted.begin(), Sorted.end(), IDLess);
    for (size_t K = 0; K < Sorted.size(); K += 2)
      Bitmap.Add(Sorted[K]);
    Bitmap.SetFilled(true);
    int64_t Members = 0;
    for (size_t K = 0; K < Order.size(); ++K) {
      const std::vector<uint8_t> Record = Tree.Stored(Order[K]);
      ASSERT_EQ(Index.GetRecNo(Tree.SID(), Order[K], Record.data(), nullptr), int64_t(K) + 1);
      TTolvanRecordID Back{-1, 0};
      Index.GetRecordIDByRecNo(Tree.SID(), nullptr, int64_t(K) + 1, Back);
      ASSERT_EQ(Back, Order[K]);
      if (Bitmap.AcceptRecord(Order[K])) {
        ++Members;
        ASSERT_EQ(Index.GetRecNo(Tree.SID(), Order[K], Record.data(), &Bitmap), Members);
        Index.GetRecordIDByRecNo(Tree.SID(), &Bitmap, Members, Back);
        ASSERT_EQ(Back, Order[K]);
      }
    }
    if (Order.empty())
      return;
    EXPECT_EQ(NativeCodeOf([&] {
                TTolvanRecordID Back;
                Index.GetRecordIDByRecNo(Tree.SID(), nullptr, int64_t(Order.size()) + 1, Back);
              }),
              20075);
  }

  void CheckUniqueness(int32_t ID) {
    const uint32_t Seed = Rng();
    Fill(Fake, Seed);
    Fill(Tree, Seed);
    EXPECT_EQ(Tree.Indexes().GetIndex(ID).IsKeyUnique(Tree.SID(), Tree.Cursor->RecordBuffer()),
              Fake.Indexes().GetIndex(ID).IsKeyUnique(Fake.SID(), Fake.Cursor->RecordBuffer()));
  }

  // A scan from one random condition to another (or to the first's end), both directions.
  TIDs Scan(TTable& T, int32_t ID, const TTolvanScanSearchCondition* Start,
            const TTolvanScanSearchCondition* End, bool Forward) {
    TTolvanIndex& Index = T.Indexes().GetIndex(ID);
    TTolvanIndexScanState* State = Index.CreateScanState();
    TIDs IDs;
    TTolvanRecordID RecordID{0, 0};
    for (bool First = true;
         Index.ScanNext(T.SID(), First, Forward, Start, End, nullptr, RecordID, State);
         First = false)
      IDs.push_back(RecordID);
    Index.FreeScanState(State);
    std::sort(IDs.begin(), IDs.end(), IDLess);
    return IDs;
  }

  void CheckScans(int32_t ID) {
    const uint32_t SeedA = Rng(), SeedB = Rng();
    const uint8_t TypeA = uint8_t(1 + Rand(5)), TypeB = uint8_t(1 + Rand(5));
    const int32_t Columns = 1 + Rand(2);
    const bool Forward = Rand(2) == 0, WithEnd = Rand(2) == 0;
    TIDs Results[2];
    int64_t Estimate = 0;
    int32_t N = 0;
    for (TTable* T : {&Fake, &Tree}) {
      auto A = T->NewCursor(&T->Session), B = T->NewCursor(&T->Session);
      std::swap(T->Cursor, A);
      Fill(*T, SeedA);
      std::swap(T->Cursor, A);
      std::swap(T->Cursor, B);
      Fill(*T, SeedB);
      std::swap(T->Cursor, B);
      TTolvanScanSearchCondition CA, CB;
      CA.ConditionType = TypeA;
      CA.KeyBuffer = A->RecordBuffer();
      CA.KeyFieldCount = Columns;
      CB.ConditionType = TypeB;
      CB.KeyBuffer = B->RecordBuffer();
      CB.KeyFieldCount = Columns;
      Results[N++] = Scan(*T, ID, &CA, WithEnd ? &CB : nullptr, Forward);
      if (T == &Tree)
        Estimate = T->Indexes().GetIndex(ID).EstimateRangeCount(T->SID(), CA, 1000, CB);
    }
    EXPECT_EQ(Results[0], Results[1]);
    EXPECT_GE(Estimate, 0);
    EXPECT_LE(Estimate, 1000);
  }
};

TEST_F(BTreeIndexTwin, AgreesWithTheModelThroughTheIndexManager) {
  for (int32_t Step = 0; Step < 1500; ++Step) {
    const int32_t Op = Rand(10);
    if (Live.empty() || Op < 5)
      ASSERT_NO_FATAL_FAILURE(Insert());
    else if (Op < 8)
      ASSERT_NO_FATAL_FAILURE(Update(size_t(Rand(int32_t(Live.size())))));
    else
      ASSERT_NO_FATAL_FAILURE(Delete(size_t(Rand(int32_t(Live.size())))));
    ASSERT_NO_FATAL_FAILURE(CheckTrees());
    if (Step % 25 == 0 || Step > 1490) {
      ASSERT_NO_FATAL_FAILURE(Compare());
    }
  }
  while (!Live.empty())
    ASSERT_NO_FATAL_FAILURE(Delete(Live.size() - 1));
  ASSERT_NO_FATAL_FAILURE(CheckTrees());
  ASSERT_NO_FATAL_FAILURE(Compare());
}

TEST_F(BTreeIndexTwin, BuildIndexOverStoredRecordsMatchesTheModel) {
  for (int32_t I = 0; I < 250; ++I)
    ASSERT_NO_FATAL_FAILURE(Insert());
  Delete(10);
  int32_t IDs[2];
  int32_t N = 0;
  for (TTable* T : {&Fake, &Tree}) {
    TTolvanIndexDefs Defs;
    TTolvanIndexDef& Def = AddIndexDef(Defs, "ByAgeName", {"AGE", "NAME"});
    IDs[N++] = T->Indexes().AddIndex(T->Cursor.get(), Def);
    EXPECT_NE(Def.RootPageNo(), -1);
  }
  ASSERT_EQ(IDs[0], IDs[1]);
  ASSERT_NO_THROW(CheckTree(BTreeOf(Tree, IDs[1]).Tree(), Tree.SID()));
  const TIDs Order = Tree.Walk(IDs[1], true);
  EXPECT_EQ(Order.size(), Live.size());
  EXPECT_EQ(Tree.Runs(IDs[1], Order), Fake.Runs(IDs[0], Fake.Keys(IDs[0])));
}

// Every allocation of an update fails in turn: the update is all or nothing, the tree sound.
TEST_F(BTreeIndexTwin, AFailedUpdateLeavesTheOldEntry) {
  for (int32_t I = 0; I < 150; ++I)
    ASSERT_NO_FATAL_FAILURE(Insert());
  const int32_t ID = Tree.IndexID(1);
  TTolvanIndex& Index = Tree.Indexes().GetIndex(ID);
  int64_t Failures = 0;
  for (int32_t Round = 0; Round < 6; ++Round) {
    const TTolvanRecordID Target = Live[size_t(Rand(int32_t(Live.size())))];
    const std::vector<uint8_t> Old = Tree.Stored(Target);
    Fill(Tree, Rng());
    Tree.Cursor->SetPosition(Target);
    Tree.Cursor->SetBeforeImage(const_cast<uint8_t*>(Old.data()));
    for (int64_t N = 1;; ++N) {
      bool Failed = false;
      {
        TAllocationFailure Hook(N);
        try {
          Index.UpdateKey(*Tree.Cursor);
        } catch (...) {
          Failed = true;
          ASSERT_TRUE(Hook.Fired());
        }
      }
      Index.ClearKeyPathCache(-1);
      ASSERT_NO_THROW(CheckTree(BTreeOf(Tree, ID).Tree(), Tree.SID()));
      if (!Failed)
        break;
      ++Failures;
      ASSERT_NE(Index.GetRecNo(Tree.SID(), Target, Old.data(), nullptr), -1) << N;
      ASSERT_EQ(Tree.Walk(ID, true).size(), Live.size()) << N;
    }
    ASSERT_NE(Index.GetRecNo(Tree.SID(), Target, Tree.Cursor->RecordBuffer(), nullptr), -1);
    Tree.Cursor->SetBeforeImage(nullptr);
    ASSERT_TRUE(Tree.Table.Records().UpdateRecord(Tree.Cursor->RecordBuffer(), Target, -1));
    Tree.Indexes().GetPageManager().Commit(Tree.SID());
  }
  EXPECT_GT(Failures, 0);
}

// --- single behaviours --------------------------------------------------------------------------

class BTreeIndex : public ::testing::Test, public TTable {
public:
  BTreeIndex() : TTable(BTreeIndexFactory()) {}

  TTolvanRecordID Add(int32_t Age) {
    ClearRecord(*Cursor);
    SetInt(*Cursor, 2, Age);
    return Insert(*Cursor);
  }
  TTolvanNavState Request(int32_t IndexID, TTolvanGetRecordMode Mode, bool AtBegin, bool AtEnd,
                          std::vector<uint8_t>& Buffer) {
    Buffer.assign(size_t(Table.RecordSize() + RecordTrailerSize), 0);
    TTolvanNavState S;
    S.SessionID = SID();
    S.Mode = Mode;
    S.IndexID = IndexID;
    S.Buffer = Buffer.data();
    S.AtBegin = AtBegin;
    S.AtEnd = AtEnd;
    return S;
  }
};

TEST_F(BTreeIndex, TheTableDataMakesBTreeIndexesByDefault) {
  TTestOwner Owner2;
  TTestTableData Data(Owner2, {});
  TTolvanFieldDefs FieldDefs;
  TTolvanIndexDefs Defs;
  DefineTable(FieldDefs, Defs);
  TTolvanConstraintDefs Constraints;
  TTestCursor Maker(&Session, 0);
  Maker.SetTableName("U");
  Data.CreateTable(Maker, FieldDefs, Defs, Constraints);
  const int32_t First = Data.IndexManager()->IndexDefs().Items(0).ObjectID();
  EXPECT_NE(dynamic_cast<TTolvanBTreeIndex*>(&Data.IndexManager()->GetIndex(First)), nullptr);
  Data.DropIndexesAndClose();
  EXPECT_NE(dynamic_cast<TTolvanBTreeIndex*>(&Indexes().GetIndex(IndexID(0))), nullptr);
}

TEST_F(BTreeIndex, GetRecordAtTheEndsAndOnEmptyIndexes) {
  std::vector<uint8_t> Buffer;
  const int32_t ID = IndexID(0);
  // No root yet: the end is reached at once.
  TTolvanNavState S = Request(ID, rmNext, true, false, Buffer);
  Indexes().GetIndex(ID).GetRecord(SID(), S);
  EXPECT_EQ(S.Result, rrEndReached);
  S = Request(ID, rmCurrent, true, false, Buffer);
  EXPECT_EQ(NativeCodeOf([&] { Indexes().GetIndex(ID).GetRecord(SID(), S); }), 20053);

  const TTolvanRecordID Low = Add(1), High = Add(9);
  struct TCase {
    TTolvanGetRecordMode Mode;
    bool AtBegin, AtEnd;
    TTolvanGetRecordResult Result;
    TTolvanRecordID Reached;
  } Cases[] = {
      {rmNext, true, false, rrOK, Low},           {rmPrior, true, false, rrBeginReached, {}},
      {rmPrior, false, true, rrOK, High},         {rmNext, false, true, rrEndReached, {}},
  };
  for (const TCase& C : Cases) {
    S = Request(ID, C.Mode, C.AtBegin, C.AtEnd, Buffer);
    Indexes().GetIndex(ID).GetRecord(SID(), S);
    EXPECT_EQ(S.Result, C.Result);
    if (C.Result == rrOK)
      EXPECT_EQ(S.RecordID, C.Reached);
    else
      EXPECT_EQ(S.AtBegin, C.Result == rrBeginReached ? 1 : 0);
  }
  // From the last record next reaches the end; from the first prior the beginning.
  S = Request(ID, rmNext, false, false, Buffer);
  S.RecordID = High;
  Indexes().GetRecordViaIndex(SID(), S);
  EXPECT_EQ(S.Result, rrEndReached);
  EXPECT_EQ(S.AtEnd, 1);
  S = Request(ID, rmPrior, false, false, Buffer);
  S.RecordID = Low;
  Indexes().GetRecordViaIndex(SID(), S);
  EXPECT_EQ(S.Result, rrBeginReached);
  EXPECT_EQ(S.AtBegin, 1);

  // The root stays when the last key goes; a move from either end of the empty root leaf
  // passes the other end.
  for (const TTolvanRecordID& Gone : {Low, High}) {
    Cursor->SetPosition(Gone);
    ASSERT_TRUE(Table.DeleteRecord(*Cursor));
  }
  EXPECT_NE(Indexes().IndexDefs().Items(0).RootPageNo(), -1);
  S = Request(ID, rmNext, true, false, Buffer);
  Indexes().GetIndex(ID).GetRecord(SID(), S);
  EXPECT_EQ(S.Result, rrEndReached);
  EXPECT_EQ(S.AtEnd, 1);
  S = Request(ID, rmPrior, false, true, Buffer);
  Indexes().GetIndex(ID).GetRecord(SID(), S);
  EXPECT_EQ(S.Result, rrBeginReached);
  EXPECT_EQ(S.AtBegin, 1);
}

TEST_F(BTreeIndex, UpdateAndUniquenessFollowTheKeys) {
  const TTolvanRecordID A = Add(5);
  Add(7);
  TTolvanIndex& Index = Indexes().GetIndex(IndexID(0));
  std::vector<uint8_t> Old = Stored(A);
  ClearRecord(*Cursor);
  SetInt(*Cursor, 2, 7);
  EXPECT_FALSE(Index.IsKeyUniqueOnUpdate(SID(), Old.data(), Cursor->RecordBuffer()));
  EXPECT_TRUE(Index.IsKeyUniqueOnUpdate(SID(), Old.data(), Old.data()));
  SetInt(*Cursor, 2, 6);
  EXPECT_TRUE(Index.IsKeyUniqueOnUpdate(SID(), Old.data(), Cursor->RecordBuffer()));
  // NULL keys collide in a unique index.
  ClearRecord(*Cursor);
  EXPECT_TRUE(Index.IsKeyUnique(SID(), Cursor->RecordBuffer()));
  Insert(*Cursor);
  EXPECT_FALSE(Indexes().GetIndex(IndexID(0)).IsKeyUnique(SID(), Cursor->RecordBuffer()));

  // An update whose old entry is missing raises 20027 and changes nothing.
  TTolvanIndex& I0 = Indexes().GetIndex(IndexID(0));
  std::vector<uint8_t> Wrong = Stored(A);
  SetInt(*Cursor, 2, 99);
  Cursor->SetPosition({12345, 0});
  Cursor->SetBeforeImage(Wrong.data());
  EXPECT_EQ(NativeCodeOf([&] { I0.UpdateKey(*Cursor); }), 20027);
  EXPECT_EQ(NativeCodeOf([&] { I0.DeleteKey(*Cursor); }), 20027);
  Cursor->SetBeforeImage(nullptr);
  EXPECT_EQ(Walk(IndexID(0), true).size(), 3u);

  TTolvanIndexKeyPath* Path = I0.CreateKeyPath();
  EXPECT_EQ(NativeCodeOf([&] { I0.CompareKeyPaths(nullptr, Path); }), 10384);
  EXPECT_EQ(NativeCodeOf([&] { I0.CompareKeyPaths(Path, nullptr); }), 10385);
  I0.FreeKeyPath(Path);
  EXPECT_EQ(Path, nullptr);
}

TEST_F(BTreeIndex, AddIndexRefusesLongKeysAndBlobColumns) {
  // The key of one Char column is its DataSize and the null byte.
  const int32_t Extra = Fields().Items(1).DataSize() - 400;
  struct TCase {
    int32_t KeySize;
    int32_t Code;
  } Cases[] = {{MaxIndexKeySize, 0}, {MaxIndexKeySize + 1, 20041}};
  for (const TCase& C : Cases) {
    TTableFixture T(BTreeIndexFactory());
    TTolvanFieldDefs FieldDefs;
    AddField(FieldDefs, "W", tftChar, C.KeySize - 1 - Extra);
    AddField(FieldDefs, "B", tftBLOB);
    TTolvanIndexDefs None;
    T.Create(FieldDefs, None);
    TTolvanIndexDefs Defs;
    TTolvanIndexDef& Def = AddIndexDef(Defs, "ByW", {"W"});
    EXPECT_EQ(NativeCodeOf([&] { T.Indexes().AddIndex(T.Cursor.get(), Def); }), C.Code)
        << C.KeySize;
    TTolvanIndexDef& Blob = AddIndexDef(Defs, "ByB", {"B"});
    EXPECT_EQ(NativeCodeOf([&] { T.Indexes().AddIndex(T.Cursor.get(), Blob); }), 20042);
    T.Table.DropIndexesAndClose();
  }
}

// Distinct keys 1 .. 300 inserted in random order.
TEST_F(BTreeIndex, RangeScansStartResumeAndEndAtTheirConditions) {
  std::vector<int32_t> Ages(300);
  for (int32_t I = 0; I < 300; ++I)
    Ages[size_t(I)] = I + 1;
  std::shuffle(Ages.begin(), Ages.end(), std::mt19937(7));
  std::vector<TTolvanRecordID> ByAge(301);
  for (int32_t Age : Ages)
    ByAge[size_t(Age)] = Add(Age);
  TTolvanIndex& Index = Indexes().GetIndex(IndexID(0));
  auto KeyOf = [&](int32_t Age) {
    auto C = NewCursor(&Session);
    std::swap(Cursor, C);
    SetInt(*Cursor, 2, Age);
    std::swap(Cursor, C);
    return C;
  };
  auto Cond = [](uint8_t Type, TTestCursor& C) {
    TTolvanScanSearchCondition S;
    S.ConditionType = Type;
    S.KeyBuffer = C.RecordBuffer();
    S.KeyFieldCount = 1;
    return S;
  };
  const auto K10 = KeyOf(10), K20 = KeyOf(20), K500 = KeyOf(500);
  const TTolvanScanSearchCondition Ge10 = Cond(sctGreaterOrEqual, *K10),
                                   Lt20 = Cond(sctLess, *K20), Gt500 = Cond(sctGreater, *K500);
  // ResumeAfter 0: a fresh scan; otherwise resumed after the record of that age.
  auto Scan = [&](const TTolvanScanSearchCondition* Start, const TTolvanScanSearchCondition* End,
                  bool Forward, int32_t ResumeAfter) {
    std::vector<int32_t> Got;
    TTolvanIndexScanState* State = Index.CreateScanState();
    std::vector<uint8_t> Record;
    TTolvanRecordID ID{0, 0};
    bool First = true;
    if (ResumeAfter > 0) {
      ID = ByAge[size_t(ResumeAfter)];
      Record = Stored(ID);
      First = false;
    }
    while (Index.ScanNext(SID(), First, Forward, Start, End, Record.empty() ? nullptr : Record.data(),
                          ID, State)) {
      Record = Stored(ID);
      Got.push_back(GetInt(Record.data(), 2));
      First = false;
    }
    Index.FreeScanState(State);
    return Got;
  };
  auto Range = [](int32_t From, int32_t To) {
    std::vector<int32_t> R;
    for (int32_t I = From; From <= To ? I <= To : I >= To; I += From <= To ? 1 : -1)
      R.push_back(I);
    return R;
  };
  EXPECT_EQ(Scan(&Ge10, &Lt20, true, 0), Range(10, 19));
  EXPECT_EQ(Scan(&Ge10, &Lt20, true, 5), Range(10, 19));
  EXPECT_EQ(Scan(&Ge10, &Lt20, true, 12), Range(13, 19));
  EXPECT_EQ(Scan(&Lt20, &Ge10, false, 0), Range(19, 10));
  EXPECT_EQ(Scan(&Ge10, &Lt20, false, 0), Range(300, 1));
  EXPECT_TRUE(Scan(&Ge10, &Gt500, true, 0).empty());
  EXPECT_EQ(Scan(nullptr, nullptr, true, 295), Range(296, 300));

  const auto K100 = KeyOf(100), K201 = KeyOf(201);
  const int64_t Estimate = Index.EstimateRangeCount(SID(), Cond(sctGreater, *K100), 300,
                                                    Cond(sctLess, *K201));
  EXPECT_GE(Estimate, 70);
  EXPECT_LE(Estimate, 130);
  EXPECT_EQ(NativeCodeOf([&] {
              TTolvanRecordID ID;
              Index.ScanNext(SID(), true, true, &Ge10, nullptr, nullptr, ID, nullptr);
            }),
            20077);
}

} // namespace
