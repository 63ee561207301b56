// TolvanScans.h: the four scans of a table search and the record tests they share.
//
// After the planner (TolvanSearch.h) has chosen the driving conditions, one scan walks the
// candidate records, tests the remaining conditions on each and either fills a result set or
// finds the next matching record in the cursor's order:
//   - full scan: no condition drives; records come in the cursor's order (store order without
//     a cursor index) and each is tested;
//   - index-order scan: the driving index is the cursor's own; the range is walked in the
//     scan's direction and a record is read only when a condition besides the driving ones
//     (or the filter callback) needs it;
//   - store-order scan: the cursor has no index; every candidate of the driving range is
//     visited once and the nearest in store order after the current record kept;
//   - reordered scan: the cursor's index differs from the driving one; every candidate is
//     placed in the cursor's index by its key path and the nearest kept.
// With a result set every passing record is added and the scan answers false; a result set of
// the store-order and reordered scans is put in the cursor's order at the end unless the cursor
// keeps the scan order (a join input).
//
// Records are read into the request's own record buffer, so nested searches (a filter callback
// searching the same table) do not overwrite each other's record. Key paths and scan states are
// freed on every way out.
//
// Threads: no lock; the search runs under the table lock of an in-memory table or for a
// temporary table's one user.
#pragma once

#include <cstdint>
#include <functional>

#include "storage/TolvanSearch.h"

namespace tolvan {

class TTolvanRecordBitmap;
class TTolvanTableData;
class TTolvanExpression;
struct TTolvanNavState;

// Native codes of the reordered scan ("Cannot find record position in index %d, RecordID = %d
// %d").
inline constexpr int32_t ErrScanCurrentUnreadable = 10387;
inline constexpr int32_t ErrScanCurrentMoved = 10415;
inline constexpr int32_t ErrScanCurrentNotInIndex = 10386;
inline constexpr int32_t ErrScanCandidateNotInIndex = 10432;
inline constexpr int32_t ErrScanResultNotInIndex = 11331;
// LoadRecord without record manager, index manager or buffer ("Nil pointer occured").
inline constexpr int32_t ErrLoadRecordNoRecordManager = 10015;
inline constexpr int32_t ErrLoadRecordNoIndexManager = 10380;
inline constexpr int32_t ErrLoadRecordNoBuffer = 10016;

// What a scan asks besides the conditions. An expression condition is evaluated with the
// record bound to it; one whose every conjunct went into key conditions is empty and holds.
struct TTolvanScanHooks {
  // The cursor's filter callback; nil for none.
  const std::function<bool(uint8_t*)>* FilterRecord = nullptr;
};

struct TTolvanScanRequest {
  int32_t SessionID = -1;
  const TTolvanSearchConditionList* Conditions = nullptr;
  TTolvanDrivingConditions Driving;
  // The cursor's index, -1 for store order.
  int32_t CursorIndexID = -1;
  TTolvanRecordID CurrentRecordID{-1, 0};
  bool Forward = true;
  bool FromBeginning = true;
  // Any matching record answers, wherever it stands in the cursor's order.
  bool FirstMatchOnly = false;
  bool KeepScanOrder = false;
  TTolvanRecordBitmap* ResultSet = nullptr;
  // The search's record buffer: RecordSize bytes and the trailer.
  uint8_t* Record = nullptr;
  TTolvanScanHooks Hooks;
};

// Reads a record for the request: a next or prior move of a request naming an index follows the
// index (the index manager), everything else the store (the record manager).
void LoadRecord(TTolvanTableData& Table, int32_t SessionID, TTolvanNavState& State);

// Whether the record's key satisfies the key condition; a condition without key satisfies every
// record, one of no key type none.
bool KeyConditionHolds(TTolvanSearchIndexes& Indexes, const TTolvanScanSearchCondition& Condition,
                       const uint8_t* Record);

// Whether a record must be read to decide: some condition besides the driving ones is a key
// condition or an expression with something left in it, or a filter callback is set.
bool NeedsRecordCheck(const TTolvanScanRequest& Request);

// Every condition besides the driving ones holds for the request's record, and then the filter
// callback accepts it.
bool RecordPasses(TTolvanSearchIndexes& Indexes, const TTolvanScanRequest& Request,
                  const TTolvanDrivingConditions& Driving);

bool FullScan(TTolvanTableData& Table, TTolvanSearchIndexes& Indexes,
              const TTolvanScanRequest& Request, TTolvanRecordID* Found);
bool IndexOrderScan(TTolvanTableData& Table, TTolvanSearchIndexes& Indexes,
                    const TTolvanScanRequest& Request, TTolvanRecordID* Found);
bool StoreOrderScan(TTolvanTableData& Table, TTolvanSearchIndexes& Indexes,
                    const TTolvanScanRequest& Request, TTolvanRecordID* Found);
bool ReorderedScan(TTolvanTableData& Table, TTolvanSearchIndexes& Indexes,
                   const TTolvanScanRequest& Request, TTolvanRecordID* Found);

// The scan the driving conditions call for: none drives: full; no cursor index: store order;
// the cursor's index drives: index order; otherwise reordered. A driving position outside the
// conditions raises 10382.
bool RunScan(TTolvanTableData& Table, TTolvanSearchIndexes& Indexes,
             const TTolvanScanRequest& Request, TTolvanRecordID* Found);

} // namespace tolvan
