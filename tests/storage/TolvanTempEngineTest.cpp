#include "storage/temp/TolvanTempEngine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <random>
#include <set>
#include <string>
#include <sys/stat.h>
#include <tuple>
#include <vector>

#include "classlib/ByteOrder.h"
#include "foundation/TolvanExcept.h"
#include "foundation/TolvanTypes.h"
#include "schema/TolvanRecordBuffer.h"
#include "storage/local/TolvanLocalBLOBStream.h"
#include "storage/memory/TolvanTableStream.h"
#include "tests/foundation/TestSupport.h"
#include "tests/storage/FakeIndex.h"
#include "tests/storage/TableTestSupport.h"

using namespace tolvan;
using namespace tolvan::test;

namespace {

using TBytes = std::vector<uint8_t>;
using TTable = TTolvanTemporaryTableData;

int32_t CodeOf(const std::function<void()>& Run) {
  try {
    Run();
  } catch (const ETolvanException& E) {
    return E.NativeError();
  }
  return 0;
}

bool FileExists(const WideString& Name) {
  struct stat St;
  return !Name.empty() && ::stat(WideToUtf8(Name).c_str(), &St) == 0;
}

// Temporary files go to Directory while it lives.
struct TTempDirectoryOverride {
  explicit TTempDirectoryOverride(const WideString& Directory) : Saved(TempDirectory()) {
    SetTempDirectory(Directory);
  }
  ~TTempDirectoryOverride() { SetTempDirectory(Saved); }
  WideString Saved;
};

// K (unique), S (text, NOCASE), B1 (BLOB) and B2 (MEMO); indexes on K, on S and on (K
// descending, S).
void Definitions(TTolvanFieldDefs& Fields, TTolvanIndexDefs& Indexes, bool WithIndexes) {
  AddField(Fields, "K", tftInteger);
  AddField(Fields, "S", tftVarchar, 12);
  AddField(Fields, "B1", tftBLOB).SetBlobBlockSize(64);
  AddField(Fields, "B2", tftMemo).SetBlobBlockSize(512);
  if (!WithIndexes)
    return;
  AddIndexDef(Indexes, "ByK", {"K"}, true);
  AddIndexDef(Indexes, "ByS", {"S"}).Columns(0).SetCaseInsensitive(1);
  AddIndexDef(Indexes, "ByKS", {"K", "S"}).Columns(0).SetDescending(1);
}

struct TRow {
  int32_t K = 0;
  std::string S;
  std::string B1; // "" for NULL
  std::string B2;
  bool operator==(const TRow&) const = default;
};

TRow RowOf(int32_t N) {
  TRow Row;
  Row.K = N * 7 % 1000;
  Row.S = "s" + std::to_string(N % 13);
  if (N % 3)
    Row.B1 = std::string(size_t(N % 200 + 1), char('a' + N % 26));
  if (N % 4)
    Row.B2 = "memo " + std::to_string(N);
  return Row;
}

class TempTables : public ::testing::Test {
protected:
  void SetUp() override { Db.AttachSession(Session); }
  void TearDown() override {
    for (auto& [C, T] : Attached)
      if (Db.FindTableData(C->TableName()) == T &&
          std::find(T->Cursors().begin(), T->Cursors().end(), C.get()) != T->Cursors().end())
        T->DetachCursor(*C);
    Attached.clear();
    Db.DetachSession(Session);
  }

  // A table made as a cursor's create does: named by the database, then set up.
  TTable* Create(bool WithIndexes = true,
                 const std::function<void(TTolvanFieldDefs&, TTolvanIndexDefs&,
                                          TTolvanConstraintDefs&)>& Adjust = {}) {
    TTolvanFieldDefs Fields;
    TTolvanIndexDefs Indexes;
    TTolvanConstraintDefs Constraints;
    Definitions(Fields, Indexes, WithIndexes);
    if (Adjust)
      Adjust(Fields, Indexes, Constraints);
    TTestCursor Maker(&Session, 0);
    Maker.SetKeepTemporaryTable(true);
    return static_cast<TTable*>(Db.GetTableData(
        Maker, [&](TTolvanTableData& T) { T.CreateTable(Maker, Fields, Indexes, Constraints); }));
  }
  // A cursor attached to T; Keep makes it one that keeps the table when it detaches last.
  TTestCursor& Open(TTable& T, bool Keep = true) {
    auto C = std::make_unique<TTestCursor>(&Session, T.RecordSize() + RecordTrailerSize);
    C->SetTableName(T.TableName());
    C->SetKeepTemporaryTable(Keep);
    T.AttachCursor(*C);
    TTestCursor& Result = *C;
    Attached.emplace_back(std::move(C), &T);
    return Result;
  }

  void WriteValue(TTable& T, TTestCursor& C, int32_t FieldNo, const std::string& Bytes) {
    std::unique_ptr<TTolvanStream> S = T.OpenBlob(C, true, FieldNo, tbmWrite);
    S->WriteBuffer(Bytes.data(), int64_t(Bytes.size()));
    T.WriteBlob(C, FieldNo, static_cast<TTolvanLocalBLOBStream&>(*S));
  }
  std::string ReadValue(TTable& T, TTestCursor& C, int32_t FieldNo) {
    if (IsFieldNull(C.Record(), FieldNo))
      return "";
    std::unique_ptr<TTolvanStream> S = T.OpenBlob(C, false, FieldNo, tbmRead);
    std::string Bytes(size_t(S->GetSize()), '\0');
    S->ReadBuffer(Bytes.data(), int64_t(Bytes.size()));
    return Bytes;
  }
  void Fill(TTable& T, TTestCursor& C, const TRow& Row) {
    std::fill(C.RecordBytes().begin(), C.RecordBytes().end(), 0);
    SetAllNull(C.Record(), T.FieldDefs()->Count());
    SetFieldData(0, *T.FieldDefs(), &Row.K, C.Record());
    SetFieldData(1, *T.FieldDefs(), Row.S.c_str(), C.Record());
    if (!Row.B1.empty())
      WriteValue(T, C, 2, Row.B1);
    if (!Row.B2.empty())
      WriteValue(T, C, 3, Row.B2);
  }
  // Record Number read into the cursor's record buffer.
  TRow Read(TTable& T, TTestCursor& C, int64_t Number) {
    T.Records()->ReadRecord(C.Record(), Number);
    TRow Row;
    GetFieldData(0, *T.FieldDefs(), &Row.K, C.Record());
    char Text[13] = {};
    if (GetFieldData(1, *T.FieldDefs(), Text, C.Record()))
      Row.S = Text;
    Row.B1 = ReadValue(T, C, 2);
    Row.B2 = ReadValue(T, C, 3);
    return Row;
  }
  void Insert(TTable& T, TTestCursor& C, int32_t From, int32_t To) {
    for (int32_t N = From; N < To; ++N) {
      Fill(T, C, RowOf(N));
      ASSERT_TRUE(T.InsertRecord(C)) << N;
      ASSERT_EQ(TTolvanTemporaryRecordManager::RecordNumber(C.Position()), N);
    }
  }
  // Every index walked in its order: each record once, keys never descending; "" when all agree.
  std::string IndexFaults(TTable& T) {
    TTolvanBaseIndexManager& Indexes = *T.IndexManager();
    const int64_t Count = T.GetTotalRecordCount();
    for (int32_t I = 0; I < Indexes.IndexDefs().Count(); ++I) {
      const TTolvanIndexDef& Def = Indexes.IndexDefs().Items(I);
      TBytes Buffer(size_t(T.RecordSize())), Previous;
      std::set<int64_t> Seen;
      TTolvanNavState State;
      State.SessionID = Session.SessionID();
      State.Mode = rmNext;
      State.IndexID = Def.ObjectID();
      State.AtBegin = 1;
      State.Buffer = Buffer.data();
      for (;;) {
        Indexes.GetRecordViaIndex(State.SessionID, State);
        if (State.Result != rrOK)
          break;
        State.AtBegin = 0;
        if (!Seen.insert(TTolvanTemporaryRecordManager::RecordNumber(State.RecordID)).second)
          return Def.Name() + ": a record twice";
        if (!Previous.empty() &&
            Indexes.GetIndex(Def.ObjectID()).CompareRecordKeys(Previous.data(), Buffer.data(), 0) >
                0)
          return Def.Name() + ": keys out of order";
        Previous = Buffer;
      }
      if (int64_t(Seen.size()) != Count)
        return Def.Name() + ": " + std::to_string(Seen.size()) + " of " + std::to_string(Count);
    }
    return "";
  }
  TBytes Save(TTable& T) {
    TVectorStream S;
    T.SaveToStream(S, caNone, 0, 0, true);
    EXPECT_EQ(S.Pos, int64_t(S.Data.size()));
    return S.Data;
  }
  // A new table loaded from Bytes, as a cursor's load does.
  TTable* LoadNew(const TBytes& Bytes) {
    TTestCursor Maker(&Session, 0);
    Maker.SetKeepTemporaryTable(true);
    return static_cast<TTable*>(Db.GetTableData(Maker, [&](TTolvanTableData& T) {
      TVectorStream S(Bytes);
      T.LoadFromStream(&Maker, S);
      EXPECT_EQ(S.Pos, int64_t(Bytes.size()));
    }));
  }

  TTolvanTemporaryDatabaseData Db;
  TTestSession Session{3};
  std::vector<std::pair<std::unique_ptr<TTestCursor>, TTable*>> Attached;
};

// --- the database -------------------------------------------------------------------------------

TEST(TemporaryDatabase, StartupMakesTheStandingTemporaryDatabase) {
  ASSERT_FALSE(StorageStarted());
  StorageStartup();
  TTolvanDatabaseData* T = FindDatabaseData(false, true, "TEMP", u"");
  ASSERT_NE(dynamic_cast<TTolvanTemporaryDatabaseData*>(T), nullptr);
  EXPECT_TRUE(T->Temporary());
  EXPECT_FALSE(T->InMemory());
  EXPECT_EQ(FindDatabaseData(true, false, "TEMP", u""), nullptr);
  TTestSession S{1};
  TVectorStream Stream;
  EXPECT_EQ(CodeOf([&] { T->SaveDatabaseToStream(S, Stream); }), 11394);
  StorageShutdown();
}

TEST_F(TempTables, NamesAreGeneratedUniqueAndComparedAsNames) {
  TTable* A = Create();
  TTable* B = Create();
  EXPECT_NE(A->TableName(), B->TableName());
  for (TTable* T : {A, B})
    EXPECT_EQ(T->TableName().rfind("TEMPORARY_TABLE_", 0), 0u) << T->TableName();
  EXPECT_EQ(Db.TableCount(), 2);
  EXPECT_TRUE(A->IsTemporary());
  EXPECT_FALSE(A->IsMemory());

  // The generator replayed gives a name that is taken: the next one is chosen, at creation and
  // at a load.
  const uint32_t Seed = RandSeed();
  TTable* C = Create();
  SetRandSeed(Seed);
  TTable* D = Create();
  EXPECT_NE(C->TableName(), D->TableName());
  const TBytes Bytes = Save(*C);
  SetRandSeed(Seed);
  TTable* E = LoadNew(Bytes);
  EXPECT_NE(E->TableName(), C->TableName());
  EXPECT_NE(E->TableName(), D->TableName());
  EXPECT_EQ(Db.TableCount(), 5);

  // A cursor's name is taken; another table's is refused.
  TTestCursor Other(&Session, A->RecordSize() + RecordTrailerSize);
  Other.SetTableName(B->TableName());
  EXPECT_EQ(CodeOf([&] { A->AttachCursor(Other); }), ErrRenameTableExists);
  Other.SetTableName("Result1");
  A->AttachCursor(Other);
  EXPECT_EQ(Db.FindTableData("RESULT1"), A);
  A->DetachCursor(Other); // keeps nothing: the last cursor drops the table
  EXPECT_TRUE(A->DropPending());
  Db.DestroyTable(*A);
  EXPECT_EQ(Db.TableCount(), 4);
}

TEST_F(TempTables, CreationRefusesNoFieldsAndForeignKeys) {
  TTestCursor Maker(&Session, 0);
  TTolvanFieldDefs None;
  TTolvanIndexDefs Indexes;
  TTolvanConstraintDefs Constraints;
  EXPECT_EQ(CodeOf([&] {
              Db.GetTableData(Maker, [&](TTolvanTableData& T) {
                T.CreateTable(Maker, None, Indexes, Constraints);
              });
            }),
            ErrTempCreateNoFields);
  EXPECT_EQ(CodeOf([&] {
              Create(true, [](auto&, auto&, auto& C) {
                auto& Key = C.AddForeignKey();
                Key.SetName("FK");
                Key.Table().SetName("P");
                Key.Columns().emplace_back("K", 0);
              });
            }),
            ErrTempForeignKey);
  EXPECT_EQ(Db.TableCount(), 0);
}

// --- records ------------------------------------------------------------------------------------

TEST_F(TempTables, RecordsOnlyAppendAndKeepTheirNumbers) {
  TTable& T = *Create();
  TTestCursor& C = Open(T);
  Fill(T, C, RowOf(0));
  ASSERT_TRUE(T.InsertRecord(C));
  EXPECT_EQ(C.Position().PageNo, 0);
  EXPECT_EQ(C.Position().PageItemNo, 0);
  EXPECT_TRUE(T.Records()->RecordExists({0, 0}, -1));
  EXPECT_FALSE(T.Records()->RecordExists({1, 0}, -1));
  Insert(T, C, 1, 30);
  EXPECT_EQ(T.GetTotalRecordCount(), 30);
  // The cursor's walks in store order, both ways, and in an index's order.
  C.IndexDefs().Assign(T.IndexManager()->IndexDefs());
  for (const auto& [Mode, Index, First] :
       std::vector<std::tuple<TTolvanGetRecordMode, std::string, int64_t>>{
           {rmNext, "", 0}, {rmPrior, "", 29}, {rmNext, "ByK", 0}, {rmPrior, "ByKS", 0}}) {
    C.SetIndexName(Index);
    ASSERT_EQ(C.IndexID() != -1, !Index.empty());
    if (Mode == rmNext)
      C.SetToBegin();
    else
      C.SetCursorToEnd();
    int64_t Seen = 0;
    while (T.GetRecord(C, Mode) == rrOK) {
      if (Seen++ == 0) {
        EXPECT_EQ(T.RecordIDToInt64(C.Position()), First) << Mode << " " << Index;
      }
    }
    EXPECT_EQ(Seen, 30) << Mode << " " << Index;
  }
  C.SetIndexName("");

  // Append only: single writes answer false and change nothing, a bulk delete raises.
  C.SetPosition({4, 0});
  Fill(T, C, RowOf(99));
  EXPECT_FALSE(T.UpdateRecord(C));
  EXPECT_FALSE(T.DeleteRecord(C));
  EXPECT_EQ(CodeOf([&] { T.DeleteAllRecords(C); }), ErrTempDeleteAll);
  EXPECT_EQ(T.GetTotalRecordCount(), 30);
  EXPECT_EQ(Read(T, C, 4), RowOf(4));
  EXPECT_EQ(IndexFaults(T), "");

  // Ids as 48-bit numbers; physical record numbers from 1.
  const int64_t Big = (int64_t(1) << 40) + 5;
  EXPECT_EQ(T.RecordIDToInt64(T.Int64ToRecordID(Big)), Big);
  EXPECT_EQ(T.RecordIDToInt64({-1, 0}), int64_t(UINT32_MAX));
  EXPECT_EQ(T.CompareRecordIDs(T.Int64ToRecordID(Big), {-1, 0}), 1);
  EXPECT_EQ(T.CompareRecordIDs({3, 0}, {3, 0}), 0);
  EXPECT_EQ(T.CompareRecordIDs({2, 0}, {3, 0}), -1);
  for (const auto& [Set, Position] : std::vector<std::pair<int64_t, int64_t>>{
           {-7, 0}, {1, 0}, {2, 1}, {30, 29}, {Big, Big - 1}}) {
    T.SetRecNoPhysical(C, Set);
    EXPECT_EQ(T.RecordIDToInt64(C.Position()), Position) << Set;
    EXPECT_EQ(T.GetRecNoPhysical(C), Position + 1) << Set;
  }

  // A table not set up has no record store.
  TTable Bare(Db, 10, 1000);
  EXPECT_EQ(CodeOf([&] { Bare.GetTotalRecordCount(); }), ErrTempTotalCountNoRecords);
  EXPECT_EQ(CodeOf([&] { Bare.InsertRecord(C); }), ErrTempInsertNoRecords);
  EXPECT_EQ(CodeOf([&] { Bare.SetRecNoPhysical(C, 1); }), ErrTempSetRecNoNoRecords);
  EXPECT_EQ(CodeOf([&] { Bare.GetRecNoPhysical(C); }), ErrTempGetRecNoNoRecords);
  EXPECT_EQ(CodeOf([&] { Bare.OpenBlob(C, true, 2, tbmWrite); }), ErrTempOpenBlobNoStore);
  TTestCursor NoBuffer(&Session, 0);
  NoBuffer.SetRecordBuffer(nullptr);
  EXPECT_EQ(CodeOf([&] { T.InsertRecord(NoBuffer); }), ErrTempInsertNoBuffer);
}

TEST_F(TempTables, RecordsSpillPastTheLimitAndReadBackEveryWay) {
  TTable* T = nullptr;
  {
    TAvailableMemoryOverride Memory(4000);
    T = Create();
  }
  TTestCursor& C = Open(*T);
  const int32_t Limit = T->Records()->RecordLimit();
  ASSERT_GT(Limit, 2);
  ASSERT_LT(Limit, 100);
  const int32_t Count = 3 * Limit + 7;
  Insert(*T, C, 0, Count);
  EXPECT_EQ(T->Records()->InMemoryCount(), Limit);
  const WideString Spill = T->Records()->SpillFileName();
  EXPECT_TRUE(FileExists(Spill));
  for (int32_t N = 0; N < Count; ++N)
    ASSERT_EQ(Read(*T, C, N), RowOf(N)) << N;
  EXPECT_EQ(IndexFaults(*T), "");

  // An unwritable temporary directory: a record that needs a new spill file is refused.
  TTable* U = nullptr;
  {
    TAvailableMemoryOverride Memory(4000);
    U = Create();
  }
  TTestCursor& D = Open(*U);
  Insert(*U, D, 0, U->Records()->RecordLimit());
  {
    TTempDirectoryOverride Directory(u"/nonexistent-tolvan-dir/");
    Fill(*U, D, RowOf(1000));
    EXPECT_FALSE(U->InsertRecord(D));
  }
  EXPECT_EQ(U->GetTotalRecordCount(), U->Records()->RecordLimit());
  EXPECT_EQ(IndexFaults(*U), "");
}

// A failing index leaves no record behind: the number is given to the next record.
TEST_F(TempTables, AFailingIndexTakesTheRecordBack) {
  auto Hooks = std::make_shared<TFakeIndexHooks>();
  Db.SetIndexFactory(FakeIndexFactory(Hooks));
  TTable* T = nullptr;
  {
    TAvailableMemoryOverride Memory(4000);
    T = Create();
  }
  TTestCursor& C = Open(*T);
  const int32_t Limit = T->Records()->RecordLimit();
  // Once in memory, once in the write buffer.
  for (int32_t At : {2, Limit + 2}) {
    Insert(*T, C, int32_t(T->GetTotalRecordCount()), At);
    int32_t Calls = 0;
    Hooks->BeforeOperation = [&](std::string_view Operation, int32_t) {
      if (Operation == "InsertKey" && ++Calls == 2)
        throw ETolvanException::Create(20027, "index failure");
    };
    Fill(*T, C, RowOf(At));
    EXPECT_EQ(CodeOf([&] { T->InsertRecord(C); }), 20027);
    Hooks->BeforeOperation = nullptr;
    EXPECT_EQ(T->GetTotalRecordCount(), At);
    Insert(*T, C, At, At + 1);
    EXPECT_EQ(Read(*T, C, At), RowOf(At));
  }
  EXPECT_EQ(IndexFaults(*T), "");
}

// --- BLOB values --------------------------------------------------------------------------------

TEST_F(TempTables, BlobValuesAreAppendedAndCheckedBeforeUse) {
  TTable& T = *Create(false);
  TTestCursor& C = Open(T);
  SetAllNull(C.Record(), 4);
  ASSERT_NE(T.BlobStore(), nullptr);
  WriteValue(T, C, 2, "first value");
  const int64_t First = LoadLE<int64_t>(C.Record() + T.FieldDefs()->Items(2).BufferOffset());
  EXPECT_EQ(First, 0);
  const int64_t AfterFirst = T.BlobStore()->GetSize();
  WriteValue(T, C, 2, "second");
  // The first value's bytes stay; the column names the second, behind them.
  EXPECT_EQ(LoadLE<int64_t>(C.Record() + T.FieldDefs()->Items(2).BufferOffset()), AfterFirst);
  EXPECT_EQ(ReadValue(T, C, 2), "second");
  ASSERT_TRUE(T.InsertRecord(C));
  // What a post does after the store leaves the offsets alone, and there is nothing to cancel.
  T.SetBlobMarks(false, C);
  T.CancelRecord(C);
  EXPECT_EQ(ReadValue(T, C, 2), "second");
  StoreLE<int64_t>(C.Record() + T.FieldDefs()->Items(2).BufferOffset(), First);
  EXPECT_EQ(ReadValue(T, C, 2), "first value");

  // An empty value makes the column NULL; an untouched stream changes nothing.
  {
    std::unique_ptr<TTolvanStream> S = T.OpenBlob(C, false, 2, tbmReadWrite);
    S->SetSize(0);
    T.WriteBlob(C, 2, static_cast<TTolvanLocalBLOBStream&>(*S));
  }
  EXPECT_TRUE(IsFieldNull(C.Record(), 2));
  {
    std::unique_ptr<TTolvanStream> S = T.OpenBlob(C, true, 3, tbmWrite);
    T.WriteBlob(C, 3, static_cast<TTolvanLocalBLOBStream&>(*S));
  }
  EXPECT_TRUE(IsFieldNull(C.Record(), 3));

  // Offsets and lengths that the store does not hold.
  const int64_t Size = T.BlobStore()->GetSize();
  SetFieldNull(C.Record(), 2, false);
  const auto OpenAt = [&](int64_t Offset) {
    return CodeOf([&] {
      StoreLE<int64_t>(C.Record() + T.FieldDefs()->Items(2).BufferOffset(), Offset);
      T.OpenBlob(C, false, 2, tbmRead);
    });
  };
  EXPECT_EQ(OpenAt(-1), ErrTempBlobPosition);
  EXPECT_EQ(OpenAt(Size + 1), ErrTempBlobPosition);
  EXPECT_EQ(OpenAt(int64_t(0xF0F0) << 48), ErrTempBlobPosition);
  EXPECT_EQ(OpenAt(Size), ErrTempBlobHeader);
  EXPECT_EQ(OpenAt(Size - 19), ErrTempBlobHeader);
  EXPECT_EQ(OpenAt(3), ErrTempBlobHeader); // a header made of value bytes
  EXPECT_EQ(OpenAt(First), 0);
  // A NULL column, a new record and the write mode open a new, empty value.
  SetFieldNull(C.Record(), 2, true);
  EXPECT_EQ(T.OpenBlob(C, false, 2, tbmRead)->GetSize(), 0);
  SetFieldNull(C.Record(), 2, false);
  StoreLE<int64_t>(C.Record() + T.FieldDefs()->Items(2).BufferOffset(), -1);
  EXPECT_EQ(T.OpenBlob(C, true, 2, tbmRead)->GetSize(), 0);
  EXPECT_EQ(T.OpenBlob(C, false, 2, tbmWrite)->GetSize(), 0);
  EXPECT_THROW(T.OpenBlob(C, false, 0, tbmRead), EInvalidCast);
}

// Emptying a table in use is refused before anything goes; an emptied table takes BLOB values.
TEST_F(TempTables, EmptyTableChecksFirstAndKeepsABlobStore) {
  TTable* Made = nullptr;
  {
    TAvailableMemoryOverride Memory(4000);
    Made = Create();
  }
  TTable& T = *Made;
  TTestCursor& C = Open(T);
  const int32_t Count = T.Records()->RecordLimit() + 5;
  Insert(T, C, 0, Count);
  const WideString Spill = T.Records()->SpillFileName();
  EXPECT_EQ(CodeOf([&] { T.EmptyTable(&C, false); }), ErrEmptyTableWithCursors);
  EXPECT_EQ(T.GetTotalRecordCount(), Count);
  for (int32_t N = 0; N < Count; ++N)
    EXPECT_EQ(Read(T, C, N), RowOf(N));

  T.DetachCursor(C); // keeps the table
  EXPECT_FALSE(T.DropPending());
  ASSERT_TRUE(FileExists(Spill));
  T.EmptyTable(nullptr, false);
  EXPECT_FALSE(FileExists(Spill));
  EXPECT_EQ(T.GetTotalRecordCount(), 0);
  ASSERT_NE(T.BlobStore(), nullptr);
  EXPECT_EQ(T.BlobStore()->GetSize(), 0);
  T.AttachCursor(C);
  EXPECT_EQ(IndexFaults(T), "");
  Insert(T, C, 0, 5);
  for (int32_t N = 0; N < 5; ++N)
    EXPECT_EQ(Read(T, C, N), RowOf(N));
  EXPECT_EQ(IndexFaults(T), "");
}

// --- life cycle ---------------------------------------------------------------------------------

TEST_F(TempTables, TheLastDetachDropsTheTableAndItsSpillFile) {
  TTable* T = nullptr;
  {
    TAvailableMemoryOverride Memory(4000);
    T = Create();
  }
  TTestCursor& A = Open(*T, false);
  TTestCursor& B = Open(*T, false);
  Insert(*T, A, 0, T->Records()->RecordLimit() + 20);
  const WideString Spill = T->Records()->SpillFileName();
  ASSERT_TRUE(FileExists(Spill));
  T->DetachCursor(A);
  EXPECT_FALSE(T->DropPending());
  EXPECT_TRUE(FileExists(Spill));
  T->DetachCursor(B);
  EXPECT_TRUE(T->DropPending());
  EXPECT_FALSE(FileExists(Spill));
  EXPECT_EQ(T->GetTotalRecordCount(), 0);
  EXPECT_EQ(T->IndexManager()->IndexDefs().Count(), 0);
  EXPECT_EQ(T->PageStore().AllocationMap().SetBitCount(), 0);
  EXPECT_EQ(Db.TableCount(), 1);
  Db.DestroyTable(*T);
  EXPECT_EQ(Db.TableCount(), 0);
}

TEST_F(TempTables, ClosingTheDatabaseDeletesEverySpillFile) {
  WideString Spill;
  {
    TTolvanTemporaryDatabaseData Other;
    TAvailableMemoryOverride Memory(4000);
    TTestCursor Maker(&Session, 0);
    TTolvanFieldDefs Fields;
    TTolvanIndexDefs Indexes;
    TTolvanConstraintDefs Constraints;
    Definitions(Fields, Indexes, true);
    auto* T = static_cast<TTable*>(Other.GetTableData(Maker, [&](TTolvanTableData& Table) {
      Table.CreateTable(Maker, Fields, Indexes, Constraints);
    }));
    TTestCursor C(&Session, T->RecordSize() + RecordTrailerSize);
    Insert(*T, C, 0, T->Records()->RecordLimit() + 3);
    Spill = T->Records()->SpillFileName();
    ASSERT_TRUE(FileExists(Spill));
  }
  EXPECT_FALSE(FileExists(Spill));
}

// --- the temporary table stream -----------------------------------------------------------------

class TempStreams : public TempTables {
protected:
  void SetUp() override {
    TempTables::SetUp();
    TAvailableMemoryOverride Memory(4000);
    Source = Create();
    TTestCursor& C = Open(*Source);
    Insert(*Source, C, 0, 2 * Source->Records()->RecordLimit() + 5);
    // A value written twice: the first copy stays in the store, unreferenced.
    WriteValue(*Source, C, 2, "overwritten");
  }

  TTable* Source = nullptr;
};

TEST_F(TempStreams, SaveAndLoadKeepRecordsIndexesAndValuesUnderANewName) {
  const TBytes Bytes = Save(*Source);
  TTable* Loaded = nullptr;
  {
    // The loaded limit stands, whatever the memory now.
    TAvailableMemoryOverride Memory(int64_t(1) << 30);
    Loaded = LoadNew(Bytes);
  }
  EXPECT_NE(Loaded->TableName(), Source->TableName());
  EXPECT_EQ(Loaded->TableName().rfind("TEMPORARY_TABLE_", 0), 0u);
  EXPECT_EQ(Loaded->Records()->RecordLimit(), Source->Records()->RecordLimit());
  const int64_t Count = Source->GetTotalRecordCount();
  ASSERT_EQ(Loaded->GetTotalRecordCount(), Count);
  TTestCursor& C = Open(*Loaded);
  for (int64_t N = 0; N < Count; ++N)
    ASSERT_EQ(Read(*Loaded, C, N), RowOf(int32_t(N))) << N;
  EXPECT_EQ(IndexFaults(*Loaded), "");
  EXPECT_EQ(Save(*Loaded), Bytes);
  // The loaded table takes more records, spilled.
  Insert(*Loaded, C, int32_t(Count), int32_t(Count) + 12);
  EXPECT_EQ(IndexFaults(*Loaded), "");
  EXPECT_EQ(Read(*Loaded, C, Count + 11), RowOf(int32_t(Count) + 11));

  // Without BLOB columns nothing follows N = 0.
  TTable& Plain = *Create(true, [](TTolvanFieldDefs& F, auto&, auto&) {
    F.Delete(3);
    F.Delete(2);
  });
  TTestCursor& P = Open(Plain);
  int32_t K = 5;
  SetAllNull(P.Record(), 2);
  SetFieldData(0, *Plain.FieldDefs(), &K, P.Record());
  ASSERT_TRUE(Plain.InsertRecord(P));
  EXPECT_EQ(Plain.BlobStore(), nullptr);
  const TBytes PlainBytes = Save(Plain);
  EXPECT_EQ(LoadLE<int64_t>(PlainBytes.data() + PlainBytes.size() - 8), 0);
  EXPECT_EQ(Save(*LoadNew(PlainBytes)), PlainBytes);
}

// The stream's own fields, each refused with its code before it is used; the table stays.
TEST_F(TempStreams, StoredSizesAndDefinitionsAreCheckedBeforeUse) {
  const TBytes Good = Save(*Source);
  TTable* Target = LoadNew(Good);
  const AnsiString Name = Target->TableName();
  const int64_t N = Source->BlobStore()->GetSize();
  const size_t NAt = Good.size() - 8 - size_t(N);
  ASSERT_EQ(LoadLE<int64_t>(Good.data() + NAt), N);

  // The field block with one definition changed, before the rest of the stream.
  TVectorStream SourceFields;
  Source->FieldDefs()->SaveToStream(SourceFields);
  const auto WithFields = [&](const std::function<void(TTolvanFieldDefs&)>& Change) {
    TTolvanFieldDefs Fields;
    Fields.Assign(*Source->FieldDefs());
    Change(Fields);
    TVectorStream S;
    Fields.SaveToStream(S);
    S.Data.insert(S.Data.end(), Good.begin() + int64_t(SourceFields.Data.size()), Good.end());
    return S.Data;
  };
  const auto WithN = [&](int64_t Value) {
    TBytes Bytes = Good;
    StoreLE<int64_t>(Bytes.data() + NAt, Value);
    return Bytes;
  };
  struct TCase {
    const char* What;
    TBytes Bytes;
    int32_t Code;
  };
  const TCase Cases[] = {
      {"negative N", WithN(-1), ErrTempReadBlobStoreSize},
      {"N beyond the bytes left", WithN(N + 1), ErrTempReadBlobStoreSize},
      {"BLOB block size 0", WithFields([](TTolvanFieldDefs& F) { F.Items(3).SetBlobBlockSize(0); }),
       ErrTempBlobBlockSizeZero},
      {"another record size",
       WithFields([](TTolvanFieldDefs& F) { F.Items(1).SetType(tftVarchar, 20); }),
       ErrTempReadRecordSize},
      {"no fields", WithFields([](TTolvanFieldDefs& F) { F.Clear(); }), ErrTableStreamLayout},
  };
  for (const TCase& Case : Cases) {
    TVectorStream S(Case.Bytes);
    EXPECT_EQ(CodeOf([&] { Target->LoadFromStream(nullptr, S); }), Case.Code) << Case.What;
    EXPECT_EQ(Target->TableName(), Name) << Case.What;
    EXPECT_EQ(Save(*Target), Good) << Case.What;
  }

  // BLOB bytes for a table without BLOB columns.
  TTable& Plain = *Create(true, [](TTolvanFieldDefs& F, auto&, auto&) {
    F.Delete(3);
    F.Delete(2);
  });
  TBytes PlainBytes = Save(Plain);
  StoreLE<int64_t>(PlainBytes.data() + PlainBytes.size() - 8, 4);
  PlainBytes.insert(PlainBytes.end(), 4, uint8_t(0));
  TVectorStream S(PlainBytes);
  EXPECT_EQ(CodeOf([&] { Plain.LoadFromStream(nullptr, S); }), ErrTempReadBlobStoreSize);
}

// Every cut and a flip of bits across the stream: refused with the engine's error and the table
// as it was, or loaded into a table whose indexes agree with its records.
TEST_F(TempStreams, ADamagedStreamIsRefusedOrLoadsATableThatAgreesWithItself) {
  const TBytes Good = Save(*Source);
  TTable* Target = LoadNew(Good);
  AnsiString Name = Target->TableName();
  TTestCursor& C = Open(*Target);
  Target->DetachCursor(C);
  auto Try = [&](const TBytes& Bytes) {
    TVectorStream S(Bytes);
    try {
      Target->LoadFromStream(nullptr, S);
    } catch (const ETolvanException&) {
      ASSERT_EQ(Target->TableName(), Name);
      ASSERT_EQ(Save(*Target), Good);
      return;
    } catch (const Exception& E) {
      FAIL() << "not an engine error: " << E.Message();
    }
    ASSERT_EQ(IndexFaults(*Target), "");
    // Every record reads, or its damaged value is refused cleanly.
    for (int64_t N = 0; N < Target->GetTotalRecordCount(); ++N)
      CodeOf([&] { Read(*Target, C, N); });
    TVectorStream Back(Good);
    Target->LoadFromStream(nullptr, Back);
    Name = Target->TableName();
  };
  std::mt19937 Random(117);
  const size_t Step = Good.size() / 60 + 1;
  for (size_t N = 0; N < Good.size(); N += 1 + Random() % Step)
    Try(TBytes(Good.begin(), Good.begin() + int64_t(N)));
  for (int32_t I = 0; I < 150; ++I) {
    TBytes Bytes = Good;
    Bytes[Random() % Bytes.size()] ^= uint8_t(1u << (Random() % 8));
    Try(Bytes);
  }
  EXPECT_EQ(Save(*Target), Good);
}

} // namespace
