// TolvanPage.h: a page of a table's index store, and the base of the views over its bytes.
//
// A page is a fixed-size block of bytes (4096 in both stores) with a number in its store; pages
// hold B-tree nodes. TTolvanPage is the object through which a page manager lends a page to its
// user. Its buffer is either borrowed from the store (changes go straight into the store's
// block) or private (owned by the page, written back when the manager commits it).
// MakeWritable turns a borrowed buffer into a private copy, or grows a private one, so that the
// B-tree can hold one entry more than a page holds until it splits; only the first PageSize bytes
// ever reach the store.
//
// Ownership: the page manager creates, recycles and frees every page object. A user holds a page
// from NewPage / GetPage to ReleasePage and never frees it. A page frees its buffer only when it
// owns it. A controller wraps a page it does not own.
//
// Threads: none of its own; the manager's caller serialises all use of a manager's pages.
#pragma once

#include <cstdint>

namespace tolvan {

class TTolvanPageManager;
class TTolvanPageList;

// The header written into every freshly allocated private buffer; a B-tree page writes its own
// header over it.
//
//   offset  width  value
//   0       4      "ACSP" (41 43 53 50)
//   4       4      Int32 0
//   8       2      Int16 0
//   10      4      Int32 -1
//   14      4      Int32 0
//   18      4      four bytes 0
//   22      4      Int32 page type, -1
//   26      4      Int32 -1
//   30      2      Int16 0
struct TTolvanPageHeader {
  static constexpr int32_t Size = 32;
  static constexpr uint8_t Magic[4] = {0x41, 0x43, 0x53, 0x50};
  static constexpr int32_t PageTypeOffset = 22;

  // Writes the header at Buffer, which has at least Size bytes.
  static void Write(void* Buffer) noexcept;
};

// The kind every page has; handed to the manager's IsPageOutdated.
inline constexpr uint8_t PageKindIndex = 2;

class TTolvanPage {
public:
  // A page of Manager's page size with no number (-1) and no buffer. Pages come from the manager;
  // creating one directly is for tests of the page alone.
  explicit TTolvanPage(TTolvanPageManager& Manager);
  ~TTolvanPage();
  TTolvanPage(const TTolvanPage&) = delete;
  TTolvanPage& operator=(const TTolvanPage&) = delete;

  TTolvanPageManager& Manager() const noexcept { return *FManager; }
  int32_t PageNo() const noexcept { return FPageNo; }
  // Renumbers a page that no manager list holds (a store numbering the page it allocates). A page
  // a list holds keeps its number: that raises 20064.
  void SetPageNo(int32_t Value);
  // The page's bytes: nil, a store's block (borrowed) or a private block (owned).
  uint8_t* Buffer() const noexcept { return FBuffer; }
  // Bytes in Buffer: PageSize, or more after MakeWritable grew a private buffer; 0 when nil.
  int32_t BufferSize() const noexcept { return FBufferSize; }
  bool OwnsBuffer() const noexcept { return FOwnsBuffer; }
  bool Dirty() const noexcept { return FDirty; }
  // Marking a page that borrows a store block dirty records that the store itself was changed.
  void SetDirty(bool Value) noexcept {
    FDirty = Value;
    if (Value && !FOwnsBuffer && FBuffer)
      FChangedInPlace = true;
  }
  // Since its last commit the page's changes went (partly) straight into a store block, so
  // dropping the page object would not undo them.
  bool ChangedInPlace() const noexcept { return FChangedInPlace; }
  int32_t UseCount() const noexcept { return FUseCount; }
  // The manager's list that holds the page: its cache, one session's dirty pages, or the list of
  // pages removed while held; nil for a page in none.
  const TTolvanPageList* OwnerList() const noexcept { return FOwnerList; }
  // The page's number was removed while the page was held; it is freed at its last release.
  bool Removed() const noexcept { return FRemoved; }
  int32_t SessionID() const noexcept { return FSessionID; }
  int32_t VersionStamp() const noexcept { return FVersionStamp; }
  int32_t PageSize() const noexcept { return FPageSize; }
  uint8_t Kind() const noexcept { return FKind; }

  // Writes the generic header at the start of Buffer; a nil buffer raises 20038.
  void InitHeader();
  // Replaces the buffer by a new private one of PageSize bytes, zero-filled, with the generic
  // header. A buffer the page owned is freed; on failure the page keeps the one it had.
  void AllocBuffer();
  // Gives an owned buffer back to the memory manager and leaves Buffer nil; a borrowed buffer is
  // only let go.
  void FreeBuffer() noexcept;
  // Borrows Block, a store's PageSize bytes; a buffer the page owned is freed first.
  void BorrowBuffer(uint8_t* Block) noexcept;

  // Copy-on-write. A nil buffer raises 20038, a size below PageSize 20039. An owned buffer is
  // resized (bytes kept, growth zero); a borrowed one is replaced by a private copy of its first
  // PageSize bytes, the rest zero, and the store's block is left as it was (a dirty page has
  // then changed the store in place). A failure leaves the page as it was.
  void MakeWritable(int32_t NewSize);

  // Re-reads the page from the store when the manager says its version stamp is outdated.
  void Revalidate();

private:
  friend class TTolvanPageManager;
  friend class TTolvanPageList;

  TTolvanPageManager* FManager;
  int32_t FPageNo = -1;
  uint8_t* FBuffer = nullptr;
  int32_t FBufferSize = 0;
  bool FOwnsBuffer = true;
  bool FDirty = false;
  bool FRemoved = false;
  bool FChangedInPlace = false;
  uint8_t FKind = PageKindIndex;
  int32_t FUseCount = 0;
  TTolvanPageList* FOwnerList = nullptr;
  int32_t FSessionID = 0;
  int32_t FVersionStamp = 0;
  int32_t FPageSize;
  // Links of the owning list, in its order (the manager's spare objects use FNext too).
  TTolvanPage* FPrev = nullptr;
  TTolvanPage* FNext = nullptr;
};

// The base of the views that read and write a page's bytes. Freeing a controller never frees its
// page.
class TTolvanPageController {
public:
  explicit TTolvanPageController(TTolvanPage* Page) noexcept : FPage(Page) {}
  virtual ~TTolvanPageController() = default;
  TTolvanPageController(const TTolvanPageController&) = delete;
  TTolvanPageController& operator=(const TTolvanPageController&) = delete;

  TTolvanPage* Page() const noexcept { return FPage; }
  int32_t PageNo() const noexcept { return FPage->PageNo(); }
  void SetPageNo(int32_t Value) { FPage->SetPageNo(Value); }
  int32_t PageSize() const noexcept { return FPage->PageSize(); }
  uint8_t* Buffer() const noexcept { return FPage->Buffer(); }
  void SetDirty(bool Flag) noexcept { FPage->SetDirty(Flag); }
  void MakeWritable(int32_t NewSize) { FPage->MakeWritable(NewSize); }

private:
  TTolvanPage* FPage;
};

} // namespace tolvan
