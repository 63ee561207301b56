// TolvanScanConditions.h: the conditions of a table search, and the comparisons a search takes
// out of its filters for the time it runs.
//
// A condition is either an expression to evaluate per record (ConditionType 0) or a key
// comparison on one index (1 equal, 2 less, 3 greater, 4 less or equal, 5 greater or equal),
// its key in record-buffer form. A search collects its conditions in a
// TTolvanScanSearchConditionArray, lets the array turn the indexable comparisons inside its
// expression conditions into key conditions (ExtractIndexConditions), scans, and gives the
// comparisons back (ReleaseExtracted) before it frees the array.
//
// While a search runs, the comparisons it took sit in a TTolvanExtractedComparisons list, which
// owns them and their key buffers and records where each stood. Giving back cannot fail and puts
// every filter back exactly as it was (root, conjuncts and their order); the list's destructor
// gives back whatever was not released yet, so every way out of a search restores the filters.
//
// Ownership: a condition borrows its key buffer and its expression; copying one shares both. The
// array owns its condition objects. The list owns the extracted comparisons and the key buffers
// the key conditions point at: those pointers die with ReleaseExtracted, so the caller clears or
// frees the array next. The expressions must outlive the list.
//
// Reuse: a search repeated once per driving row of a join must not allocate. Clearing the array
// and releasing the list keep their condition objects, entries and key blocks (the list keeps
// the blocks as spares, matched by size), so a list and an array kept between searches (the
// cursor's search buffers) serve the same searches again without taking memory.
//
// Threads: none of these takes a lock; the owner serialises access.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

namespace tolvan {

class TTolvanExpression;
class TTolvanExprNode;
class TTolvanIndexDefs;

enum TTolvanSearchConditionType : uint8_t {
  sctExpression = 0,
  sctEqual = 1,
  sctLess = 2,
  sctGreater = 3,
  sctLessOrEqual = 4,
  sctGreaterOrEqual = 5
};

// Native codes of the condition array.
inline constexpr int32_t ErrScanConditionItemNo = 10413;
inline constexpr int32_t ErrScanConditionInvalid = 10388;

class TTolvanScanSearchCondition {
public:
  uint8_t ConditionType = sctExpression;
  // A key in the index's key form (a record buffer's layout), or nil.
  const uint8_t* KeyBuffer = nullptr;
  // The leading index columns the key fills.
  int32_t KeyFieldCount = 0;
  // The index the key belongs to, or -1.
  int32_t IndexID = -1;
  TTolvanExpression* Expression = nullptr;
};

// Copies the five fields; key buffer and expression are shared, not duplicated.
inline void AssignScanSearchCondition(TTolvanScanSearchCondition& Dest,
                                      const TTolvanScanSearchCondition& Source) noexcept {
  Dest.ConditionType = Source.ConditionType;
  Dest.KeyBuffer = Source.KeyBuffer;
  Dest.KeyFieldCount = Source.KeyFieldCount;
  Dest.IndexID = Source.IndexID;
  Dest.Expression = Source.Expression;
}

// One comparison taken out of a filter to become a key condition.
struct TTolvanExtractedComparison {
  TTolvanExtractedComparison() = default;
  ~TTolvanExtractedComparison();
  TTolvanExtractedComparison(const TTolvanExtractedComparison&) = delete;
  TTolvanExtractedComparison& operator=(const TTolvanExtractedComparison&) = delete;

  // The filter it came from.
  TTolvanExpression* Expression = nullptr;
  // The comparison; owned by its filter until taken out, then by Owned.
  TTolvanExprNode* Node = nullptr;
  std::unique_ptr<TTolvanExprNode> Owned;
  // Its place among the root AND's children when taken out; -1 when it was the root.
  int32_t Position = -1;
  // The root AND that taking it out left without children.
  std::unique_ptr<TTolvanExprNode> EmptiedRoot;
  // The key of its key condition, and of the bound that keeps nulls out of a range that would
  // take them in (nil when none is needed). Engine blocks, freed with the entry. With their
  // sizes given (as TakeKeyBlock's blocks are), releasing the entry keeps them as the list's
  // spares instead.
  uint8_t* KeyBuffer = nullptr;
  uint8_t* NullBoundKey = nullptr;
  int64_t KeyBufferSize = 0;
  int64_t NullBoundKeySize = 0;
};

class TTolvanExtractedComparisons {
public:
  TTolvanExtractedComparisons() = default;
  // Gives back whatever was not released.
  ~TTolvanExtractedComparisons();
  TTolvanExtractedComparisons(const TTolvanExtractedComparisons&) = delete;
  TTolvanExtractedComparisons& operator=(const TTolvanExtractedComparisons&) = delete;

  int32_t Count() const noexcept { return FCount; }
  TTolvanExtractedComparison& Items(int32_t Index) const;
  // A fresh entry (a kept one when there is one).
  TTolvanExtractedComparison& Add();
  // Every comparison taken out goes back to its filter, the latest first, and every entry is
  // emptied: key buffers of known size become spares, the others are freed.
  void ReleaseAll() noexcept;

  // A zero-filled engine block of Size bytes: a spare of that size, else a new one.
  uint8_t* TakeKeyBlock(int64_t Size);
  // Keeps a block of TakeKeyBlock as a spare; nil is left alone. Never fails (a block that
  // cannot be kept is freed).
  void ReturnKeyBlock(uint8_t* Block, int64_t Size) noexcept;
  int32_t SpareKeyBlockCount() const noexcept { return int32_t(FSpareKeys.size()); }

  // Scratch for the candidate comparisons of one expression; taken by swapping, so a nested
  // extraction finds it empty and grows its own.
  std::vector<TTolvanExprNode*>& CandidateScratch() noexcept { return FCandidates; }

private:
  struct TSpareKey {
    uint8_t* Block;
    int64_t Size;
  };
  std::vector<std::unique_ptr<TTolvanExtractedComparison>> FItems;
  int32_t FCount = 0;
  std::vector<TSpareKey> FSpareKeys;
  std::vector<TTolvanExprNode*> FCandidates;
};

class TTolvanScanSearchConditionArray {
public:
  int32_t Count() const noexcept { return FCount; }
  // Empties the array, keeping its condition objects for the next conditions.
  void Clear() noexcept { FCount = 0; }
  // An index out of range raises EListError.
  TTolvanScanSearchCondition& Items(int32_t Index) const;

  // Index below 0 or not below Count raises 10413 "Invalid item number - ItemNo = %d, ItemCount
  // = %d".
  void Delete(int32_t Index);
  // A condition of type 0 borrowing Expression; a nil Expression raises 10388.
  void AddExpression(TTolvanExpression* Expression);
  // A copy of Condition (key and expression shared). One with neither an expression nor an
  // index raises 10388 "Invalid scan condition - indexID = %d, count = %d" and adds nothing.
  void AddCondition(const TTolvanScanSearchCondition& Condition);
  // The conditions present at the call that have an expression, in order, give their indexable
  // comparisons (TTolvanExpression::BuildScanSearchConditions): each becomes one or two key
  // conditions appended here and an entry of List. Conditions appended meanwhile are not visited.
  void ExtractIndexConditions(const TTolvanIndexDefs& IndexDefs, TTolvanExtractedComparisons& List);
  // Gives every comparison of List back to its filter (see the header comment). The key
  // conditions made from them point at freed keys afterwards.
  void ReleaseExtracted(TTolvanExtractedComparisons& List) noexcept;

private:
  // The next free condition object, made when none is kept.
  TTolvanScanSearchCondition& Append();

  // The first FCount are the conditions; the rest are kept for reuse.
  std::vector<std::unique_ptr<TTolvanScanSearchCondition>> FItems;
  int32_t FCount = 0;
};

} // namespace tolvan
