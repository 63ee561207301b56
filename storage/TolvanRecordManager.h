// TolvanRecordManager.h: the interface through which a table keeps its stored records.
//
// A record manager stores records of RecordSize bytes (the table's null bitmap and columns, not
// the cursor's trailer) under record ids it assigns, and serves navigation requests in store
// order. The in-memory and temporary engines implement it; the base fixes the slot order and
// the contracts every implementation keeps:
//   - InsertRecord copies RecordSize bytes from the buffer, assigns the new id, writes it to the
//     out argument, adds 1 to RecordCount and returns true;
//   - UpdateRecord overwrites the live record of that id, DeleteRecord removes it and subtracts
//     1 from RecordCount; both return true when they acted;
//   - GetRecord with Mode current copies the record of the request's id into its buffer; with
//     next or prior it moves from that id (or from the beginning or end when the request's
//     flag is set) in store order; Result is rrOK (with the id reached), rrBeginReached,
//     rrEndReached or rrMissing;
//   - GetApproxRecNo estimates the 1-based store position of an id, -1 outside the store;
//   - SaveToStream / LoadFromStream write and read the store's own block of a table stream, and
//     AppendLoadedRecord places the next record read from one (Position, -1 before the first,
//     lets the manager give loaded records the ids they had when saved).
// SessionID is the calling session's id, -1 on behalf of no session.
//
// Threads: RecordCount is atomic, so a table's count can be read without its lock; everything
// else runs under the table's lock (in-memory tables) or for a temporary table's one user.
#pragma once

#include <atomic>
#include <cstdint>
#include <string_view>

#include "classlib/Classes.h"
#include "foundation/TolvanArrays.h"
#include "storage/TolvanRecordBitmap.h"

namespace tolvan {

class TTolvanBaseRecordManager {
public:
  virtual ~TTolvanBaseRecordManager() = default;
  TTolvanBaseRecordManager(const TTolvanBaseRecordManager&) = delete;
  TTolvanBaseRecordManager& operator=(const TTolvanBaseRecordManager&) = delete;

  int32_t RecordSize() const noexcept { return FRecordSize; }
  int64_t RecordCount() const noexcept { return FRecordCount.load(std::memory_order_acquire); }

  virtual int64_t GetRecordCount() { return RecordCount(); }
  virtual void Clear(int32_t SessionID) = 0;
  virtual bool InsertRecord(const uint8_t* Buffer, TTolvanRecordID& RecordID,
                            int32_t SessionID) = 0;
  // Base: false.
  virtual bool UpdateRecord(const uint8_t* Buffer, const TTolvanRecordID& RecordID,
                            int32_t SessionID);
  // Base: false.
  virtual bool DeleteRecord(const TTolvanRecordID& RecordID, int32_t SessionID);
  virtual bool RecordExists(const TTolvanRecordID& RecordID, int32_t SessionID) = 0;
  virtual void GetRecord(TTolvanNavState& State) = 0;
  virtual int64_t GetApproxRecNo(const TTolvanRecordID& RecordID, int32_t SessionID) = 0;
  // Base: nothing.
  virtual void LoadFromStream(TStream& Stream);
  virtual void SaveToStream(TStream& Stream);
  virtual void AppendLoadedRecord(const uint8_t* Buffer, int32_t& Position);

protected:
  explicit TTolvanBaseRecordManager(int32_t RecordSize) noexcept : FRecordSize(RecordSize) {}

  void SetRecordCount(int64_t Value) noexcept {
    FRecordCount.store(Value, std::memory_order_release);
  }
  void AddRecordCount(int64_t Delta) noexcept {
    FRecordCount.fetch_add(Delta, std::memory_order_acq_rel);
  }

private:
  int32_t FRecordSize;
  std::atomic<int64_t> FRecordCount{0};
};

// A record store block's field that no writer produces: Code with "Invalid record store field".
[[noreturn]] void RaiseRecordStoreField(int32_t Code, std::string_view Field, int64_t Value);

} // namespace tolvan
