// TolvanSearch.h: the search planner: merging and pruning the conditions of one table search and
// choosing the conditions that drive an index scan.
//
// A search works through a list of conditions: key conditions (a key, a key field count and an
// index) and expression conditions. Before any record is read the planner
//   - merges the key conditions of each index pairwise (MergeConditions): two conditions whose
//     keys no record can satisfy together end the search, one that the other implies goes;
//   - removes duplicates and puts the expression conditions behind the key conditions
//     (SimplifyConditions);
//   - picks at most two key conditions of one index to drive the scan (ChooseDrivingConditions):
//     a unique equality at once, otherwise the narrowest estimated range when it is narrow
//     enough for the table's size (any size for a cursor with a probe filter), otherwise the
//     first key condition.
//
// A key condition selects the records whose index key K satisfies
// CompareRecordKeys(K, key, key field count) <op> 0. Every merge outcome but "both" replaces the
// kept condition by one that selects exactly the records satisfying both; the oracle test over
// the real B-tree comparison proves every cell of the table in MergeConditions.
//
// SearchTable runs a whole search: conditions from the call and the cursor, extraction of
// indexable comparisons, simplification, the driving choice and the scan (TolvanScans.h).
//
// The planner reaches the indexes only through TTolvanSearchIndexes, so that tests can stand in
// a fake estimate; TTolvanTableSearchIndexes answers for a table data through its index manager.
//
// Ownership: conditions borrow their keys and expressions (TolvanScanConditions.h); merging
// lets one condition take over another's key pointer, never a copy.
//
// Threads: no lock; the caller holds the table lock (in-memory tables) or is a temporary table's
// one user.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "foundation/TolvanArrays.h"
#include "foundation/TolvanMemory.h"
#include "schema/expr/TolvanScanConditions.h"

namespace tolvan {

class TTolvanTableData;
class TTolvanCursor;
class TTolvanExpression;
class TTolvanRecordBitmap;

// The list of conditions a search works through, in order.
using TTolvanSearchConditionList = std::vector<TTolvanScanSearchCondition>;

inline int32_t ConditionCount(const TTolvanSearchConditionList& List) noexcept {
  return int32_t(List.size());
}
inline TTolvanScanSearchCondition& ConditionAt(TTolvanSearchConditionList& List, int32_t I) {
  return List[size_t(I)];
}
inline const TTolvanScanSearchCondition& ConditionAt(const TTolvanSearchConditionList& List,
                                                     int32_t I) {
  return List[size_t(I)];
}

inline bool IsKeyCondition(const TTolvanScanSearchCondition& C) noexcept {
  return C.Expression == nullptr;
}

// What the planner asks of a table's indexes and records.
class TTolvanSearchIndexes {
public:
  virtual ~TTolvanSearchIndexes() = default;

  // The keys of two record buffers compared by the index over their first ColumnCount key
  // columns: -1, 0 or 1.
  virtual int32_t CompareRecordKeys(int32_t IndexID, const uint8_t* A, const uint8_t* B,
                                    int32_t ColumnCount) = 0;
  // -1 for a lower bound (greater, greater or equal), 1 for an upper bound, 0 otherwise.
  virtual int32_t ConditionDirection(const TTolvanScanSearchCondition& Condition) = 0;
  // The estimated number of records satisfying both conditions of A's index, 0 .. Total.
  virtual int64_t EstimateRangeCount(int32_t SessionID, const TTolvanScanSearchCondition& A,
                                     int64_t Total, const TTolvanScanSearchCondition& B) = 0;
  // An equality on this index finds few records without an estimate: the index is unique or
  // primary, or its first column is of an auto-increment type.
  virtual bool IsUniqueLookup(int32_t IndexID) = 0;
  virtual int64_t TotalRecordCount() = 0;
  // The record manager's estimate of the record's 1-based store position.
  virtual int64_t ApproxRecNo(int32_t SessionID, const TTolvanRecordID& RecordID) = 0;
};

// What a search needs besides the table, kept by a cursor between its searches (the cursor's
// SearchBuffers) so that repeating a search allocates nothing once the lists and buffers have
// grown: the condition lists, the planner's scratch lists and two record buffers. A search
// claims the lists and the search record, BuildResultBitmap the result record; a search nested
// in another on the same cursor (a filter callback) finds them claimed and makes its own.
class TTolvanSearchBuffers {
public:
  TTolvanSearchConditionList Conditions;
  // SimplifyConditions' scratch.
  std::vector<int32_t> IndexIDs;
  TTolvanSearchConditionList Simplified;
  // The extraction of indexable comparisons: the condition array and the taken comparisons with
  // their key blocks, cleared and released after each search keeping what they made.
  TTolvanScanSearchConditionArray Extraction;
  TTolvanExtractedComparisons Extracted;

  // A block of at least Size bytes, kept until a larger one is asked for.
  uint8_t* SearchRecord(int64_t Size) { return Grown(FSearchRecord, FSearchRecordSize, Size); }
  uint8_t* ResultRecord(int64_t Size) { return Grown(FResultRecord, FResultRecordSize, Size); }

  bool SearchInUse = false;
  bool ResultInUse = false;

private:
  static uint8_t* Grown(std::unique_ptr<uint8_t, TTolvanMemDeleter>& Block, int64_t& Have,
                        int64_t Size);

  std::unique_ptr<uint8_t, TTolvanMemDeleter> FSearchRecord;
  int64_t FSearchRecordSize = 0;
  std::unique_ptr<uint8_t, TTolvanMemDeleter> FResultRecord;
  int64_t FResultRecordSize = 0;
};

// The answers of a table data: its index manager's open indexes and its record manager.
class TTolvanTableSearchIndexes final : public TTolvanSearchIndexes {
public:
  explicit TTolvanTableSearchIndexes(TTolvanTableData& Table) noexcept : FTable(Table) {}

  int32_t CompareRecordKeys(int32_t IndexID, const uint8_t* A, const uint8_t* B,
                            int32_t ColumnCount) override;
  int32_t ConditionDirection(const TTolvanScanSearchCondition& Condition) override;
  int64_t EstimateRangeCount(int32_t SessionID, const TTolvanScanSearchCondition& A, int64_t Total,
                             const TTolvanScanSearchCondition& B) override;
  bool IsUniqueLookup(int32_t IndexID) override;
  int64_t TotalRecordCount() override;
  int64_t ApproxRecNo(int32_t SessionID, const TTolvanRecordID& RecordID) override;

private:
  TTolvanTableData& FTable;
};

// The outcome of merging two key conditions of one index.
enum TTolvanMergeOutcome : uint8_t {
  tmoNone,        // not comparable (an expression condition or a missing key): nothing changes
  tmoEmpty,       // no record satisfies both
  tmoKeepA,       // A implies B
  tmoTakeB,       // B implies A: A becomes B
  tmoShorter,     // A becomes the one of fewer key fields (A on a tie)
  tmoLonger,      // A becomes the one of more key fields (A on a tie)
  tmoEqualLonger, // as tmoLonger, then an equality
  tmoBoth         // neither implies the other; both stay
};

// The outcome for A (kept) and B (new) of one index, from their types, the sign C of comparing
// A's key with B's over the smaller key field count, and the key field counts.
TTolvanMergeOutcome MergeOutcome(uint8_t TypeA, uint8_t TypeB, int32_t C, int32_t CountA,
                                 int32_t CountB) noexcept;

// Merges B into A (both key conditions of one index). Empty is set when no record can satisfy
// both; Merged when A now stands for both, so B can go. A condition of type 0 or without key
// changes nothing.
void MergeConditions(TTolvanSearchIndexes& Indexes, TTolvanScanSearchCondition& A,
                     const TTolvanScanSearchCondition& B, bool& Empty, bool& Merged);

// Two key conditions select the same records: same index, same type (not 0), same key field
// count and keys equal over that count (or both without key).
bool SameKeyCondition(TTolvanSearchIndexes& Indexes, const TTolvanScanSearchCondition& A,
                      const TTolvanScanSearchCondition& B);

// Deletes every condition equal to another condition of the list, keeping the last of each
// group of equal ones.
void RemoveDuplicateConditions(TTolvanSearchIndexes& Indexes, TTolvanSearchConditionList& List);

// Rebuilds the list index by index in order of first appearance: key conditions merged and
// pruned, duplicates removed, then the expression conditions in list order. Returns true (and
// leaves the list as it was) when the conditions contradict each other: the search finds nothing.
// Scratch, when given, lends its IndexIDs and Simplified lists (which keep their capacity).
bool SimplifyConditions(TTolvanSearchIndexes& Indexes, TTolvanSearchConditionList& List,
                        TTolvanSearchBuffers* Scratch = nullptr);

// The positions of the driving conditions in List: First (-1 when no condition drives) and
// Second (-1 unless a range of two conditions drives). A pair is returned in scan order: First
// is the lower bound when Forward, the upper bound otherwise. CursorIndexID is -1 for a cursor
// in store order. Probing (the cursor has a probe filter) drops the "narrow enough" test, so the
// narrowest estimate drives even on a small table.
struct TTolvanDrivingConditions {
  int32_t First = -1;
  int32_t Second = -1;
};
TTolvanDrivingConditions ChooseDrivingConditions(TTolvanSearchIndexes& Indexes, int32_t SessionID,
                                                 const TTolvanSearchConditionList& List,
                                                 int32_t CursorIndexID,
                                                 const TTolvanRecordID& CurrentRecordID,
                                                 bool Forward, bool Probing = false);

// Estimate * Estimate > Threshold, without overflow.
bool SquareExceeds(int64_t Estimate, int64_t Threshold) noexcept;

// --- the search ---------------------------------------------------------------------------------

// Appends, in order: a copy of Condition; Expression; the cursor's filter, external filter and
// probe filter;
// its range start (greater, or greater or equal when inclusive) and end (less, or less or
// equal) on its index. A condition without expression and index raises 10388 and appends
// nothing.
void BuildConditions(TTolvanCursor& Cursor, TTolvanSearchConditionList& List,
                     const TTolvanScanSearchCondition* Condition, TTolvanExpression* Expression);

// Looks for the records the cursor sees that also satisfy Expression and Condition: from the
// first record in the cursor's order (the last when not Forward) or after (before) the current
// one. With a result set every such record is added and the answer is false; otherwise the
// answer says whether one was found, and Found (when given) takes its id. First match only takes
// any matching record. Records are read into a buffer of the search's own.
//
// An expression comparing a column for equality with a constant too long for it matches nothing:
// the search answers false before anything is extracted. The indexable comparisons of the
// expressions are taken out as key conditions for the search's time and given back, and the
// expressions unbound from the search's buffer, on every way out.
bool SearchTable(TTolvanTableData& Table, TTolvanCursor& Cursor, TTolvanExpression* Expression,
                 const TTolvanScanSearchCondition* Condition, bool FromBeginning, bool Forward,
                 TTolvanRecordID* Found, TTolvanRecordBitmap* ResultSet, bool FirstMatchOnly);

// Fills the cursor's result set for its filter and range; an empty table leaves it unfilled.
// The cursor's position and record buffer are as they were afterwards, also on failure.
void BuildResultBitmap(TTolvanTableData& Table, TTolvanCursor& Cursor);

} // namespace tolvan
