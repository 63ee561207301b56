// TolvanBTreePage.h: a B-tree page's layout and the view that reads and changes it in place, the
// key path that names one leaf entry by its way from the root, and the per-session cache of the
// last key path.
//
// B-tree page, little-endian, over the page's bytes from offset 0:
//
//   offset  width         field            meaning
//   0       1             IsRoot           1 for the root page, else 0
//   1       1             IsLeaf           1 for a leaf, 0 for an inner node
//   2       4             PrevPageNo       previous page on the same level, -1 for none
//   6       4             NextPageNo       next page on the same level, -1 for none
//   10      1             reserved         1 in every page of a tree
//   11      1             HasExtraData     0; otherwise every entry carries 6 more bytes
//   12      2             KeySize          UInt16, the index's key size
//   14      2             EntryCount       UInt16 n
//   16      2             HeaderExtraSize  UInt16 0; entries start at 18 + this
//   18      n x ES        entries          entry i at HeaderSize + i x EntrySize
//
// A leaf entry is a key followed by the record's 6-byte id (Int32 PageNo, UInt16 PageItemNo); a
// node entry is a key followed by the Int32 number of a child page. Entries are in ascending key
// order; equal keys may repeat. A node's entry 0 key is never compared: searches in a node start
// at entry 1, and entry i > 0 is not above any key below child i and not below any key below
// child i - 1. The pages of one level are chained in key order across parents. Bytes past the
// last entry are zero.
//
// A view (TTolvanBTreePage) is a stack value that holds one fetched page: it releases the page
// when it goes, on every way out, without throwing. It reads and writes the page's bytes in place
// and marks the page dirty only when told to. Two stateless controllers, one for leaves and one
// for nodes, carry the tree algorithms (TolvanBTreeControllers.h); a view hands an operation to
// the one its IsLeaf byte names.
//
// A key path is a fixed array of 32 levels, so copying and comparing paths allocates nothing.
//
// Ownership: a view holds its page from the page manager, never owns it; the key layout is
// borrowed. The cache owns its paths.
//
// Threads: none of their own; the table lock serialises every use.
#pragma once

#include <cstdint>
#include <vector>

#include "classlib/ByteOrder.h"
#include "foundation/TolvanArrays.h"
#include "storage/TolvanIndexManager.h"
#include "storage/TolvanPage.h"
#include "storage/btree/TolvanBTreeKey.h"

namespace tolvan {

class TTolvanPageManager;
class TTolvanBTreePageController;

inline constexpr int32_t BTreeHeaderSize = 18;
inline constexpr int32_t BTreeNodeDataSize = 4;
inline constexpr int32_t BTreeExtraDataSize = 6;
// The deepest tree the engine supports.
inline constexpr int32_t MaxKeyPathLevels = 32;

enum TTolvanBTreeSearchMode : uint8_t { bsmLeftmost = 0, bsmRightmost = 1, bsmAny = 2 };
enum TTolvanBTreeSearchStatus : uint8_t { bssFound, bssNotFound, bssEmpty };

struct TTolvanBTreeSearch {
  int32_t Position;
  TTolvanBTreeSearchStatus Status;
  bool Found() const noexcept { return Status == bssFound; }
};

class TTolvanBTreePage {
public:
  TTolvanBTreePage() noexcept = default;
  // A view of Page, which Manager lent and which the view releases.
  TTolvanBTreePage(TTolvanPageManager& Manager, TTolvanPage* Page,
                   const TTolvanBTreeKeyRef& KeyRef) noexcept
      : FManager(&Manager), FPage(Page), FKeyRef(&KeyRef) {}
  ~TTolvanBTreePage() { Release(); }
  TTolvanBTreePage(TTolvanBTreePage&& Other) noexcept {
    *this = static_cast<TTolvanBTreePage&&>(Other);
  }
  TTolvanBTreePage& operator=(TTolvanBTreePage&& Other) noexcept;
  TTolvanBTreePage(const TTolvanBTreePage&) = delete;
  TTolvanBTreePage& operator=(const TTolvanBTreePage&) = delete;

  bool Assigned() const noexcept { return FPage != nullptr; }
  // Gives the page back now; the view is empty afterwards. Never throws: a page fetched once is
  // released once.
  void Release() noexcept;

  TTolvanPage* Page() const noexcept { return FPage; }
  int32_t PageNo() const noexcept { return FPage->PageNo(); }
  uint8_t* Buffer() const noexcept { return FPage->Buffer(); }
  int32_t PageSize() const noexcept { return FPage->PageSize(); }
  const TTolvanBTreeKeyRef& KeyRef() const noexcept { return *FKeyRef; }
  void SetDirty() noexcept { FPage->SetDirty(true); }
  // The controller of the page's kind.
  const TTolvanBTreePageController& Controller() const noexcept;

  // --- Header ---------------------------------------------------------------------------------
  bool IsRoot() const noexcept { return Buffer()[0] != 0; }
  void SetIsRoot(bool Value) noexcept { Buffer()[0] = Value ? 1 : 0; }
  bool IsLeaf() const noexcept { return Buffer()[1] != 0; }
  void SetIsLeaf(bool Value) noexcept { Buffer()[1] = Value ? 1 : 0; }
  int32_t PrevPageNo() const noexcept { return LoadLE<int32_t>(Buffer() + 2); }
  void SetPrevPageNo(int32_t Value) noexcept { StoreLE<int32_t>(Buffer() + 2, Value); }
  int32_t NextPageNo() const noexcept { return LoadLE<int32_t>(Buffer() + 6); }
  void SetNextPageNo(int32_t Value) noexcept { StoreLE<int32_t>(Buffer() + 6, Value); }
  uint8_t Reserved() const noexcept { return Buffer()[10]; }
  void SetReserved(uint8_t Value) noexcept { Buffer()[10] = Value; }
  bool HasExtraData() const noexcept { return Buffer()[11] != 0; }
  void SetHasExtraData(bool Value) noexcept { Buffer()[11] = Value ? 1 : 0; }
  int32_t KeySize() const noexcept { return LoadLE<uint16_t>(Buffer() + 12); }
  // A size beyond 16 bits raises ERangeError.
  void SetKeySize(int32_t Value);
  int32_t EntryCount() const noexcept { return LoadLE<uint16_t>(Buffer() + 14); }
  // A count beyond 16 bits raises ERangeError.
  void SetEntryCount(int32_t Value);
  int32_t HeaderExtraSize() const noexcept { return LoadLE<uint16_t>(Buffer() + 16); }
  void SetHeaderExtraSize(int32_t Value);

  int32_t DataSize() const noexcept {
    return IsLeaf() ? FKeyRef->LeafDataSize() : BTreeNodeDataSize;
  }
  int32_t EntrySize() const noexcept {
    return KeySize() + DataSize() + (HasExtraData() ? BTreeExtraDataSize : 0);
  }
  int32_t HeaderSize() const noexcept { return BTreeHeaderSize + HeaderExtraSize(); }

  // --- Entries --------------------------------------------------------------------------------
  uint8_t* EntryPtr(int32_t I) const noexcept {
    return Buffer() + HeaderSize() + int64_t(I) * EntrySize();
  }
  uint8_t* DataPtr(int32_t I) const noexcept { return EntryPtr(I) + KeySize(); }
  int32_t ChildAt(int32_t I) const noexcept { return LoadLE<int32_t>(DataPtr(I)); }
  TTolvanRecordID RecordIDAt(int32_t I) const noexcept;
  // Copies KeySize bytes into entry I's key; Key may lie in this page.
  void SetKeyAt(int32_t I, const uint8_t* Key) noexcept;

  // The header checks every fetched page passes, so that no entry read leaves the page: the key
  // size of the layout, IsLeaf 0 or 1, no extra data or header bytes, and n x ES + H <= the page.
  bool HeaderIsSound() const noexcept;

  // IsRoot 0, IsLeaf 0, links -1, reserved 0, HasExtraData 0, KeySize 0, EntryCount 0.
  void ClearHeader() noexcept;
  // An empty root leaf of the layout's key size; the rest of the page zero.
  void InitRoot();
  // This page takes Source's header and Source's entries First .. First + N - 1; EntryCount N.
  void CopyEntriesFrom(const TTolvanBTreePage& Source, int32_t First, int32_t N) noexcept;
  // Source's entries First .. First + N - 1 go behind this page's last entry.
  void AppendEntries(const TTolvanBTreePage& Source, int32_t First, int32_t N) noexcept;
  // This page's entries move up by N; Source's entries First .. First + N - 1 go in front.
  void PrependEntries(const TTolvanBTreePage& Source, int32_t First, int32_t N) noexcept;

  // --- Sizes ----------------------------------------------------------------------------------
  // Entries of this page's kind a page of this size holds.
  int32_t Capacity() const noexcept { return (PageSize() - HeaderSize()) / EntrySize(); }
  bool HasRoomForOne() const noexcept { return EntryCount() < Capacity(); }
  bool IsOverflowing() const noexcept { return EntryCount() > Capacity(); }
  // With Count entries a non-root page is under half full.
  bool IsUnderflowingAt(int32_t Count) const noexcept {
    return !IsRoot() && int64_t(Count) * EntrySize() < (PageSize() - HeaderSize()) / 2;
  }
  bool IsUnderflowing() const noexcept { return IsUnderflowingAt(EntryCount()); }
  // Count entries of this page and Sibling's together fit strictly inside a page.
  bool CanMergeWith(const TTolvanBTreePage& Sibling, int32_t Count) const noexcept {
    return int64_t(Count + Sibling.EntryCount()) * Sibling.EntrySize() + Sibling.HeaderSize() <
           Sibling.PageSize();
  }
  // Makes the page's buffer private and one entry larger than a page, so that one entry more
  // than fits can wait for the split. May raise for memory; the bytes stay as they were.
  void GrowByOneEntry();

  // --- Search and change ----------------------------------------------------------------------
  // Binary search for Key from entry Low on: the leftmost, rightmost or first-met equal entry,
  // else the place Key would go.
  TTolvanBTreeSearch BinarySearch(const uint8_t* Key, int32_t Low,
                                  TTolvanBTreeSearchMode Mode) const noexcept;
  // Entry Position becomes (Key, Data); a nil Key leaves a zero key. The buffer holds the entry:
  // a full page was grown first.
  void InsertEntryAt(const uint8_t* Key, const void* Data, int32_t Position) noexcept;
  // An empty page raises 20025.
  void DeleteEntryAt(int32_t Position);

private:
  TTolvanPageManager* FManager = nullptr;
  TTolvanPage* FPage = nullptr;
  const TTolvanBTreeKeyRef* FKeyRef = nullptr;
};

// --- Key paths ----------------------------------------------------------------------------------

struct TTolvanKeyPathLevel {
  int32_t PageNo;
  int32_t EntryNo;    // the entry taken in that page
  int32_t EntryCount; // entries in that page when the level was recorded
};

class TTolvanKeyPath : public TTolvanIndexKeyPath {
public:
  TTolvanKeyPath() noexcept = default;
  TTolvanKeyPath(const TTolvanKeyPath& Other) noexcept : TTolvanIndexKeyPath() { Assign(Other); }
  TTolvanKeyPath& operator=(const TTolvanKeyPath& Other) noexcept {
    Assign(Other);
    return *this;
  }

  int32_t Count() const noexcept { return FCount; }
  // The level AddLevel writes next; Count except while a split or merge works on a parent.
  int32_t ItemNo() const noexcept { return FItemNo; }
  const TTolvanKeyPathLevel& Levels(int32_t I) const noexcept { return FLevels[I]; }
  TTolvanKeyPathLevel& Levels(int32_t I) noexcept { return FLevels[I]; }
  const TTolvanKeyPathLevel& Last() const noexcept { return FLevels[FCount - 1]; }
  TTolvanKeyPathLevel& Last() noexcept { return FLevels[FCount - 1]; }

  void Clear() noexcept { FCount = FItemNo = 0; }
  // Writes level ItemNo; an ItemNo outside 0 .. 31 raises 11660.
  void AddLevel(int32_t PageNo, int32_t EntryNo, int32_t EntryCount);
  void RemoveLastLevel() noexcept {
    if (FCount > 0) {
      --FCount;
      --FItemNo;
    }
  }
  void LevelUp() noexcept { --FItemNo; }
  void LevelDown() noexcept { ++FItemNo; }
  int32_t CurrentPageNo() const noexcept { return FLevels[FItemNo].PageNo; }
  bool ContainsPage(int32_t PageNo) const noexcept;
  void Assign(const TTolvanKeyPath& Other) noexcept;
  // The entry's fractional rank in the index, in [0, 1): for the i-th of n equal leaves'
  // entries this is its rank among all entries.
  double ApproxPosition() const noexcept;

private:
  TTolvanKeyPathLevel FLevels[MaxKeyPathLevels];
  int32_t FCount = 0;
  int32_t FItemNo = 0;
};

// Index order of two paths into the same tree of the same shape: they must have the same depth
// (else 20051) and pass through the same page at every level down to and including the first
// level whose entries differ (else 20052); that level decides. -1, 0 or 1.
int CompareKeyPaths(const TTolvanKeyPath& A, const TTolvanKeyPath& B);

// Each session's last key path through one index: the record GetRecord reached last and the way
// to its leaf entry, so that the next move continues from there.
class TTolvanKeyPathCache {
public:
  // The session's cached path into Path when it names RecordID and Reset is False; otherwise an
  // empty Path (the cached path is cleared). A session met for the first time gets an entry.
  void GetPath(int32_t SessionID, const TTolvanRecordID& RecordID, bool Reset,
               TTolvanKeyPath& Path);
  // The session's entry takes RecordID and Path; a session without entry raises 11630.
  void StorePath(int32_t SessionID, const TTolvanRecordID& RecordID, const TTolvanKeyPath& Path);
  // Forgets the session's entry; -1 forgets every entry.
  void RemoveSession(int32_t SessionID) noexcept;
  int32_t Count() const noexcept { return int32_t(FEntries.size()); }

private:
  struct TEntry {
    int32_t SessionID;
    TTolvanRecordID RecordID;
    TTolvanKeyPath Path;
  };
  TEntry* Find(int32_t SessionID) noexcept;

  std::vector<TEntry> FEntries; // in order of creation, one per session
};

} // namespace tolvan
