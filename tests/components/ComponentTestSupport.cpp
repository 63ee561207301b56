#include "tests/components/ComponentTestSupport.h"

#include <stdexcept>
#include <string>

#include "foundation/TolvanMemory.h"
#include "storage/local/TolvanLocalCursor.h"

namespace tolvan::test {

bool TFakeClient::Use(TTolvanSession& S, std::string_view Name, TComponent* Owner) {
  Database = S.OpenDatabase(Name, Owner);
  if (!Database)
    return false;
  Session = &S;
  Database->AddDataSet(this);
  return true;
}

void TFakeClient::Disconnect() {
  ++Disconnects;
  if (Stubborn || !Database)
    return;
  TTolvanDatabase* D = Database;
  Database = nullptr;
  D->RemoveDataSet(this);
  Session->CloseDatabase(D);
}

void TFakeClient::ForgetDatabase() noexcept {
  ++Forgets;
  Database = nullptr;
}

namespace {

std::unique_ptr<TTolvanLocalCursor> CursorOf(TTolvanDatabase& Database, std::string_view Table) {
  if (!Database.EngineSession())
    throw std::logic_error("the database is not connected");
  auto Cursor = std::make_unique<TTolvanLocalCursor>();
  Cursor->SetSession(Database.EngineSession());
  Cursor->SetTableName(Table);
  Cursor->SetInMemory(Database.EngineSession()->InMemory() || Database.EngineSession()->IsTemp());
  return Cursor;
}

} // namespace

void MakeTable(TTolvanDatabase& Database, std::string_view Name, bool AutoInc) {
  TTolvanFieldDefs Fields;
  TTolvanFieldDef& Id = Fields.AddNew();
  Id.SetName("ID");
  Id.SetType(AutoInc ? tftAutoInc : tftInteger, 0);
  TTolvanFieldDef& Text = Fields.AddNew();
  Text.SetName("Name");
  Text.SetType(tftVarchar, 20);
  TTolvanIndexDefs Indexes;
  TTolvanConstraintDefs Constraints;
  std::unique_ptr<TTolvanLocalCursor> Cursor = CursorOf(Database, Name);
  Cursor->OpenTable(&Fields, &Indexes, &Constraints);
  Cursor->CloseTable();
}

void InsertRow(TTolvanDatabase& Database, std::string_view Table, std::string_view Text,
               int32_t Id) {
  std::unique_ptr<TTolvanLocalCursor> Cursor = CursorOf(Database, Table);
  Cursor->SetInMemory(false); // the table must exist
  Cursor->OpenTable(nullptr, nullptr, nullptr);
  std::unique_ptr<uint8_t, TTolvanMemDeleter> Buffer(Cursor->AllocRecordBuffer());
  Cursor->SetRecordBuffer(Buffer.get());
  Cursor->InitRecord(Buffer.get(), true);
  TTolvanVariant Value;
  if (!Cursor->FieldDefs().Items(0).IsAutoinc()) {
    Value.SetAsInteger(Id);
    Cursor->SetCursorFieldValue(Value, 0, nullptr, true);
  }
  Value.Clear();
  Value.SetAsString(AnsiString(Text));
  Cursor->SetCursorFieldValue(Value, 1, nullptr, true);
  Cursor->InsertRecordHook();
  Cursor->PostRecord(true);
  const int32_t Code = Cursor->LastErrorCode();
  Cursor->SetRecordBuffer(nullptr);
  Cursor->CloseTable();
  if (Code != 0)
    throw std::runtime_error("insert refused: " + std::to_string(Code));
}

} // namespace tolvan::test
