#include "storage/btree/TolvanBTreePage.h"

#include <algorithm>

#include "classlib/SysUtils.h"
#include "foundation/TolvanExcept.h"
#include "foundation/TolvanMessages.h"
#include "storage/TolvanPageManager.h"
#include "storage/btree/TolvanBTreeControllers.h"

namespace tolvan {

namespace {

constexpr int32_t ErrPageIsEmpty = 20025;
constexpr int32_t ErrKeyPathDepth = 20051;
constexpr int32_t ErrKeyPathPages = 20052;
constexpr int32_t ErrKeyPathItemNo = 11660;
constexpr int32_t ErrKeyPathNotCached = 11630;

[[noreturn]] void RaiseRange() { throw ERangeError(std::string(SysConst::SRangeError)); }

} // namespace

// --- TTolvanBTreePage ---------------------------------------------------------------------------

TTolvanBTreePage& TTolvanBTreePage::operator=(TTolvanBTreePage&& Other) noexcept {
  if (this != &Other) {
    Release();
    FManager = Other.FManager;
    FPage = Other.FPage;
    FKeyRef = Other.FKeyRef;
    Other.FPage = nullptr;
  }
  return *this;
}

void TTolvanBTreePage::Release() noexcept {
  if (!FPage)
    return;
  TTolvanPage* Page = FPage;
  FPage = nullptr;
  try {
    FManager->ReleasePage(Page);
  } catch (...) {
    // Only a page that was never fetched, or released twice, is refused; a view does neither.
  }
}

const TTolvanBTreePageController& TTolvanBTreePage::Controller() const noexcept {
  return IsLeaf() ? static_cast<const TTolvanBTreePageController&>(BTreeLeafController)
                  : static_cast<const TTolvanBTreePageController&>(BTreeNodeController);
}

void TTolvanBTreePage::SetKeySize(int32_t Value) {
  if (Value < 0 || Value > UINT16_MAX)
    RaiseRange();
  StoreLE<uint16_t>(Buffer() + 12, uint16_t(Value));
}

void TTolvanBTreePage::SetEntryCount(int32_t Value) {
  if (Value < 0 || Value > UINT16_MAX)
    RaiseRange();
  StoreLE<uint16_t>(Buffer() + 14, uint16_t(Value));
}

void TTolvanBTreePage::SetHeaderExtraSize(int32_t Value) {
  if (Value < 0 || Value > UINT16_MAX)
    RaiseRange();
  StoreLE<uint16_t>(Buffer() + 16, uint16_t(Value));
}

TTolvanRecordID TTolvanBTreePage::RecordIDAt(int32_t I) const noexcept {
  const uint8_t* D = DataPtr(I);
  return TTolvanRecordID{LoadLE<int32_t>(D), LoadLE<uint16_t>(D + 4)};
}

void TTolvanBTreePage::SetKeyAt(int32_t I, const uint8_t* Key) noexcept {
  std::memmove(EntryPtr(I), Key, size_t(KeySize()));
}

bool TTolvanBTreePage::HeaderIsSound() const noexcept {
  const uint8_t* B = Buffer();
  if (!B || FPage->BufferSize() < PageSize() || PageSize() < BTreeHeaderSize)
    return false;
  if (B[0] > 1 || B[1] > 1 || B[11] != 0 || HeaderExtraSize() != 0 ||
      KeySize() != FKeyRef->KeySize())
    return false;
  return int64_t(EntryCount()) * EntrySize() + HeaderSize() <= PageSize();
}

void TTolvanBTreePage::ClearHeader() noexcept {
  uint8_t* B = Buffer();
  std::memset(B, 0, BTreeHeaderSize);
  SetPrevPageNo(-1);
  SetNextPageNo(-1);
}

void TTolvanBTreePage::InitRoot() {
  if (FKeyRef->KeySize() > UINT16_MAX)
    RaiseRange();
  std::memset(Buffer(), 0, size_t(PageSize()));
  ClearHeader();
  SetIsRoot(true);
  SetIsLeaf(true);
  SetReserved(1);
  SetKeySize(FKeyRef->KeySize());
}

void TTolvanBTreePage::CopyEntriesFrom(const TTolvanBTreePage& Source, int32_t First,
                                       int32_t N) noexcept {
  const int32_t H = Source.HeaderSize();
  const int32_t ES = Source.EntrySize();
  std::memcpy(Buffer(), Source.Buffer(), size_t(H));
  std::memcpy(Buffer() + H, Source.EntryPtr(First), size_t(N) * size_t(ES));
  const size_t Used = size_t(H) + size_t(N) * size_t(ES);
  std::memset(Buffer() + Used, 0, size_t(PageSize()) - Used);
  StoreLE<uint16_t>(Buffer() + 14, uint16_t(N));
}

void TTolvanBTreePage::AppendEntries(const TTolvanBTreePage& Source, int32_t First,
                                     int32_t N) noexcept {
  const int32_t Count = EntryCount();
  std::memcpy(EntryPtr(Count), Source.EntryPtr(First), size_t(N) * size_t(EntrySize()));
  StoreLE<uint16_t>(Buffer() + 14, uint16_t(Count + N));
}

void TTolvanBTreePage::PrependEntries(const TTolvanBTreePage& Source, int32_t First,
                                      int32_t N) noexcept {
  const int32_t Count = EntryCount();
  const size_t ES = size_t(EntrySize());
  std::memmove(EntryPtr(N), EntryPtr(0), size_t(Count) * ES);
  std::memcpy(EntryPtr(0), Source.EntryPtr(First), size_t(N) * ES);
  StoreLE<uint16_t>(Buffer() + 14, uint16_t(Count + N));
}

void TTolvanBTreePage::GrowByOneEntry() {
  const int32_t Want = PageSize() + EntrySize();
  if (!FPage->OwnsBuffer() || FPage->BufferSize() < Want)
    FPage->MakeWritable(Want);
}

TTolvanBTreeSearch TTolvanBTreePage::BinarySearch(const uint8_t* Key, int32_t Low,
                                                  TTolvanBTreeSearchMode Mode) const noexcept {
  const int32_t N = EntryCount();
  if (N == 0)
    return {0, bssEmpty};
  const TTolvanBTreeKeyRef& K = *FKeyRef;
  const uint8_t* Base = Buffer() + HeaderSize();
  const int32_t ES = EntrySize();
  auto At = [&](int32_t I) { return Base + int64_t(I) * ES; };
  int32_t Lo = Low, Hi = N - 1;
  if (Mode == bsmAny) {
    while (Lo <= Hi) {
      const int32_t Mid = (Lo + Hi) / 2;
      const int C = K.CompareKeys(Key, At(Mid));
      if (C < 0)
        Hi = Mid - 1;
      else if (C > 0)
        Lo = Mid + 1;
      else
        return {Mid, bssFound};
    }
    return {Lo, bssNotFound};
  }
  // The leftmost (rightmost) equal entry is the one a search that meets an equal entry and walks
  // left (right) over the run would reach; bounding the run by halving finds it without the walk.
  if (Mode == bsmLeftmost) {
    while (Lo <= Hi) { // first entry not below Key
      const int32_t Mid = (Lo + Hi) / 2;
      if (K.CompareKeys(At(Mid), Key) < 0)
        Lo = Mid + 1;
      else
        Hi = Mid - 1;
    }
    if (Lo < N && K.CompareKeys(Key, At(Lo)) == 0)
      return {Lo, bssFound};
    return {Lo, bssNotFound};
  }
  while (Lo <= Hi) { // first entry above Key
    const int32_t Mid = (Lo + Hi) / 2;
    if (K.CompareKeys(At(Mid), Key) <= 0)
      Lo = Mid + 1;
    else
      Hi = Mid - 1;
  }
  if (Lo - 1 >= Low && K.CompareKeys(Key, At(Lo - 1)) == 0)
    return {Lo - 1, bssFound};
  return {Lo, bssNotFound};
}

void TTolvanBTreePage::InsertEntryAt(const uint8_t* Key, const void* Data,
                                     int32_t Position) noexcept {
  const int32_t N = EntryCount();
  const int32_t ES = EntrySize();
  uint8_t* P = EntryPtr(Position);
  std::memmove(P + ES, P, size_t(N - Position) * size_t(ES));
  if (Key)
    std::memcpy(P, Key, size_t(KeySize()));
  else
    std::memset(P, 0, size_t(KeySize()));
  std::memcpy(P + KeySize(), Data, size_t(DataSize()));
  std::memset(P + KeySize() + DataSize(), 0, size_t(ES - KeySize() - DataSize()));
  StoreLE<uint16_t>(Buffer() + 14, uint16_t(N + 1));
}

void TTolvanBTreePage::DeleteEntryAt(int32_t Position) {
  const int32_t N = EntryCount();
  if (N < 1)
    throw ETolvanException::Create(ErrPageIsEmpty, SIndexPageIsEmpty);
  const int32_t ES = EntrySize();
  uint8_t* P = EntryPtr(Position);
  std::memmove(P, P + ES, size_t(N - Position - 1) * size_t(ES));
  std::memset(EntryPtr(N - 1), 0, size_t(ES));
  StoreLE<uint16_t>(Buffer() + 14, uint16_t(N - 1));
}

// --- TTolvanKeyPath -----------------------------------------------------------------------------

void TTolvanKeyPath::AddLevel(int32_t PageNo, int32_t EntryNo, int32_t EntryCount) {
  if (FItemNo < 0 || FItemNo >= MaxKeyPathLevels)
    throw ETolvanException::CreateFmt(ErrKeyPathItemNo, SIndexKeyPathInvalidItemNo, FItemNo, PageNo,
                                      EntryNo, EntryCount);
  FLevels[FItemNo] = {PageNo, EntryNo, EntryCount};
  ++FItemNo;
  ++FCount;
}

bool TTolvanKeyPath::ContainsPage(int32_t PageNo) const noexcept {
  for (int32_t I = 0; I < FCount; ++I)
    if (FLevels[I].PageNo == PageNo)
      return true;
  return false;
}

void TTolvanKeyPath::Assign(const TTolvanKeyPath& Other) noexcept {
  if (this == &Other)
    return;
  FCount = Other.FCount;
  FItemNo = Other.FItemNo;
  std::copy(Other.FLevels, Other.FLevels + std::clamp(FCount, 0, MaxKeyPathLevels), FLevels);
}

// Extended precision holds every numerator and denominator below 2^64 exactly, so this is the
// exact fraction for any tree the engine can hold, with no overflow to check.
double TTolvanKeyPath::ApproxPosition() const noexcept {
  long double Numerator = 0, Denominator = 1;
  for (int32_t I = FCount - 1; I >= 0; --I) {
    Numerator += FLevels[I].EntryNo * Denominator;
    Denominator *= FLevels[I].EntryCount;
  }
  if (!(Denominator > 0))
    return 0;
  return double(Numerator / Denominator);
}

int CompareKeyPaths(const TTolvanKeyPath& A, const TTolvanKeyPath& B) {
  if (A.Count() != B.Count())
    throw ETolvanException::Create(ErrKeyPathDepth, SInvalidIndexKeyPath);
  for (int32_t I = 0; I < A.Count(); ++I) {
    const TTolvanKeyPathLevel &LA = A.Levels(I), &LB = B.Levels(I);
    if (LA.PageNo != LB.PageNo)
      throw ETolvanException::Create(ErrKeyPathPages, SInvalidIndexKeyPath);
    if (LA.EntryNo != LB.EntryNo)
      return LA.EntryNo < LB.EntryNo ? -1 : 1;
  }
  return 0;
}

// --- TTolvanKeyPathCache ------------------------------------------------------------------------

TTolvanKeyPathCache::TEntry* TTolvanKeyPathCache::Find(int32_t SessionID) noexcept {
  for (TEntry& E : FEntries)
    if (E.SessionID == SessionID)
      return &E;
  return nullptr;
}

void TTolvanKeyPathCache::GetPath(int32_t SessionID, const TTolvanRecordID& RecordID, bool Reset,
                                  TTolvanKeyPath& Path) {
  if (TEntry* E = Find(SessionID)) {
    if (Reset || !(E->RecordID == RecordID))
      E->Path.Clear();
    Path.Assign(E->Path);
    return;
  }
  FEntries.push_back(TEntry{SessionID, RecordID, TTolvanKeyPath()});
  Path.Clear();
}

void TTolvanKeyPathCache::StorePath(int32_t SessionID, const TTolvanRecordID& RecordID,
                                    const TTolvanKeyPath& Path) {
  TEntry* E = Find(SessionID);
  if (!E)
    throw ETolvanException::CreateFmt(ErrKeyPathNotCached, SIndexKeyPathNotFound, SessionID,
                                      RecordID.PageNo, int32_t(RecordID.PageItemNo), Count());
  E->RecordID = RecordID;
  E->Path.Assign(Path);
}

void TTolvanKeyPathCache::RemoveSession(int32_t SessionID) noexcept {
  if (SessionID == -1) {
    FEntries.clear();
    return;
  }
  std::erase_if(FEntries, [&](const TEntry& E) { return E.SessionID == SessionID; });
}

} // namespace tolvan
