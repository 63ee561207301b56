// The record operations of TTolvanTableData: navigation, searches, record numbers, BLOB values,
// bulk deletes and updates, and the result-set upkeep after a post.
#include "storage/TolvanTableData.h"

namespace tolvan {

bool TTolvanTableData::Search(TTolvanCursor&, TTolvanExpression*, const TTolvanScanSearchCondition*,
                              bool, bool, TTolvanRecordID*, TTolvanRecordBitmap*, bool) {
  RaiseNotSupported();
}

bool TTolvanTableData::Locate(TTolvanCursor&, TTolvanExpression*) { RaiseNotSupported(); }

bool TTolvanTableData::GotoKey(TTolvanCursor&, uint8_t) { RaiseNotSupported(); }

bool TTolvanTableData::RecordExists(TTolvanCursor&) { RaiseNotSupported(); }

TTolvanGetRecordResult TTolvanTableData::GetRecord(TTolvanCursor&, TTolvanGetRecordMode) {
  RaiseNotSupported();
}

std::unique_ptr<TTolvanStream> TTolvanTableData::OpenBlob(TTolvanCursor&, bool, int32_t,
                                                          TTolvanBlobOpenMode) {
  RaiseNotSupported();
}

void TTolvanTableData::WriteBlob(TTolvanCursor&, int32_t, TTolvanCompressedBLOBStream&) {
  RaiseNotSupported();
}

void TTolvanTableData::FreeBlob(uint8_t*, int32_t) { RaiseNotSupported(); }

void TTolvanTableData::FreeAllBlobs(uint8_t*) { RaiseNotSupported(); }

bool TTolvanTableData::IsBlobWritten(const uint8_t*, int32_t) const { RaiseNotSupported(); }

void TTolvanTableData::SetBlobWritten(bool, uint8_t*, int32_t) { RaiseNotSupported(); }

void TTolvanTableData::SetBlobMarks(bool, TTolvanCursor&) { RaiseNotSupported(); }

void TTolvanTableData::CancelRecord(TTolvanCursor&) { RaiseNotSupported(); }

void TTolvanTableData::DeleteAllRecords(TTolvanCursor&) { RaiseNotSupported(); }

void TTolvanTableData::UpdateAllRecords(TTolvanCursor&, const TStringList&,
                                        std::span<TTolvanVariant* const>, bool) {
  RaiseNotSupported();
}

int64_t TTolvanTableData::GetRecordCount(TTolvanCursor&) { RaiseNotSupported(); }

void TTolvanTableData::SetRecNo(TTolvanCursor&, int64_t) { RaiseNotSupported(); }

int64_t TTolvanTableData::GetRecNo(TTolvanCursor&) { RaiseNotSupported(); }

bool TTolvanTableData::IsRestricted(const TTolvanCursor& Cursor) {
  return Cursor.CursorIsFiltered() || Cursor.CursorHasRange();
}

bool TTolvanTableData::RecordMatches(TTolvanCursor&, uint8_t*) { RaiseNotSupported(); }

void TTolvanTableData::AfterPostInsert(TTolvanCursor&, const TTolvanCursorPosition&) {
  RaiseNotSupported();
}

void TTolvanTableData::InsertIntoResultSet(TTolvanCursor&) { RaiseNotSupported(); }

void TTolvanTableData::AfterPostUpdate(TTolvanCursor&) { RaiseNotSupported(); }

} // namespace tolvan
