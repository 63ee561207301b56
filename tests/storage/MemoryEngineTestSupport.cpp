#include "tests/storage/MemoryEngineTestSupport.h"

#include <algorithm>
#include <set>

#include "schema/TolvanRecordBuffer.h"
#include "tests/storage/PageAccounting.h"

namespace tolvan::test {

TMemoryTableFixture::TMemoryTableFixture(TTolvanIndexFactory Factory) {
  Db.SetIndexFactory(std::move(Factory));
  Db.AttachSession(Session);
  Db.AttachSession(Session2);
}

TMemoryTableFixture::~TMemoryTableFixture() {
  for (auto* C : {Cursor.get(), Cursor2.get()})
    if (C && Table)
      Table->DetachCursor(*C);
  Db.DetachSession(Session);
  Db.DetachSession(Session2);
}

void TMemoryTableFixture::Create(TTolvanFieldDefs& FieldDefs, TTolvanIndexDefs& IndexDefs,
                                 TTolvanConstraintDefs& Constraints) {
  TTestCursor Maker(&Session, 0);
  Maker.SetTableName("M");
  bool Created = false;
  Table = static_cast<TTolvanMemoryTableData*>(Db.GetTableData(
      Maker, [&](TTolvanTableData& T) { T.CreateTable(Maker, FieldDefs, IndexDefs, Constraints); },
      &Created));
  Cursor = NewCursor(&Session);
  Cursor2 = NewCursor(&Session2);
  Table->AttachCursor(*Cursor);
  Table->AttachCursor(*Cursor2);
}

std::unique_ptr<TTestCursor> TMemoryTableFixture::NewCursor(TTolvanBaseSession* S) {
  auto C = std::make_unique<TTestCursor>(S, Table->RecordSize() + RecordTrailerSize);
  C->SetTableName("M");
  ClearRecord(*C);
  return C;
}

void TMemoryTableFixture::ClearRecord(TTestCursor& C) {
  std::fill(C.RecordBytes().begin(), C.RecordBytes().end(), 0);
  SetAllNull(C.Record(), Fields().Count());
}

std::map<int32_t, std::vector<uint8_t>> TMemoryTableFixture::StoreRows() const {
  return MemoryStoreRows(*Table);
}

std::string TMemoryTableFixture::TableFaults() {
  return MemoryTableFaults(*Table, Session.SessionID());
}

std::map<int32_t, std::vector<uint8_t>> MemoryStoreRows(const TTolvanMemoryTableData& Table) {
  std::map<int32_t, std::vector<uint8_t>> Rows;
  const TTolvanMemoryRecordManager& Store = *Table.Records();
  const size_t Size = size_t(Table.RecordSize());
  for (int32_t Slot = 0; Slot < Store.Capacity(); ++Slot)
    if (Store.RecordCount() > 0 && Slot >= Store.MinID() && Slot <= Store.MaxID() &&
        !Store.IsSlotDeleted(Slot)) {
      const uint8_t* P = Store.RecordBlock() + size_t(Slot) * Size;
      Rows.emplace(Slot, std::vector<uint8_t>(P, P + Size));
    }
  return Rows;
}

std::string MemoryTableFaults(TTolvanMemoryTableData& Table, int32_t SessionID) {
  const auto Rows = MemoryStoreRows(Table);
  if (int64_t(Rows.size()) != Table.GetTotalRecordCount())
    return "record count " + std::to_string(Table.GetTotalRecordCount()) + " for " +
           std::to_string(Rows.size()) + " live slots";
  TTolvanBaseIndexManager& Indexes = *Table.IndexManager();
  for (int32_t I = 0; I < Indexes.IndexDefs().Count(); ++I) {
    const int32_t IndexID = Indexes.IndexDefs().Items(I).ObjectID();
    const std::string Name = Indexes.IndexDefs().Items(I).Name();
    // The walk in index order.
    std::vector<uint8_t> Buffer(size_t(Table.RecordSize()));
    std::vector<uint8_t> Previous;
    std::set<int32_t> Seen;
    TTolvanNavState State;
    State.SessionID = SessionID;
    State.Mode = rmNext;
    State.IndexID = IndexID;
    State.AtBegin = 1;
    State.Buffer = Buffer.data();
    TTolvanIndex& Index = Indexes.GetIndex(IndexID);
    for (;;) {
      Indexes.GetRecordViaIndex(SessionID, State);
      if (State.Result != rrOK)
        break;
      State.AtBegin = 0;
      const int32_t Slot = State.RecordID.PageNo;
      if (!Rows.count(Slot) || !Seen.insert(Slot).second)
        return Name + ": entry of slot " + std::to_string(Slot) + " is not one live record";
      if (!Previous.empty() &&
          Index.CompareRecordKeys(Previous.data(), Buffer.data(),
                                  Indexes.IndexDefs().Items(I).ColumnCount()) > 0)
        return Name + ": out of order at slot " + std::to_string(Slot);
      Previous = Buffer;
    }
    if (State.Result != rrEndReached)
      return Name + ": walk ended with " + std::to_string(int(State.Result));
    if (Seen.size() != Rows.size())
      return Name + ": " + std::to_string(Seen.size()) + " entries for " +
             std::to_string(Rows.size()) + " records";
    // Every entry sits under its stored record's key.
    TTolvanIndexKeyPath* Path = Index.CreateKeyPath();
    std::string Fault;
    for (const auto& [Slot, Bytes] : Rows)
      if (!Index.FindKeyPath(SessionID, {Slot, 0}, Bytes.data(), Path)) {
        Fault = Name + ": no entry under the stored key of slot " + std::to_string(Slot);
        break;
      }
    Index.FreeKeyPath(Path);
    if (!Fault.empty())
      return Fault;
  }
  return PageAccountingFaults(Table.Pages());
}

} // namespace tolvan::test
