// TolvanLocalCursorTables.cpp: the table operations of TTolvanLocalCursor.
#include "foundation/TolvanExcept.h"
#include "foundation/TolvanMessages.h"
#include "storage/local/TolvanLocalCursor.h"

namespace tolvan {

namespace {

[[noreturn]] void RaiseTableOperationNotSupported() {
  throw ETolvanException::Create(ErrCreateIndexForFields, SOperationNotSupported);
}

} // namespace

void TTolvanLocalCursor::CreateTable(TTolvanFieldDefs&, TTolvanIndexDefs&,
                                     TTolvanConstraintDefs&) {
  RaiseTableOperationNotSupported();
}

void TTolvanLocalCursor::DeleteTable(bool) { RaiseTableOperationNotSupported(); }

void TTolvanLocalCursor::EmptyTable() { RaiseTableOperationNotSupported(); }

void TTolvanLocalCursor::RenameTable(std::string_view) { RaiseTableOperationNotSupported(); }

void TTolvanLocalCursor::RenameField(std::string_view, std::string_view) {
  RaiseTableOperationNotSupported();
}

bool TTolvanLocalCursor::RepairTable(AnsiString&, TTolvanBaseSession*) {
  RaiseTableOperationNotSupported();
}

void TTolvanLocalCursor::AddForeignKey(const TTolvanConstraintDefForeignKey&) {
  RaiseTableOperationNotSupported();
}

void TTolvanLocalCursor::DeleteConstraint(std::string_view, bool, bool) {
  RaiseTableOperationNotSupported();
}

void TTolvanLocalCursor::LoadTableFromStream(TStream&) { RaiseTableOperationNotSupported(); }

void TTolvanLocalCursor::WriteTableToStream(TStream&, TTolvanCompressionAlgorithm, uint8_t,
                                            int32_t, bool, bool) {
  RaiseTableOperationNotSupported();
}

void TTolvanLocalCursor::GenerateTableSQL(bool, bool, bool, bool, bool, bool, bool, AnsiString&) {
  RaiseTableOperationNotSupported();
}

void TTolvanLocalCursor::CopyRecordsForRepair(TTolvanLocalCursor&, AnsiString&) {
  RaiseTableOperationNotSupported();
}

} // namespace tolvan
