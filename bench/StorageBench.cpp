// Index inserts: random keys put into a B-tree over a memory page store one at a time, each
// followed by a commit as a record insert makes it, against the same keys put into a
// std::multimap in the same run (text ordered by the engine's collation). Integer and Char(20)
// keys, 20 000 and 2 000 000 of them; items_per_second gives the keys per second.
#include <benchmark/benchmark.h>

#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "classlib/ByteOrder.h"
#include "classlib/Collation.h"
#include "schema/TolvanIndexDef.h"
#include "schema/TolvanMetaObjectDefs.h"
#include "storage/TolvanPageStores.h"
#include "storage/btree/TolvanBTree.h"

namespace {

using namespace tolvan;

constexpr int32_t SessionID = 1;

// Keys in the index's key form: an Integer column, or a Char(20) column with 8-20 letters.
// Keys[I] is the I-th key of KeySize bytes.
struct TKeys {
  std::vector<uint8_t> Bytes;
  size_t KeySize;
  const uint8_t* operator[](size_t I) const { return Bytes.data() + I * KeySize; }
};

TKeys MakeKeys(bool Text, int64_t Count, int32_t KeySize) {
  std::mt19937_64 Rng(uint64_t(Count) * 2 + Text);
  TKeys Keys{std::vector<uint8_t>(size_t(Count) * size_t(KeySize)), size_t(KeySize)};
  for (int64_t N = 0; N < Count; ++N) {
    uint8_t* K = Keys.Bytes.data() + size_t(N) * Keys.KeySize;
    if (Text) {
      const size_t Len = 8 + Rng() % 13;
      for (size_t I = 0; I < Len; ++I)
        K[1 + I] = uint8_t('a' + Rng() % 26);
    } else {
      StoreLE<int32_t>(K + 1, int32_t(uint32_t(Rng())));
    }
  }
  return Keys;
}

struct TIndex {
  explicit TIndex(bool Text) {
    TTolvanFieldDef& F = Fields.AddNew();
    F.SetName("K");
    F.SetType(Text ? tftChar : tftInteger, Text ? 20 : 0);
    Fields.CalcLayout();
    Def.SetName("IX");
    Def.SetColumnCount(1);
    Def.Columns(0).SetName(F.Name());
    KeyRef.Build(Def, &Fields);
  }
  TTolvanFieldDefs Fields;
  TTolvanIndexDef Def;
  TTolvanBTreeKeyRef KeyRef;
};

void BM_BTreeInsert(benchmark::State& State) {
  const bool Text = State.range(0) != 0;
  const int64_t Count = State.range(1);
  TIndex Index(Text);
  const auto Keys = MakeKeys(Text, Count, Index.KeyRef.KeySize());
  for (auto _ : State) {
    TTolvanMemoryPageManager Store;
    TTolvanBTree Tree(Store, Index.KeyRef);
    for (int64_t I = 0; I < Count; ++I) {
      Tree.InsertKey(SessionID, Keys[size_t(I)], TTolvanRecordID{int32_t(I), 0});
      Store.Commit(SessionID);
    }
    State.PauseTiming();
    State.counters["pages"] = double(Store.AllocatedCount());
    Tree.FreePages(SessionID);
    Store.Commit(SessionID);
    Store.Close();
    State.ResumeTiming();
  }
  State.SetItemsProcessed(int64_t(State.iterations()) * Count);
}

struct TAnsiLess {
  bool operator()(const std::string& A, const std::string& B) const {
    return CompareAnsi(A, B, false) < 0;
  }
};

void BM_MultimapInsert(benchmark::State& State) {
  const bool Text = State.range(0) != 0;
  const int64_t Count = State.range(1);
  TIndex Index(Text);
  const auto Keys = MakeKeys(Text, Count, Index.KeyRef.KeySize());
  for (auto _ : State) {
    if (Text) {
      std::multimap<std::string, TTolvanRecordID, TAnsiLess> M;
      for (int64_t I = 0; I < Count; ++I)
        M.emplace(std::string(reinterpret_cast<const char*>(Keys[size_t(I)] + 1),
                              strnlen(reinterpret_cast<const char*>(Keys[size_t(I)] + 1), 20)),
                  TTolvanRecordID{int32_t(I), 0});
      benchmark::DoNotOptimize(M.size());
    } else {
      std::multimap<int32_t, TTolvanRecordID> M;
      for (int64_t I = 0; I < Count; ++I)
        M.emplace(LoadLE<int32_t>(Keys[size_t(I)] + 1), TTolvanRecordID{int32_t(I), 0});
      benchmark::DoNotOptimize(M.size());
    }
  }
  State.SetItemsProcessed(int64_t(State.iterations()) * Count);
}

void Sizes(benchmark::internal::Benchmark* B) {
  for (int Text : {0, 1})
    for (int64_t Count : {20000, 2000000})
      B->Args({Text, Count});
  B->ArgNames({"text", "keys"})->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(3);
}

BENCHMARK(BM_BTreeInsert)->Apply(Sizes);
BENCHMARK(BM_MultimapInsert)->Apply(Sizes);

} // namespace

BENCHMARK_MAIN();
