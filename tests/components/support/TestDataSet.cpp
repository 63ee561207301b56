#include "tests/components/support/TestDataSet.h"

#include <atomic>
#include <memory>
#include <stdexcept>

#include "components/TolvanSession.h"
#include "storage/local/TolvanLocalCursor.h"

namespace tolvan::test {

std::string TTestDataSet::Joined() const {
  std::string Text;
  for (const std::string& Name : Log) {
    if (!Text.empty())
      Text += ' ';
    Text += Name;
  }
  return Text;
}

void TTestDataSet::Step(const char* Name) {
  Log.emplace_back(Name);
  if (FailAt == Name)
    throw TInjectedFault(Name);
}

TTolvanCursor* TTestDataSet::CreateCursor() {
  Step("CreateCursor");
  if (NilCursor)
    return nullptr;
  if (ExternalCursor())
    return ExternalCursor();
  TTolvanDatabase* Held = Database();
  if (!Held || !Held->EngineSession())
    throw std::logic_error("no connected database");
  auto Cursor = std::make_unique<TTolvanLocalCursor>();
  Cursor->SetSession(Held->EngineSession());
  Cursor->SetTableName(TableName);
  // A missing table is an error, not a new table.
  Cursor->SetInMemory(false);
  Cursor->OpenTable(nullptr, nullptr, nullptr);
  return Cursor.release();
}

void TTestDataSet::DestroyCursor() {
  Log.emplace_back("DestroyCursor");
  TTolvanDataSet::DestroyCursor();
}

void TTestDataSet::PrepareCursor() { Step("PrepareCursor"); }

void TTestDataSet::OpenEngineCursor(bool InfoQuery) {
  Step("OpenEngineCursor");
  TTolvanDataSet::OpenEngineCursor(InfoQuery);
}

void TTestDataSet::OpenData() {
  Step("OpenData");
  TTolvanDataSet::OpenData();
}

void TTestDataSet::CloseEngineCursor() {
  Log.emplace_back("CloseEngineCursor");
  TTolvanDataSet::CloseEngineCursor();
}

void TTestDataSet::CloseData() {
  Log.emplace_back("CloseData");
  TTolvanDataSet::CloseData();
}

void TTestDataSet::LoadFieldDefs() {
  Step("LoadFieldDefs");
  TTolvanDataSet::LoadFieldDefs();
}

int32_t TTestDataSet::RecordBufferSize() {
  Step("RecordBufferSize");
  return TTolvanDataSet::RecordBufferSize();
}

uint8_t* TTestDataSet::NewRecordBuffer() {
  Step("NewRecordBuffer");
  return TTolvanDataSet::NewRecordBuffer();
}

void TTestDataSet::DisposeRecordBuffer(uint8_t* Buffer) {
  Log.emplace_back("DisposeRecordBuffer");
  TTolvanDataSet::DisposeRecordBuffer(Buffer);
}

void TTestDataSet::InitKeyBuffer(uint8_t* Buffer) {
  if (FailAt == "InitKeyBuffer" && ++FKeyInits == FailCount) {
    FKeyInits = 0;
    throw TInjectedFault("InitKeyBuffer");
  }
  TTolvanDataSet::InitKeyBuffer(Buffer);
}

void TTestDataSet::MoveToBegin() {
  Step("MoveToBegin");
  TTolvanDataSet::MoveToBegin();
}

TGetResult TTestDataSet::FetchRecord(uint8_t* Buffer, TGetMode Mode, bool DoCheck) {
  Step("FetchRecord");
  return TTolvanDataSet::FetchRecord(Buffer, Mode, DoCheck);
}

void TTestDataSet::BeginInsertRecord() {
  Step("BeginInsertRecord");
  TTolvanDataSet::BeginInsertRecord();
}

void TTestDataSet::CancelRecord() {
  Step("CancelRecord");
  TTolvanDataSet::CancelRecord();
}

// --- tables
// ----------------------------------------------------------------------------------------

void MakeEngineTable(TTolvanDatabase& Database, std::string_view Name, TTolvanFieldDefs& Fields,
                     TTolvanIndexDefs& Indexes, TTolvanConstraintDefs& Constraints) {
  if (!Database.EngineSession())
    throw std::logic_error("the database is not connected");
  TTolvanLocalCursor Cursor;
  Cursor.SetSession(Database.EngineSession());
  Cursor.SetTableName(Name);
  Cursor.SetInMemory(true);
  Cursor.CreateTable(Fields, Indexes, Constraints);
}

void MakeEngineTable(std::string_view DatabaseName, std::string_view Name, TTolvanFieldDefs& Fields,
                     TTolvanIndexDefs& Indexes, TTolvanConstraintDefs& Constraints) {
  static std::atomic<int32_t> Counter{0};
  TComponentPtr<TTolvanSession> Session(TTolvanSession::Create(nullptr));
  Session->SetSessionName("TableMaker" + std::to_string(Counter++));
  TTolvanDatabase* Database = TTolvanDatabase::Create(Session.get());
  Database->SetDatabaseName(DatabaseName);
  Database->Open();
  MakeEngineTable(*Database, Name, Fields, Indexes, Constraints);
  Database->Close();
}

void MakeSimpleTable(std::string_view DatabaseName, std::string_view Name, bool NameRequired) {
  TTolvanFieldDefs Fields;
  TTolvanFieldDef& Id = Fields.AddNew();
  Id.SetName("ID");
  Id.SetType(tftInteger, 0);
  TTolvanFieldDef& Text = Fields.AddNew();
  Text.SetName("Name");
  Text.SetType(tftVarchar, 20);
  TTolvanIndexDefs Indexes;
  TTolvanIndexDef& Pk = Indexes.AddNew();
  Pk.SetName("PK");
  Pk.SetPrimary(1);
  Pk.SetUnique(1);
  Pk.SetColumnCount(1);
  Pk.Columns(0).SetName("ID");
  TTolvanConstraintDefs Constraints;
  if (NameRequired)
    Constraints.AddNotNull().Column().SetName("Name");
  MakeEngineTable(DatabaseName, Name, Fields, Indexes, Constraints);
}

} // namespace tolvan::test
