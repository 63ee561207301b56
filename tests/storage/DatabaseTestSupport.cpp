#include "tests/storage/DatabaseTestSupport.h"

#include <cctype>
#include <utility>

#include "foundation/TolvanExcept.h"

namespace tolvan::test {

namespace {

std::string Key(std::string_view Name) {
  std::string K(Name);
  for (char& C : K)
    C = char(std::toupper(static_cast<unsigned char>(C)));
  return K;
}

class TTestSideCursor : public TTolvanSideCursor {
public:
  TTestSideCursor(TTestDatabase& Database, TTestTableData& Table, TTolvanBaseSession* Session)
      : FDatabase(Database), FTable(Table),
        FCursor(Session, Table.RecordSize() + RecordTrailerSize) {
    FCursor.SetTableName(Table.TableName());
    FTable.AttachCursor(FCursor);
    ++FDatabase.SideOpened;
  }
  ~TTestSideCursor() override {
    if (FOpen)
      FTable.DetachCursor(FCursor);
  }

  TTolvanCursor& Cursor() override { return FCursor; }
  TTolvanTableData& TableData() override { return FTable; }
  void Close() override {
    FOpen = false;
    FTable.DetachCursor(FCursor);
    ++FDatabase.SideClosed;
    if (const int32_t Code = std::exchange(FDatabase.CloseFails, 0))
      throw ETolvanException(Code, "close failed");
  }

private:
  TTestDatabase& FDatabase;
  TTestTableData& FTable;
  TTestCursor FCursor;
  bool FOpen = true;
};

} // namespace

// --- TFakeForeignKeys ---------------------------------------------------------------------------

TFakeForeignKeys::TFakeForeignKeys() : FPrevious(RegisterForeignKeyRoutines(this)) {}

TFakeForeignKeys::~TFakeForeignKeys() { RegisterForeignKeyRoutines(FPrevious); }

void TFakeForeignKeys::ValidateForeignKey(TTolvanTableData& Table, TTolvanConstraintDefForeignKey&,
                                          TTolvanCursor& Parent) {
  Calls.push_back("Validate " + Table.TableName() + " -> " + Parent.TableName());
  if (ValidateFails)
    throw ETolvanException(ValidateFails, "invalid key");
}

void TFakeForeignKeys::CheckExistingRows(TTolvanTableData& Table, TTolvanCursor&,
                                         TTolvanCursor& Parent,
                                         const TTolvanConstraintDefForeignKey&) {
  Calls.push_back("ExistingRows " + Table.TableName() + " -> " + Parent.TableName());
  if (ExistingRowsFail)
    throw ETolvanException(ExistingRowsFail, "orphan rows");
}

bool TFakeForeignKeys::CheckForeignKeyParent(TTolvanTableData&, TTolvanCursor&, int32_t,
                                             const TTolvanConstraintDefForeignKey& Key,
                                             const uint8_t* Buffer) {
  return ParentMissing && ParentMissing(Key, Buffer);
}

void TFakeForeignKeys::RenameForeignKeyReferences(TTolvanTableData& Table, TTolvanCursor*,
                                                  std::string_view OldName,
                                                  std::string_view NewName) {
  Calls.push_back("Rename " + Table.TableName() + " " + std::string(OldName) + " -> " +
                  std::string(NewName));
}

AnsiString TFakeForeignKeys::StripTemporaryFKName(std::string_view Name) {
  constexpr std::string_view Prefix = "TolvanFKTNP_";
  if (Name.size() >= Prefix.size() && Key(Name.substr(0, Prefix.size())) == Key(Prefix)) {
    if (Name.size() <= Prefix.size())
      throw ETolvanException(11585, "Invalid foreign key tempoaray name");
    return AnsiString(Name.substr(Prefix.size()));
  }
  return AnsiString(Name);
}

// --- TTestDatabase ------------------------------------------------------------------------------

TTestDatabase::TTestDatabase() {
  FPrevious =
      RegisterSideCursorFactory([this](TTolvanBaseSession* Session, bool, std::string_view Name,
                                       bool) -> std::unique_ptr<TTolvanSideCursor> {
        auto Found = FTables.find(Key(Name));
        if (Found == FTables.end())
          throw ETolvanException(10000, "no such table");
        return std::make_unique<TTestSideCursor>(*this, *Found->second, Session);
      });
}

TTestDatabase::~TTestDatabase() {
  RegisterSideCursorFactory(FPrevious);
  CloseAll();
}

TTestTableData& TTestDatabase::Create(std::string_view Name, TTolvanFieldDefs& Fields,
                                      TTolvanIndexDefs& Indexes,
                                      TTolvanConstraintDefs& Constraints) {
  auto Table = std::make_unique<TTestTableData>(Owner, FakeIndexFactory(Hooks));
  TTestCursor Maker(&Session, 0);
  Maker.SetTableName(Name);
  Table->CreateTable(Maker, Fields, Indexes, Constraints);
  TTestTableData& Ref = *Table;
  FTables[Key(Name)] = std::move(Table);
  return Ref;
}

TTestTableData& TTestDatabase::Table(std::string_view Name) { return *FTables.at(Key(Name)); }

std::unique_ptr<TTestCursor> TTestDatabase::NewCursor(std::string_view Name,
                                                      TTolvanBaseSession* S) {
  TTestTableData& T = Table(Name);
  auto C = std::make_unique<TTestCursor>(S, T.RecordSize() + RecordTrailerSize);
  C->SetTableName(T.TableName());
  SetAllNull(C->Record(), T.FieldDefs()->Count());
  return C;
}

void TTestDatabase::CloseAll() {
  for (auto& [Name, Table] : FTables)
    Table->DropIndexesAndClose();
  FTables.clear();
}

std::string ConstraintNames(const TTolvanTableData& Table) {
  std::string S;
  if (!Table.ConstraintManager())
    return S;
  const TTolvanConstraintDefs& Defs = Table.ConstraintManager()->ConstraintDefs();
  for (int32_t I = 0; I < Defs.Count(); ++I) {
    if (I)
      S += ", ";
    S += Defs.Items(I).Name();
  }
  return S;
}

} // namespace tolvan::test
