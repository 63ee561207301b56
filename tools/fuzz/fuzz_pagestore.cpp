// The two page stores' LoadFromStream on arbitrary bytes. Input: one byte choosing the store
// (even: memory, odd: temporary), then the form. Whether the load succeeds or is refused, the
// store must then allocate, write, free, commit and close, with its bookkeeping intact.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <type_traits>

#include "foundation/TolvanConst.h"
#include "foundation/TolvanExcept.h"
#include "foundation/TolvanStreams.h"
#include "storage/TolvanPageStores.h"
#include "tests/storage/PageAccounting.h"

using namespace tolvan;

namespace {

void Check(const std::string& Faults) {
  if (!Faults.empty()) {
    std::fprintf(stderr, "%s\n", Faults.c_str());
    std::abort();
  }
}

// Gap: spilled numbers a form hands out without their bytes. A page written past them makes the
// spill stream that long (up to 2 GiB), so such forms only allocate when the gap is small.
template <class TStore> void Exercise(TStore& Store, int32_t Slots, int64_t Gap) {
  Check(test::PageAccountingFaults(Store));
  // Allocate and write a few pages, read back every allocated one.
  for (int I = 0; I < (Gap > 4096 ? 0 : 3); ++I) {
    TTolvanPage* P = Store.NewPage(1);
    std::memset(P->Buffer(), 0x5A + I, Store.PageSize());
    P->SetDirty(true);
    Store.ReleasePage(P);
  }
  Store.Commit(1);
  Check(test::PageAccountingFaults(Store));
  const int32_t Limit = Slots + 3;
  for (int32_t N = 0; N < Limit; ++N) {
    if (!Store.PageAllocated(N))
      continue;
    try {
      Store.ReleasePage(Store.GetPage(2, N, nullptr));
    } catch (const Exception&) {
      // a spilled page the form carried no bytes for
    }
  }
  // Free everything; the store must close.
  for (int32_t N = 0; N < Limit; ++N)
    if (Store.PageAllocated(N))
      Store.RemovePage(1, N);
  Store.Commit(1);
  Check(test::PageAccountingFaults(Store));
  if (Store.AllocatedCount() != 0)
    std::abort();
  Store.Close();
}

template <class TStore> void Run(const uint8_t* Data, size_t Size) {
  TTolvanMemoryStream S;
  S.Write(Data, static_cast<int64_t>(Size));
  S.Seek(0, soBeginning);
  TStore Store;
  try {
    Store.LoadFromStream(S);
  } catch (const Exception&) {
  }
  int32_t Slots;
  int64_t Gap = 0;
  if constexpr (std::is_same_v<TStore, TTolvanMemoryPageManager>) {
    Slots = Store.Capacity();
  } else {
    Slots = Store.SlotCount();
    const int64_t Spilled = int64_t(Slots) - Store.MemoryLimit();
    const int64_t Written = Store.SpillStream() ? Store.SpillStream()->Size() / 4096 : 0;
    Gap = Spilled - Written;
  }
  Exercise(Store, Slots, Gap);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  if (Size < 1)
    return 0;
  TempPageCacheSize = 4;
  if (Data[0] % 2 == 0)
    Run<TTolvanMemoryPageManager>(Data + 1, Size - 1);
  else
    Run<TTolvanTemporaryPageManager>(Data + 1, Size - 1);
  return 0;
}
