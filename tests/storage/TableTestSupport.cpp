#include "tests/storage/TableTestSupport.h"

#include <algorithm>
#include <climits>
#include <cstring>

#include <gtest/gtest.h>

#include "foundation/TolvanExcept.h"
#include "foundation/TolvanMessages.h"

namespace tolvan::test {

namespace {

[[noreturn]] void NotSupported() { throw ETolvanException::Create(11394, SOperationNotSupported); }

int32_t SessionIDOf(const TTolvanCursor& Cursor) {
  return Cursor.Session() ? Cursor.Session()->SessionID() : -2;
}

} // namespace

// --- TTestSession -------------------------------------------------------------------------------

void TTestSession::GetTableNames(TStringList&) { NotSupported(); }
void TTestSession::LoadDatabaseFromStream(TStream&) { NotSupported(); }
void TTestSession::SaveDatabaseToStream(TStream&) { NotSupported(); }

// --- TTestCursor --------------------------------------------------------------------------------

TTestCursor::TTestCursor(TTolvanBaseSession* Session, int32_t BufferSize)
    : FRecord(size_t(BufferSize), 0) {
  SetSession(Session);
  SetRecordBuffer(FRecord.data());
}

TTestCursor::~TTestCursor() = default;

void TTestCursor::CreateTable(TTolvanFieldDefs&, TTolvanIndexDefs&, TTolvanConstraintDefs&) {
  NotSupported();
}
void TTestCursor::DeleteTable(bool) { NotSupported(); }
void TTestCursor::EmptyTable() { NotSupported(); }
void TTestCursor::RenameTable(std::string_view) { NotSupported(); }
bool TTestCursor::RepairTable(AnsiString&, TTolvanBaseSession*) { NotSupported(); }
void TTestCursor::AddForeignKey(const TTolvanConstraintDefForeignKey&) { NotSupported(); }
void TTestCursor::DeleteConstraint(std::string_view, bool, bool) { NotSupported(); }
void TTestCursor::LoadTableFromStream(TStream&) { NotSupported(); }
void TTestCursor::WriteTableToStream(TStream&, TTolvanCompressionAlgorithm, uint8_t, int32_t, bool,
                                     bool) {
  NotSupported();
}
void TTestCursor::GenerateTableSQL(bool, bool, bool, bool, bool, bool, bool, AnsiString&) {
  NotSupported();
}
void TTestCursor::InitFieldDefs() { NotSupported(); }
void TTestCursor::OpenTable(TTolvanFieldDefs*, TTolvanIndexDefs*, TTolvanConstraintDefs*) {
  NotSupported();
}
void TTestCursor::InitRecord(uint8_t*, bool) { NotSupported(); }
void TTestCursor::AddIndex(const TTolvanIndexDef&) { NotSupported(); }
void TTestCursor::DeleteIndex(std::string_view) { NotSupported(); }
void TTestCursor::DeleteAllIndexes() { NotSupported(); }
void TTestCursor::FindIndexForFields(const TStringList*, const TStringList*, const TStringList*,
                                     AnsiString&) {
  NotSupported();
}
int64_t TTestCursor::GetRecordCount() { NotSupported(); }
TTolvanGetRecordResult TTestCursor::GetRecord(TTolvanGetRecordMode) { NotSupported(); }
void TTestCursor::SetRecNo(int64_t) { NotSupported(); }
int64_t TTestCursor::GetRecNo() { NotSupported(); }
void TTestCursor::PostRecord(bool) { NotSupported(); }
void TTestCursor::DeleteRecord() { NotSupported(); }
int32_t TTestCursor::DeleteAllRecords() { NotSupported(); }
int32_t TTestCursor::UpdateAllRecords(const TStringList&, std::span<TTolvanVariant* const>, bool) {
  NotSupported();
}
void TTestCursor::SetProjection(const TStringList&, const TStringList&) { NotSupported(); }
void TTestCursor::SetFilter(std::string_view, bool, bool) { NotSupported(); }
bool TTestCursor::Locate(std::string_view, const Variant&, bool, bool) { NotSupported(); }
bool TTestCursor::GotoKey(uint8_t) { NotSupported(); }
void TTestCursor::SetRange(uint8_t*, uint8_t*, int32_t, int32_t, bool, bool) { NotSupported(); }
void TTestCursor::SetExternalFilter(std::unique_ptr<TTolvanExpression>) { NotSupported(); }
TTolvanStream* TTestCursor::OpenBlob(bool, int32_t, TTolvanBlobOpenMode) { NotSupported(); }
int64_t TTestCursor::GetAutoIncValue(int32_t) { NotSupported(); }
void TTestCursor::SetAutoIncValue(int32_t, int64_t) { NotSupported(); }

// --- TVectorRecordManager -----------------------------------------------------------------------

void TVectorRecordManager::Clear(int32_t) {
  FRecords.clear();
  SetRecordCount(0);
}

bool TVectorRecordManager::InsertRecord(const uint8_t* Buffer, TTolvanRecordID& RecordID, int32_t) {
  FRecords.emplace_back(Buffer, Buffer + RecordSize());
  RecordID = {int32_t(FRecords.size() - 1), 0};
  AddRecordCount(1);
  return true;
}

bool TVectorRecordManager::UpdateRecord(const uint8_t* Buffer, const TTolvanRecordID& RecordID,
                                        int32_t) {
  if (!Live(RecordID.PageNo))
    return false;
  std::memcpy(FRecords[size_t(RecordID.PageNo)].data(), Buffer, size_t(RecordSize()));
  return true;
}

bool TVectorRecordManager::DeleteRecord(const TTolvanRecordID& RecordID, int32_t) {
  if (!Live(RecordID.PageNo))
    return false;
  FRecords[size_t(RecordID.PageNo)].clear();
  AddRecordCount(-1);
  return true;
}

bool TVectorRecordManager::RecordExists(const TTolvanRecordID& RecordID, int32_t) {
  return Live(RecordID.PageNo);
}

void TVectorRecordManager::GetRecord(TTolvanNavState& State) {
  int64_t Slot = State.RecordID.PageNo;
  const int64_t N = int64_t(FRecords.size());
  if (State.Mode == rmNext) {
    for (Slot = State.AtBegin ? 0 : Slot + 1; Slot < N && !Live(Slot); ++Slot) {
    }
    if (Slot >= N) {
      State.Result = rrEndReached;
      return;
    }
  } else if (State.Mode == rmPrior) {
    for (Slot = State.AtEnd ? N - 1 : Slot - 1; Slot >= 0 && !Live(Slot); --Slot) {
    }
    if (Slot < 0) {
      State.Result = rrBeginReached;
      return;
    }
  } else if (!Live(Slot)) {
    State.Result = rrMissing;
    return;
  }
  std::memcpy(State.Buffer, FRecords[size_t(Slot)].data(), size_t(RecordSize()));
  State.RecordID = {int32_t(Slot), 0};
  State.Result = rrOK;
}

int64_t TVectorRecordManager::GetApproxRecNo(const TTolvanRecordID& RecordID, int32_t) {
  return RecordID.PageNo < 0 || RecordID.PageNo >= int32_t(FRecords.size())
             ? -1
             : int64_t(RecordID.PageNo) + 1;
}

std::vector<uint8_t> TVectorRecordManager::Stored(int32_t Slot) const {
  return Live(Slot) ? FRecords[size_t(Slot)] : std::vector<uint8_t>();
}

// --- TTestTableData -----------------------------------------------------------------------------

TTestTableData::TTestTableData(TTolvanTableOwner& Owner, TTolvanIndexFactory Factory)
    : TTolvanTableData(Owner, std::move(Factory)) {
  SetIsMemory(true);
}

TTestTableData::~TTestTableData() { FreeManagers(); }

void TTestTableData::CreateRecordManager() {
  SetRecordManager(std::make_unique<TVectorRecordManager>(RecordSize()));
}

void TTestTableData::CreateTable(TTolvanCursor& Cursor, TTolvanFieldDefs& FieldDefs,
                                 TTolvanIndexDefs& IndexDefs,
                                 TTolvanConstraintDefs& ConstraintDefs) {
  SetName(Cursor.TableName());
  CreateSequenceManager();
  SetFieldDefs(FieldDefs);
  SetIndexDefs(IndexDefs);
  SetConstraintDefs(ConstraintDefs);
  CreateAutoIncSequences();
  CreateRecordManager();
}

void TTestTableData::Commit(const TTolvanCursor& Cursor) { FStore.Commit(SessionIDOf(Cursor)); }

bool TTestTableData::InsertRecord(TTolvanCursor& Cursor) {
  TTolvanRecordID ID{};
  if (!RecordManager()->InsertRecord(Cursor.RecordBuffer(), ID, -1))
    return false;
  Cursor.SetPosition(ID);
  if (IndexManager())
    IndexManager()->InsertKeys(Cursor);
  Commit(Cursor);
  return true;
}

bool TTestTableData::DeleteRecord(TTolvanCursor& Cursor) {
  if (IndexManager())
    IndexManager()->DeleteKeys(Cursor);
  const bool Done = RecordManager()->DeleteRecord(Cursor.Position(), -1);
  Commit(Cursor);
  return Done;
}

bool TTestTableData::UpdateRecord(TTolvanCursor& Cursor) {
  if (IndexManager())
    IndexManager()->UpdateKeys(Cursor);
  const bool Done = RecordManager()->UpdateRecord(Cursor.RecordBuffer(), Cursor.Position(), -1);
  Commit(Cursor);
  return Done;
}

void TTestTableData::SetRecNoPhysical(TTolvanCursor& Cursor, int64_t RecNo) {
  Cursor.SetPosition({int32_t(RecNo - 1), 0});
}

int64_t TTestTableData::GetRecNoPhysical(TTolvanCursor& Cursor) {
  return int64_t(Cursor.Position().PageNo) + 1;
}

int64_t TTestTableData::GetTotalRecordCount() {
  if (TotalOverride >= 0)
    return TotalOverride;
  return RecordManager() ? RecordManager()->RecordCount() : 0;
}

void TTestTableData::DropIndexesAndClose() {
  if (IndexManager()) {
    IndexManager()->DropAll(-2);
    FStore.Commit(-2);
  }
  FStore.Close();
}

// --- fixture ------------------------------------------------------------------------------------

TTolvanFieldDef& AddField(TTolvanFieldDefs& Defs, std::string_view Name, TTolvanFieldType Type,
                          int32_t Size) {
  TTolvanFieldDef& Def = Defs.AddNew();
  Def.SetName(Name);
  Def.SetType(Type, Size);
  return Def;
}

TTolvanIndexDef& AddIndexDef(TTolvanIndexDefs& Defs, std::string_view Name,
                             std::initializer_list<std::string_view> Columns, bool Unique) {
  TTolvanIndexDef& Def = Defs.AddNew();
  Def.SetName(Name);
  Def.SetUnique(Unique ? 1 : 0);
  Def.SetColumnCount(int32_t(Columns.size()));
  int32_t I = 0;
  for (std::string_view Column : Columns)
    Def.Columns(I++).SetName(Column);
  return Def;
}

TTableFixture::TTableFixture(TTolvanIndexFactory Factory)
    : Hooks(std::make_shared<TFakeIndexHooks>()),
      Table(Owner, Factory ? std::move(Factory) : FakeIndexFactory(Hooks)) {}

void TTableFixture::Create(TTolvanFieldDefs& FieldDefs, TTolvanIndexDefs& IndexDefs) {
  TTolvanConstraintDefs Constraints;
  TTestCursor Maker(&Session, 0);
  Maker.SetTableName("T");
  Table.CreateTable(Maker, FieldDefs, IndexDefs, Constraints);
  Cursor = NewCursor(&Session);
}

std::unique_ptr<TTestCursor> TTableFixture::NewCursor(TTolvanBaseSession* S) {
  auto C = std::make_unique<TTestCursor>(S, Table.RecordSize() + RecordTrailerSize);
  ClearRecord(*C);
  return C;
}

void TTableFixture::ClearRecord(TTestCursor& C) {
  std::fill(C.RecordBytes().begin(), C.RecordBytes().end(), 0);
  SetAllNull(C.Record(), Fields().Count());
}

void TTableFixture::SetInt(TTestCursor& C, int32_t FieldNo, int32_t Value) {
  SetFieldData(FieldNo, Fields(), &Value, C.RecordBuffer());
}

void TTableFixture::SetText(TTestCursor& C, int32_t FieldNo, const char* Text) {
  SetFieldData(FieldNo, Fields(), Text, C.RecordBuffer());
}

int32_t TTableFixture::GetInt(const uint8_t* Buffer, int32_t FieldNo) const {
  int32_t Value = 0;
  return GetFieldData(FieldNo, Fields(), &Value, Buffer) ? Value : INT32_MIN;
}

TTolvanRecordID TTableFixture::Insert(TTestCursor& C) {
  EXPECT_TRUE(Table.InsertRecord(C));
  return C.Position();
}

TTolvanRecordID TTableFixture::InsertInts(std::initializer_list<int32_t> Values) {
  ClearRecord(*Cursor);
  int32_t I = 0;
  for (int32_t V : Values)
    SetInt(*Cursor, I++, V);
  return Insert(*Cursor);
}

std::vector<TTolvanRecordID> TTableFixture::Keys(int32_t ID) {
  return static_cast<TFakeIndex&>(Indexes().GetIndex(ID)).RecordIDs(Session.SessionID());
}

} // namespace tolvan::test
