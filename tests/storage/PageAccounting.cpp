#include "tests/storage/PageAccounting.h"

#include <algorithm>
#include <set>
#include <sstream>

#include "foundation/TolvanTypes.h"

namespace tolvan::test {

namespace {

class TChecker {
public:
  explicit TChecker(const TTolvanPageManager& Manager) : M(Manager) {}

  std::string Run() {
    CheckList(M.Cache(), "cache", nullptr);
    CheckList(M.RemovedPages(), "removed pages", nullptr);
    for (int32_t I = 0; I < M.SessionCount(); ++I)
      CheckSession(M.Sessions(I));
    int32_t ReleasedBits = 0;
    for (int32_t I = 0; I < M.ReleasedPageNos().BitCount(); ++I)
      ReleasedBits += GetBit(I, M.ReleasedPageNos().Bits());
    if (ReleasedBits != int32_t(Released.size()))
      Fault() << "released bits " << ReleasedBits << " for " << Released.size()
              << " released numbers";
    return Faults.str();
  }

  std::ostream& Fault() {
    if (!Faults.str().empty())
      Faults << "; ";
    return Faults;
  }

  void CheckMap(const TTolvanBitsArray& Map, int32_t Slots, int32_t AllocatedCount,
                const char* Store) {
    if (Map.BitCount() != Slots)
      Fault() << Store << ": map of " << Map.BitCount() << " bits for " << Slots << " slots";
    if (Map.CountSet() != Map.SetBitCount())
      Fault() << Store << ": map counts " << Map.SetBitCount() << " set bits, has "
              << Map.CountSet();
    if (AllocatedCount != Map.CountSet())
      Fault() << Store << ": AllocatedCount " << AllocatedCount << ", set bits "
              << Map.CountSet();
  }

private:
  void CheckSession(const TTolvanPageSession& S) {
    CheckList(S.DirtyPages, "dirty pages", &S);
    for (int32_t I = 0; I < S.NewPageNos.Count(); ++I)
      if (!M.PageAllocated(S.NewPageNos[I]))
        Fault() << "session " << S.SessionID << ": new page " << S.NewPageNos[I]
                << " not allocated";
    for (int32_t I = 0; I < S.FreedPageNos.Count(); ++I) {
      const int32_t N = S.FreedPageNos[I];
      if (!M.PageAllocated(N))
        Fault() << "session " << S.SessionID << ": released page " << N << " not allocated";
      if (!M.PageReleased(N))
        Fault() << "session " << S.SessionID << ": released page " << N << " not marked";
      if (!Released.insert(N).second)
        Fault() << "page " << N << " released twice";
    }
  }

  void CheckList(const TTolvanPageList& L, const char* Name, const TTolvanPageSession* S) {
    int32_t Walked = 0;
    for (const TTolvanPage* P = L.First(); P; P = TTolvanPageList::Next(P)) {
      ++Walked;
      std::ostringstream Where;
      Where << Name;
      if (S)
        Where << " of session " << S->SessionID;
      Where << ", page " << P->PageNo();
      if (P->OwnerList() != &L)
        Fault() << Where.str() << ": tagged with another list";
      // Pages removed while held may share a number (removed, reused, removed again).
      const TTolvanPage* Found = L.Find(P->PageNo());
      if (&L == &M.RemovedPages() ? !Found || Found->PageNo() != P->PageNo() : Found != P)
        Fault() << Where.str() << ": index finds another object";
      if (!P->Buffer() || P->BufferSize() < P->PageSize())
        Fault() << Where.str() << ": no full buffer";
      // A page removed while held may outlive its number.
      if (&L != &M.RemovedPages() && !M.PageAllocated(P->PageNo()))
        Fault() << Where.str() << ": number not allocated";
      if (P->Removed() != (&L == &M.RemovedPages()))
        Fault() << Where.str() << ": removed flag does not match the list";
      if (&L == &M.RemovedPages() && P->UseCount() <= 0)
        Fault() << Where.str() << ": removed but not held";
      if (&L == &M.Cache() && P->Dirty() && P->UseCount() == 0)
        Fault() << Where.str() << ": dirty in the cache without a holder";
      if (S && !P->Dirty())
        Fault() << Where.str() << ": clean in a dirty list";
      if (S && P->UseCount() > 0 && P->SessionID() != S->SessionID)
        Fault() << Where.str() << ": held by session " << P->SessionID();
      if (P->UseCount() < 0)
        Fault() << Where.str() << ": use count " << P->UseCount();
    }
    if (Walked != L.Count())
      Fault() << Name << ": count " << L.Count() << ", walked " << Walked;
  }

  const TTolvanPageManager& M;
  std::set<int32_t> Released;
  std::ostringstream Faults;
};

} // namespace

std::string PageAccountingFaults(const TTolvanMemoryPageManager& Store) {
  TChecker C(Store);
  C.CheckMap(Store.AllocationMap(), Store.Capacity(), Store.AllocatedCount(), "memory store");
  return C.Run();
}

std::string PageAccountingFaults(const TTolvanTemporaryPageManager& Store) {
  TChecker C(Store);
  C.CheckMap(Store.AllocationMap(), Store.SlotCount(), Store.AllocatedCount(), "temporary store");
  const TTolvanMemoryPageManager& Inner = Store.InnerStore();
  C.CheckMap(Inner.AllocationMap(), Inner.Capacity(), Inner.AllocatedCount(), "inner store");
  const TTolvanBitsArray& Outer = Store.AllocationMap();
  for (int32_t I = 0; I < Inner.Capacity() || I < std::min(Store.SlotCount(), Store.MemoryLimit());
       ++I) {
    const bool InInner = I < Inner.Capacity() && GetBit(I, Inner.AllocationMap().Bits());
    const bool Below = I < Store.MemoryLimit() && I < Store.SlotCount();
    const bool InOuter = Below && GetBit(I, Outer.Bits());
    if (InInner != InOuter)
      C.Fault() << "page " << I << ": inner map " << InInner << ", outer map " << InOuter;
  }
  return C.Run();
}

} // namespace tolvan::test
