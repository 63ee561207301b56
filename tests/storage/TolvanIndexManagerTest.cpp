#include "storage/TolvanIndexManager.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/foundation/TestSupport.h"
#include "tests/schema/SchemaTestSupport.h"
#include "tests/storage/PageAccounting.h"
#include "tests/storage/TableTestSupport.h"

using namespace tolvan;
using namespace tolvan::test;

namespace {

constexpr int32_t Injected = 77777;

using TIDs = std::vector<TTolvanRecordID>;

// Table "T" (ID Integer, NAME Char(20), AGE Integer) with the indexes ByID (unique), ByName and
// ByAge, in that order.
class IndexManager : public ::testing::Test, public TTableFixture {
public:
  void SetUp() override {
    TTolvanFieldDefs Fields;
    AddField(Fields, "ID", tftInteger);
    AddField(Fields, "NAME", tftChar, 20);
    AddField(Fields, "AGE", tftInteger);
    TTolvanIndexDefs Defs;
    AddIndexDef(Defs, "ByID", {"ID"}, true);
    AddIndexDef(Defs, "ByName", {"NAME"});
    AddIndexDef(Defs, "ByAge", {"AGE"});
    Create(Fields, Defs);
  }

  void Fill(TTestCursor& C, int32_t ID, const char* Name, int32_t Age) {
    ClearRecord(C);
    SetInt(C, 0, ID);
    SetText(C, 1, Name);
    SetInt(C, 2, Age);
  }
  TTolvanRecordID Add(int32_t ID, const char* Name, int32_t Age) {
    Fill(*Cursor, ID, Name, Age);
    return Insert(*Cursor);
  }
  std::vector<TIDs> AllKeys() {
    std::vector<TIDs> All;
    for (int32_t I = 0; I < Indexes().IndexDefs().Count(); ++I)
      All.push_back(Keys(IndexID(I)));
    return All;
  }
  // Raises Injected from Operation on the index at Position.
  void FailAt(std::string_view Operation, int32_t Position) {
    const int32_t Target = IndexID(Position);
    const std::string Op(Operation);
    Hooks->BeforeOperation = [Op, Target](std::string_view O, int32_t ID) {
      if (O == Op && ID == Target)
        throw ETolvanException::Create(Injected, "injected");
    };
  }
  int32_t Allocated() { return Table.Store().AllocatedCount(); }
  TFakeIndex& Open(int32_t Position) {
    return static_cast<TFakeIndex&>(Indexes().GetIndex(IndexID(Position)));
  }
  bool HasEntry(int32_t Position, const uint8_t* Record, const TTolvanRecordID& ID) {
    TFakeIndex& Index = Open(Position);
    TTolvanIndexKeyPath* Path = Index.CreateKeyPath();
    const bool Found = Index.FindKeyPath(Session.SessionID(), ID, Record, Path);
    Index.FreeKeyPath(Path);
    return Found;
  }
};

TEST_F(IndexManager, IndexesOpenLazilyAndRootsFollowTheFirstKey) {
  EXPECT_EQ(Indexes().OpenIndexCount(), 0);
  EXPECT_EQ(Hooks->Made, 0);
  for (int32_t I = 0; I < 3; ++I)
    EXPECT_EQ(Indexes().IndexDefs().Items(I).RootPageNo(), -1);

  const int32_t Clears = Hooks->CacheClears;
  const TTolvanRecordID First = Add(1, "ann", 30);
  EXPECT_EQ(Indexes().OpenIndexCount(), 3);
  EXPECT_EQ(Hooks->CacheClears, Clears + 3);
  for (int32_t I = 0; I < 3; ++I) {
    const int32_t Root = Indexes().IndexDefs().Items(I).RootPageNo();
    EXPECT_NE(Root, -1);
    EXPECT_EQ(Root, Indexes().FindOpenIndex(IndexID(I))->Def()->RootPageNo());
    EXPECT_TRUE(Table.Store().PageAllocated(Root));
  }
  EXPECT_EQ(Allocated(), 6); // a root and an entry per index

  Indexes().EmptyIndex(Session.SessionID(), IndexID(2));
  Table.Store().Commit(Session.SessionID());
  EXPECT_EQ(Indexes().IndexDefs().Items(2).RootPageNo(), -1);
  EXPECT_EQ(Indexes().FindOpenIndex(IndexID(2)), nullptr);
  EXPECT_EQ(Allocated(), 4);

  const TTolvanRecordID Second = Add(2, "bob", 20);
  EXPECT_NE(Indexes().IndexDefs().Items(2).RootPageNo(), -1);
  EXPECT_EQ(Keys(IndexID(2)), TIDs{Second});
  EXPECT_EQ(Keys(IndexID(0)), (TIDs{First, Second}));
  EXPECT_EQ(PageAccountingFaults(Table.Store()), "");
}

TEST_F(IndexManager, DroppingLeavesNoDefinitionIndexOrPage) {
  Add(1, "ann", 30);
  Add(2, "bob", 20);
  const int32_t ByName = IndexID(1);
  Indexes().DropIndex(Session.SessionID(), ByName);
  EXPECT_EQ(Indexes().IndexDefs().Count(), 2);
  EXPECT_EQ(Indexes().IndexDefs().FindByID(ByName), nullptr);
  EXPECT_EQ(Indexes().FindOpenIndex(ByName), nullptr);
  EXPECT_EQ(NativeCodeOf([&] { Indexes().GetIndex(ByName); }), 20018);

  Indexes().DropAll(Session.SessionID());
  Table.Store().Commit(Session.SessionID());
  EXPECT_EQ(Indexes().IndexDefs().Count(), 0);
  EXPECT_EQ(Indexes().OpenIndexCount(), 0);
  EXPECT_EQ(Allocated(), 0);
  EXPECT_EQ(Hooks->Made, Hooks->Freed);
  EXPECT_EQ(PageAccountingFaults(Table.Store()), "");
  Table.Store().Close();
}

TEST_F(IndexManager, DeleteKeysReadsTheStoredRecord) {
  const TTolvanRecordID Kept = Add(1, "ann", 30);
  const TTolvanRecordID Gone = Add(2, "bob", 20);

  // The buffer holds something else; the keys of the stored record go, and the buffer gets it.
  Fill(*Cursor, 9, "zed", 99);
  Cursor->SetPosition(Kept);
  Indexes().DeleteKeys(*Cursor);
  EXPECT_EQ(GetInt(Cursor->Record(), 0), 1);
  EXPECT_EQ(GetInt(Cursor->Record(), 2), 30);
  EXPECT_EQ(AllKeys(), (std::vector<TIDs>(3, TIDs{Gone})));

  // A record no longer stored changes nothing, the buffer included.
  ASSERT_TRUE(Table.Records().DeleteRecord(Gone, -1));
  Fill(*Cursor, 9, "zed", 99);
  const std::vector<uint8_t> Before = Cursor->RecordBytes();
  Cursor->SetPosition(Gone);
  Indexes().DeleteKeys(*Cursor);
  EXPECT_EQ(Cursor->RecordBytes(), Before);
  EXPECT_EQ(AllKeys(), (std::vector<TIDs>(3, TIDs{Gone})));
}

TEST_F(IndexManager, UpdateKeysAfterAnotherCursorsUpdate) {
  const TTolvanRecordID ID = Add(1, "ann", 30);
  auto A = NewCursor(&Session);
  auto B = NewCursor(&Session);
  for (TTestCursor* C : {A.get(), B.get()}) {
    const std::vector<uint8_t> Stored = Table.Records().Stored(ID.PageNo);
    std::copy(Stored.begin(), Stored.end(), C->RecordBytes().begin());
    C->SetPosition(ID);
  }
  std::vector<uint8_t> OldA = A->RecordBytes(), OldB = B->RecordBytes();
  A->SetBeforeImage(OldA.data());
  B->SetBeforeImage(OldB.data());

  SetInt(*B, 2, 40);
  ASSERT_TRUE(Table.UpdateRecord(*B));
  // A's old image still says 30; the stored record says 40.
  SetInt(*A, 2, 50);
  SetText(*A, 1, "anna");
  ASSERT_TRUE(Table.UpdateRecord(*A));
  EXPECT_EQ(A->BeforeImage(), OldA.data());
  EXPECT_EQ(A->RecordBuffer(), A->Record());
  EXPECT_TRUE(HasEntry(2, A->Record(), ID));
  EXPECT_FALSE(HasEntry(2, B->Record(), ID));
  EXPECT_TRUE(HasEntry(1, A->Record(), ID));
  EXPECT_EQ(AllKeys(), (std::vector<TIDs>(3, TIDs{ID})));
  EXPECT_EQ(PageAccountingFaults(Table.Store()), "");
}

TEST_F(IndexManager, KeyChangesAreAllOrNothing) {
  const TTolvanRecordID R1 = Add(1, "ann", 30);
  const TTolvanRecordID R2 = Add(2, "bob", 20);
  Add(3, "cid", 10);
  const std::vector<TIDs> Before = AllKeys();
  const int32_t PagesBefore = Allocated();
  struct TCase {
    const char* Operation;
    std::function<void(IndexManager&, TTestCursor&)> Run;
  };
  const TCase Cases[] = {
      {"InsertKey",
       [](IndexManager& T, TTestCursor& C) {
         T.Fill(C, 4, "dan", 40);
         C.SetPosition({100, 0});
         T.Indexes().InsertKeys(C);
       }},
      {"UpdateKey",
       [R2](IndexManager& T, TTestCursor& C) {
         T.Fill(C, 5, "eve", 50);
         C.SetPosition(R2);
         T.Indexes().UpdateKeys(C);
       }},
      {"DeleteKey",
       [R1](IndexManager& T, TTestCursor& C) {
         C.SetPosition(R1);
         T.Indexes().DeleteKeys(C);
       }},
  };
  for (const TCase& C : Cases)
    for (int32_t Position = 0; Position < 3; ++Position) {
      SCOPED_TRACE(std::string(C.Operation) + " failing at index " + std::to_string(Position));
      FailAt(C.Operation, Position);
      auto Work = NewCursor(&Session);
      const ETolvanException E = Raised([&] { C.Run(*this, *Work); });
      EXPECT_EQ(E.NativeError(), Injected);
      Hooks->BeforeOperation = nullptr;
      EXPECT_EQ(AllKeys(), Before);
      EXPECT_EQ(Work->BeforeImage(), nullptr);
      Table.Store().Commit(Session.SessionID());
      EXPECT_EQ(Allocated(), PagesBefore);
      EXPECT_EQ(PageAccountingFaults(Table.Store()), "");
    }
}

TEST_F(IndexManager, AFailedBuildLeavesNothingBehind) {
  for (int32_t I = 0; I < 5; ++I)
    Add(I, "x", I);
  // Something of the session is pending: AddIndex commits it before it builds.
  Fill(*Cursor, 7, "pending", 7);
  Cursor->SetPosition({70, 0});
  Indexes().InsertKeys(*Cursor);
  const int32_t Pages = Allocated();
  const int32_t LastID = Owner.LastID;

  int32_t Built = 0;
  Hooks->BeforeOperation = [&](std::string_view Op, int32_t) {
    if (Op == "BuildKey" && ++Built == 3)
      throw ETolvanException::Create(Injected, "injected");
  };
  TTolvanIndexDefs Defs;
  TTolvanIndexDef& Def = AddIndexDef(Defs, "ByIDAge", {"ID", "AGE"});
  EXPECT_EQ(NativeCodeOf([&] { Indexes().AddIndex(Cursor.get(), Def); }), Injected);
  EXPECT_EQ(Indexes().IndexDefs().Count(), 3);
  EXPECT_EQ(Indexes().IndexDefs().FindByID(LastID + 1), nullptr);
  EXPECT_EQ(Allocated(), Pages);
  EXPECT_EQ(Keys(IndexID(0)).size(), 6u); // the pending key was kept
  EXPECT_EQ(PageAccountingFaults(Table.Store()), "");

  Hooks->BeforeOperation = nullptr;
  const int32_t ID = Indexes().AddIndex(Cursor.get(), Def);
  EXPECT_EQ(ID, Def.ObjectID());
  EXPECT_EQ(Indexes().IndexDefs().Count(), 4);
  const TTolvanIndexDef& Stored = Indexes().IndexDefs().Items(3);
  EXPECT_EQ(Stored.RootPageNo(), Def.RootPageNo());
  EXPECT_TRUE(Table.Store().PageAllocated(Stored.RootPageNo()));
  EXPECT_EQ(Indexes().FindOpenIndex(ID), nullptr);
  EXPECT_EQ(Keys(ID).size(), 5u); // the stored records only
  Table.Store().Commit(Session.SessionID());
  Table.DropIndexesAndClose();
}

TEST_F(IndexManager, CompareKeys) {
  TTolvanIndexDefs Defs;
  TTolvanIndexDef& Def = AddIndexDef(Defs, "ByNameAge", {"NAME", "AGE"});
  const int32_t ID = Indexes().AddIndex(Cursor.get(), Def);
  auto A = NewCursor(&Session), B = NewCursor(&Session);
  Fill(*A, 1, "ann", 30);
  Fill(*B, 2, "ann", 40);
  EXPECT_EQ(Indexes().CompareKeys(ID, A->Record(), B->Record(), 0), -1);
  EXPECT_EQ(Indexes().CompareKeys(ID, B->Record(), A->Record(), 0), 1);
  EXPECT_EQ(Indexes().CompareKeys(ID, A->Record(), B->Record(), 1), 0);
  EXPECT_EQ(Indexes().FindOpenIndex(ID), nullptr);
  // An open index is closed as well.
  Indexes().GetIndex(ID);
  EXPECT_EQ(Indexes().CompareKeys(ID, A->Record(), A->Record(), 0), 0);
  EXPECT_EQ(Indexes().FindOpenIndex(ID), nullptr);

  const ETolvanException E =
      Raised([&] { Indexes().CompareKeys(999, A->Record(), A->Record(), 0); });
  EXPECT_EQ(E.NativeError(), 11497);
  EXPECT_NE(std::string(E.what()).find("Cannot find index by ID = 999"), std::string::npos);
  EXPECT_EQ(NativeCodeOf([&] { Indexes().CompareKeys(999, A->Record(), A->Record(), 1); }), 20018);
  FailAt("CompareRecordKeys", 3);
  EXPECT_EQ(NativeCodeOf([&] { Indexes().CompareKeys(ID, A->Record(), B->Record(), 0); }),
            Injected);
  EXPECT_EQ(Indexes().FindOpenIndex(ID), nullptr);
}

TEST_F(IndexManager, GetRecordViaIndex) {
  const TTolvanRecordID Old = Add(1, "ann", 30);
  const TTolvanRecordID Young = Add(2, "bob", 10);
  const TTolvanRecordID Mid = Add(3, "cid", 20);
  auto Read = NewCursor(&Session);
  TTolvanNavState S;
  S.IndexID = IndexID(2);
  S.Buffer = Read->Record();
  S.Mode = rmNext;
  S.AtBegin = 1;
  Indexes().GetRecordViaIndex(Session.SessionID(), S);
  EXPECT_EQ(S.Result, rrOK);
  EXPECT_EQ(S.RecordID, Young);
  EXPECT_EQ(GetInt(Read->Record(), 0), 2);
  Indexes().GetRecordViaIndex(Session.SessionID(), S);
  EXPECT_EQ(S.RecordID, Mid);
  EXPECT_EQ(GetInt(Read->Record(), 0), 3);
  S.Mode = rmPrior;
  Indexes().GetRecordViaIndex(Session.SessionID(), S);
  EXPECT_EQ(S.RecordID, Young);
  Indexes().GetRecordViaIndex(Session.SessionID(), S);
  EXPECT_EQ(S.Result, rrBeginReached);

  // A starting record that is gone answers rrMissing and leaves the request otherwise alone.
  ASSERT_TRUE(Table.Records().DeleteRecord(Old, -1));
  TTolvanNavState Gone;
  Gone.IndexID = IndexID(2);
  Gone.Buffer = Read->Record();
  Gone.Mode = rmNext;
  Gone.RecordID = Old;
  Indexes().GetRecordViaIndex(Session.SessionID(), Gone);
  EXPECT_EQ(Gone.Result, rrMissing);
  EXPECT_EQ(Gone.RecordID, Old);
}

// Table with columns whose keys are too long, have no order or are just within the limit.
class IndexKeyChecks : public ::testing::Test, public TTableFixture {
protected:
  void SetUp() override {
    TTolvanFieldDefs Fields;
    AddField(Fields, "ID", tftInteger);
    AddField(Fields, "BIG", tftChar, 1352);  // key part 1354
    AddField(Fields, "EDGE", tftChar, 1351); // key part 1353
    AddField(Fields, "B", tftBLOB);
    AddField(Fields, "V", tftVarBytes, 10);
    TTolvanIndexDefs Defs;
    AddIndexDef(Defs, "ByID", {"ID"});
    Create(Fields, Defs);
  }
  // The code AddIndex raises over Columns; when it raises, nothing is made.
  int32_t AddIndexCode(std::initializer_list<std::string_view> Columns) {
    TTolvanIndexDefs Defs;
    TTolvanIndexDef& Def = AddIndexDef(Defs, "IX", Columns);
    const int32_t Count = Indexes().IndexDefs().Count();
    const int32_t LastID = Owner.LastID;
    const int32_t Code = NativeCodeOf([&] { Indexes().AddIndex(Cursor.get(), Def); });
    if (Code) {
      EXPECT_EQ(Indexes().IndexDefs().Count(), Count);
      EXPECT_EQ(Owner.LastID, LastID);
      EXPECT_EQ(Table.Store().AllocatedCount(), 0);
    }
    return Code;
  }
};

TEST_F(IndexKeyChecks, AddIndexRefusesKeysWithoutLimitOrOrder) {
  EXPECT_EQ(AddIndexCode({"BIG"}), 20041);
  EXPECT_EQ(AddIndexCode({"EDGE", "ID"}), 20041);
  EXPECT_EQ(AddIndexCode({"B"}), 20042);
  EXPECT_EQ(AddIndexCode({"ID", "V"}), 20042);
  EXPECT_EQ(AddIndexCode({"NOPE"}), 20043);
  TTolvanIndexDefs Defs;
  const ETolvanException E =
      Raised([&] { Indexes().AddIndex(Cursor.get(), AddIndexDef(Defs, "IX", {"BIG"})); });
  EXPECT_STREQ(E.what(), "Index 'IX' key size 1354 exceeds the maximum of 1353 bytes - Native "
                         "error: 20041");
  EXPECT_EQ(AddIndexCode({"EDGE"}), 0);
}

TEST_F(IndexKeyChecks, AssignDefsAndSetIndexDefsRefuseWholesale) {
  TTolvanIndexDefs Defs;
  AddIndexDef(Defs, "Fine", {"ID"});
  AddIndexDef(Defs, "Big", {"BIG"});
  EXPECT_EQ(NativeCodeOf([&] { Indexes().AssignDefs(Defs); }), 20041);
  EXPECT_EQ(Indexes().IndexDefs().Count(), 1);
  EXPECT_EQ(Indexes().IndexDefs().Items(0).Name(), "ByID");

  TTolvanBaseIndexManager* Before = Table.IndexManager();
  const int32_t LastID = Owner.LastID;
  EXPECT_EQ(NativeCodeOf([&] { Table.SetIndexDefs(Defs); }), 20041);
  EXPECT_EQ(Table.IndexManager(), Before);
  EXPECT_EQ(Owner.LastID, LastID);
}

TEST_F(IndexKeyChecks, LoadRefusesLongKeysAndUnallocatedRoots) {
  TTolvanIndexDefs Defs;
  AddIndexDef(Defs, "Big", {"BIG"});
  TVectorStream Long;
  Defs.SaveToStream(Long);
  Table.Store().SaveToStream(Long);
  Long.Pos = 0;
  EXPECT_EQ(NativeCodeOf([&] { Indexes().LoadFromStream(Long); }), 20041);
  EXPECT_EQ(Indexes().IndexDefs().Items(0).Name(), "ByID");

  TTolvanIndexDefs Rooted;
  AddIndexDef(Rooted, "Fine", {"ID"}).SetRootPageNo(5);
  TVectorStream Unallocated;
  Rooted.SaveToStream(Unallocated);
  Table.Store().SaveToStream(Unallocated);
  Unallocated.Pos = 0;
  EXPECT_EQ(NativeCodeOf([&] { Indexes().LoadFromStream(Unallocated); }), 10353);
  EXPECT_EQ(Indexes().IndexDefs().Items(0).Name(), "ByID");
}

// One empty index over one Integer column.
class IndexManagerForm : public ::testing::Test, public TTableFixture {
protected:
  void SetUp() override {
    TTolvanFieldDefs Fields;
    AddField(Fields, "ID", tftInteger);
    TTolvanIndexDefs Defs;
    AddIndexDef(Defs, "IX", {"ID"});
    Create(Fields, Defs);
  }
};

TEST_F(IndexManagerForm, GoldenBytesAndEveryCut) {
  TVectorStream S;
  Indexes().SaveToStream(S);
  // Object ids: the column 1, the index 2.
  const TBytes Golden = Hex("01000000"                   // one definition
                            "02 4958 02000000"           // "IX", ObjectID 2
                            "00 00 00 01000000 FFFFFFFF" // kind, unique, primary, 1 column, root
                            "02 4944 00 00"              // "ID", ascending, case
                            "00000000 00000000 32000000 0010 0000 00000000" // empty store
                            "00000000 00000000");                           // its empty map
  EXPECT_EQ(ToHex(S.Data), ToHex(Golden));

  for (size_t Cut = 0; Cut < Golden.size(); ++Cut) {
    TVectorStream Part(TBytes(Golden.begin(), Golden.begin() + int64_t(Cut)));
    const int32_t Code = NativeCodeOf([&] { Indexes().LoadFromStream(Part); });
    EXPECT_NE(Code, 0) << "cut at " << Cut;
    ASSERT_EQ(Indexes().IndexDefs().Count(), 1);
  }
  // A manager of another table takes the whole form.
  TTableFixture G;
  TTolvanFieldDefs Fields;
  AddField(Fields, "ID", tftInteger);
  TTolvanIndexDefs None;
  G.Create(Fields, None);
  TVectorStream Whole(Golden);
  G.Indexes().LoadFromStream(Whole);
  EXPECT_EQ(Whole.Pos, int64_t(Golden.size()));
  EXPECT_EQ(G.Indexes().IndexDefs().Items(0).ObjectID(), 2);
  G.InsertInts({5});
  EXPECT_EQ(G.Keys(2).size(), 1u);
}

} // namespace
