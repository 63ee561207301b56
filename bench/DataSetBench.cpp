// The dataset's record loop over the test fake dataset, 100 000 records a run: Append, 8 field
// writes and Post; Append, 2 fixed-width writes and Post; and a scan (First, Next to the end,
// reading the three fields). Besides the time per record it counts heap allocations per
// record through replaced global operator new/delete. The fake stores each posted row in a
// vector of its own; its PostRecord runs with counting paused, so only the dataset's own
// allocations are counted. The fake's hook log is off (Logging is false) throughout.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <new>

#include "bench/AllocCounter.h"
#include "tests/classlib/FakeDataSet.h"

namespace {

using namespace tolvan;

constexpr int32_t kRecords = 100000;

// The fake, with its row storage left out of the allocation count.
class TBenchDataSet : public test::TFakeDataSet {
protected:
  void PostRecord() override {
    tolvan::bench::SetAllocationCounting(false);
    try {
      TFakeDataSet::PostRecord();
    } catch (...) {
      tolvan::bench::SetAllocationCounting(true);
      throw;
    }
    tolvan::bench::SetAllocationCounting(true);
  }
};

using TBenchPtr = TComponentPtr<TBenchDataSet>;

struct TFieldsOf {
  explicit TFieldsOf(TDataSet& DS)
      : Id(DS.FieldByName("ID")), Name(DS.FieldByName("NAME")), V(DS.FieldByName("V")) {}
  TField& Id;
  TField& Name;
  TField& V;
};

TBenchPtr OpenFresh() {
  TBenchPtr DS = MakeComponent<TBenchDataSet>();
  DS->Rows.reserve(kRecords);
  DS->Open();
  return DS;
}

void Report(benchmark::State& State, int64_t Allocs) {
  const double Records = static_cast<double>(State.iterations()) * kRecords;
  State.counters["ns/record"] =
      benchmark::Counter(Records, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  State.counters["allocs/record"] = static_cast<double>(Allocs) / Records;
  State.SetItemsProcessed(static_cast<int64_t>(Records));
}

// Append, eight field writes (the fake has three columns: ID, NAME, V; each is written more
// than once, NAME three times, as a string within its 8 bytes), Post.
void BM_AppendWrite8Post(benchmark::State& State) {
  int64_t Allocs = 0;
  for (auto _ : State) {
    State.PauseTiming();
    TBenchPtr DS = OpenFresh();
    TFieldsOf F(*DS);
    const int64_t Before = tolvan::bench::HeapAllocations();
    State.ResumeTiming();
    for (int32_t I = 0; I < kRecords; ++I) {
      DS->Append();
      F.Id.SetAsInteger(I);
      F.Name.SetAsString("n");
      F.V.SetAsInteger(I);
      F.Name.SetAsString("name");
      F.Id.SetAsInteger(I + 1);
      F.V.SetAsInteger(I + 1);
      F.Name.SetAsString("name1234");
      F.V.SetAsInteger(-I);
      DS->Post();
    }
    State.PauseTiming();
    Allocs += tolvan::bench::HeapAllocations() - Before;
    if (static_cast<int32_t>(DS->Rows.size()) != kRecords)
      State.SkipWithError("row count");
    DS.reset();
    State.ResumeTiming();
  }
  Report(State, Allocs);
}

// Append, the two fixed-width (integer) fields written, Post.
void BM_AppendFixedPost(benchmark::State& State) {
  int64_t Allocs = 0;
  for (auto _ : State) {
    State.PauseTiming();
    TBenchPtr DS = OpenFresh();
    TFieldsOf F(*DS);
    const int64_t Before = tolvan::bench::HeapAllocations();
    State.ResumeTiming();
    for (int32_t I = 0; I < kRecords; ++I) {
      DS->Append();
      F.Id.SetAsInteger(I);
      F.V.SetAsInteger(-I);
      DS->Post();
    }
    State.PauseTiming();
    Allocs += tolvan::bench::HeapAllocations() - Before;
    DS.reset();
    State.ResumeTiming();
  }
  Report(State, Allocs);
}

// First, then Next to the end, reading the three fields of each record (the names fit the
// small-string buffer, so reading NAME as a string needs no heap).
void BM_ScanNext(benchmark::State& State) {
  TBenchPtr DS = MakeComponent<TBenchDataSet>();
  DS->Rows.reserve(kRecords);
  for (int32_t I = 0; I < kRecords; ++I) {
    std::string Name = std::to_string(I % 1000);
    Name.insert(Name.begin(), 'r');
    DS->Rows.push_back(DS->MakeRow(I, Name, I));
  }
  DS->Open();
  TFieldsOf F(*DS);
  int64_t Allocs = 0;
  for (auto _ : State) {
    const int64_t Before = tolvan::bench::HeapAllocations();
    int64_t Sum = 0;
    size_t Chars = 0;
    int32_t Seen = 0;
    for (DS->First(); !DS->Eof(); DS->Next()) {
      Sum += F.Id.AsInteger() + F.V.AsInteger();
      Chars += F.Name.AsString().size();
      ++Seen;
    }
    Allocs += tolvan::bench::HeapAllocations() - Before;
    benchmark::DoNotOptimize(Sum);
    benchmark::DoNotOptimize(Chars);
    if (Seen != kRecords)
      State.SkipWithError("record count");
  }
  Report(State, Allocs);
}

// Next alone, no field read.
void BM_ScanNextOnly(benchmark::State& State) {
  TBenchPtr DS = MakeComponent<TBenchDataSet>();
  DS->Rows.reserve(kRecords);
  for (int32_t I = 0; I < kRecords; ++I)
    DS->Rows.push_back(DS->MakeRow(I, "r", I));
  DS->Open();
  int64_t Allocs = 0;
  for (auto _ : State) {
    const int64_t Before = tolvan::bench::HeapAllocations();
    int32_t Seen = 0;
    for (DS->First(); !DS->Eof(); DS->Next())
      ++Seen;
    Allocs += tolvan::bench::HeapAllocations() - Before;
    if (Seen != kRecords)
      State.SkipWithError("record count");
  }
  Report(State, Allocs);
}

} // namespace

BENCHMARK(BM_AppendWrite8Post)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_AppendFixedPost)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_ScanNext)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ScanNextOnly)->Unit(benchmark::kMillisecond);
