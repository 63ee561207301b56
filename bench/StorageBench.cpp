// Index inserts: random keys put into a B-tree over a memory page store one at a time, each
// followed by a commit as a record insert makes it, against the same keys put into a
// std::multimap in the same run (text ordered by the engine's collation). Integer and Char(20)
// keys, 20 000 and 2 000 000 of them; items_per_second gives the keys per second.
//
// Row inserts: the rowbench table (15 columns, 5 indexes) in a memory table, 20 000 and 200 000
// rows, each doing what a post does: a fresh record with defaults and an auto-increment value,
// the fields set as values, the constraint check and the insert, under the table lock, through
// the storage tests' minimal cursor (BM_MemoryTableInsert), and the same rows posted through the
// engine's own cursor (BM_LocalCursorPost: InitRecord with defaults, the values, PostRecord, on a
// table the cursor creates in a memory database of a connected local session). us_per_row gives
// the cost of one row.
//
// Table streams: the 20 000-row table saved to and loaded from a memory stream, uncompressed
// and with zlib, in ms, beside a memcpy of the stream's bytes and with the share of the load
// that checking the loaded indexes takes.
//
// Component against cursor (BM_ComponentPost): the 20 000 rowbench rows posted through a table
// component (Append, the 14 fields through Fields(i), Post) and, in the same run over the same
// values, through the engine cursor (InitRecord, the values, PostRecord), each on a table made
// the same way in "MEMORY". Best of 5 runs of each: rows per second, us per row, heap
// allocations per row (replaced global operator new), and the component/cursor ratio.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <new>
#include <random>
#include <string>
#include <vector>

#include "bench/AllocCounter.h"
#include "classlib/ByteOrder.h"
#include "classlib/Collation.h"
#include "classlib/DateUtils.h"
#include "components/TolvanComponentStartup.h"
#include "components/TolvanDatabase.h"
#include "components/TolvanSession.h"
#include "components/TolvanTable.h"
#include "foundation/TolvanConverts.h"
#include "schema/TolvanIndexDef.h"
#include "schema/TolvanMetaObjectDefs.h"
#include "storage/TolvanPageStores.h"
#include "storage/btree/TolvanBTree.h"
#include "storage/local/TolvanLocalCursor.h"
#include "storage/local/TolvanLocalSession.h"
#include "storage/memory/TolvanMemoryEngine.h"
#include "storage/memory/TolvanTableStream.h"
#include "tests/storage/TableTestSupport.h"

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

// The rowbench table: id AutoInc, int1-int4 Integer, str1-str5 Char(20), dt1-dt3 DateTime, m1-m2
// Currency; PK(id) primary, i1(int1) unique, i2(m1), i3(dt1), i4(str2) unique; int1, int3,
// str1, str2 and dt1 required.
void DefineRowTable(TTolvanFieldDefs& Fields, TTolvanIndexDefs& Indexes,
                    TTolvanConstraintDefs& Constraints) {
  test::AddField(Fields, "id", tftAutoInc);
  for (const char* Name : {"int1", "int2", "int3", "int4"})
    test::AddField(Fields, Name, tftInteger);
  for (const char* Name : {"str1", "str2", "str3", "str4", "str5"})
    test::AddField(Fields, Name, tftChar, 20);
  for (const char* Name : {"dt1", "dt2", "dt3"})
    test::AddField(Fields, Name, tftDateTime);
  for (const char* Name : {"m1", "m2"})
    test::AddField(Fields, Name, tftCurrency);
  test::AddIndexDef(Indexes, "PK", {"id"}).SetPrimary(1);
  test::AddIndexDef(Indexes, "i1", {"int1"}, true);
  test::AddIndexDef(Indexes, "i2", {"m1"});
  test::AddIndexDef(Indexes, "i3", {"dt1"});
  test::AddIndexDef(Indexes, "i4", {"str2"}, true);
  auto Backed = [&](TTolvanConstraintDefUnique& Def, const char* Index, const char* Column) {
    Def.SetName(Index);
    Def.Index().SetName(Index);
    Def.Columns().emplace_back(Column, 0);
  };
  Backed(Constraints.AddPrimary(), "PK", "id");
  Backed(Constraints.AddUnique(), "i1", "int1");
  Backed(Constraints.AddUnique(), "i4", "str2");
  for (const char* Name : {"int1", "int3", "str1", "str2", "dt1"}) {
    auto& NotNull = Constraints.AddNotNull();
    NotNull.SetName(std::string("NN_") + Name);
    NotNull.Column().SetName(Name);
  }
}

// The tests' cursor, laid out over the table's columns as an opened cursor is.
class TRowCursor : public test::TTestCursor {
public:
  using TTestCursor::TTestCursor;
  using TTolvanCursor::SetRecordLayout;
};

// The process's generator as the rowbench program draws it: [0, 1).
struct TRandom {
  uint32_t Seed = 0;
  double Next() {
    Seed = Seed * 134775813u + 1u;
    return double(Seed) * (1.0 / 4294967296.0);
  }
};

// The rowbench table in a memory database of its own, with one attached cursor laid out over it.
class TRowTable {
public:
  TRowTable() : FDb(std::make_unique<TTolvanMemoryDatabaseData>()) {
    FDb->AttachSession(FSession);
    TTolvanFieldDefs Fields;
    TTolvanIndexDefs Indexes;
    TTolvanConstraintDefs Constraints;
    DefineRowTable(Fields, Indexes, Constraints);
    test::TTestCursor Maker(&FSession, 0);
    Maker.SetTableName("test");
    FTable = static_cast<TTolvanMemoryTableData*>(FDb->GetTableData(
        Maker, [&](TTolvanTableData& T) { T.CreateTable(Maker, Fields, Indexes, Constraints); }));
    FCursor = std::make_unique<TRowCursor>(&FSession, FTable->RecordSize() + RecordTrailerSize);
    FCursor->SetTableName("test");
    FCursor->FieldDefs().Assign(*FTable->FieldDefs());
    FCursor->SetRecordLayout();
    Attach();
  }
  ~TRowTable() {
    Detach();
    FDb.reset();
  }

  TTolvanMemoryTableData& Table() { return *FTable; }
  void Attach() {
    if (!FAttached)
      FTable->AttachCursor(*FCursor);
    FAttached = true;
  }
  void Detach() {
    if (FAttached)
      FTable->DetachCursor(*FCursor);
    FAttached = false;
  }

  // Inserts rows 1 .. Rows as the rowbench program posts them; false when one is refused.
  bool InsertRows(int32_t Rows) {
    TTolvanTableData& Table = *FTable;
    TRowCursor& Cursor = *FCursor;
    const int32_t FieldCount = Cursor.FieldDefs().Count();
    TRandom Random;
    // One value per column: setting a column converts the value to the column's type.
    std::vector<std::unique_ptr<TTolvanVariant>> Values;
    for (int32_t F = 0; F < FieldCount; ++F)
      Values.push_back(std::make_unique<TTolvanVariant>());
    char Text[64];
    const TTolvanStoredDateTime When = DateTimeToStoredDateTime(Now());
    for (int32_t I = 1; I <= Rows; ++I) {
      uint8_t* Buffer = Cursor.RecordBuffer();
      SetAllNull(Buffer, FieldCount);
      Table.ApplyDefaults(Cursor, Buffer, true);
      for (int32_t F = 1; F < FieldCount; ++F) {
        TTolvanVariant& Value = *Values[size_t(F)];
        switch (Cursor.FieldDefs().Items(F).FieldType()) {
        case tftInteger:
          Value.SetAsInteger(I);
          break;
        case tftDateTime:
          Value.SetAsStoredDateTime(When);
          break;
        case tftCurrency: {
          const double X = Random.Next() * 100000;
          const double Y = Random.Next();
          Value.SetAsCurrency(X / ((Y + 0.01) * I));
          break;
        }
        default: {
          const double X = Random.Next() * 100000;
          const double Y = Random.Next();
          std::snprintf(Text, sizeof Text, "Test_%.15g", X / ((Y + 0.01) * I));
          Value.SetAsString(Text);
          break;
        }
        }
        Cursor.SetCursorFieldValue(Value, F, Buffer, true);
      }
      TTolvanTableLock Lock(Table);
      Table.CheckConstraints(Cursor, FSession.SessionID(), Buffer, nullptr, true, Cursor.Position(),
                             false);
      if (!Table.InsertRecord(Cursor))
        return false;
    }
    return true;
  }

private:
  std::unique_ptr<TTolvanMemoryDatabaseData> FDb;
  test::TTestSession FSession{-1};
  TTolvanMemoryTableData* FTable = nullptr;
  std::unique_ptr<TRowCursor> FCursor;
  bool FAttached = false;
};

void BM_MemoryTableInsert(benchmark::State& State) {
  const int32_t Rows = int32_t(State.range(0));
  for (auto _ : State) {
    State.PauseTiming();
    auto Rowbench = std::make_unique<TRowTable>();
    State.ResumeTiming();
    const auto Start = std::chrono::steady_clock::now();
    if (!Rowbench->InsertRows(Rows))
      State.SkipWithError("insert refused");
    const double Ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - Start).count();
    State.PauseTiming();
    State.counters["ms"] = Ms;
    State.counters["us_per_row"] = Ms * 1000.0 / Rows;
    Rowbench.reset();
    State.ResumeTiming();
  }
}

double MsSince(std::chrono::steady_clock::time_point Start) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - Start)
      .count();
}

// Save and load of the 20 000-row rowbench table through a memory stream, beside a memcpy of as
// many bytes; the load's index check (CheckTree and the pass over the leaves of every index) is
// timed again on its own over the loaded table, and index_check_pct gives its share of the load.
void BM_MemoryTableStream(benchmark::State& State) {
  const auto Algorithm = TTolvanCompressionAlgorithm(State.range(0));
  static TRowTable* Rowbench = [] {
    auto* Made = new TRowTable();
    if (!Made->InsertRows(20000))
      std::abort();
    Made->Detach();
    return Made;
  }();
  TTolvanMemoryTableData& Table = Rowbench->Table();
  for (auto _ : State) {
    TTolvanMemoryStream Stream;
    auto Start = std::chrono::steady_clock::now();
    Table.SaveToStream(Stream, Algorithm, 6, 0, false);
    const double SaveMs = MsSince(Start);

    Stream.SetPosition(0);
    Start = std::chrono::steady_clock::now();
    Table.LoadFromStream(nullptr, Stream);
    const double LoadMs = MsSince(Start);

    std::vector<uint8_t> Copy(size_t(Stream.Size()));
    Start = std::chrono::steady_clock::now();
    std::memcpy(Copy.data(), Stream.Memory(), Copy.size());
    benchmark::DoNotOptimize(Copy.data());
    benchmark::ClobberMemory();
    const double CopyMs = MsSince(Start);

    const TTolvanMemoryRecordManager& Records = *Table.Records();
    Start = std::chrono::steady_clock::now();
    CheckLoadedIndexes(*Table.IndexManager(), Records.RecordCount(), Records.Capacity(),
                       [&](const TTolvanRecordID& ID, int64_t& Number) -> const uint8_t* {
                         Number = ID.PageNo;
                         return Records.RecordBlock() + Number * Records.RecordSize();
                       });
    const double CheckMs = MsSince(Start);

    State.counters["bytes"] = double(Stream.Size());
    State.counters["save_ms"] = SaveMs;
    State.counters["load_ms"] = LoadMs;
    State.counters["memcpy_ms"] = CopyMs;
    State.counters["index_check_pct"] = 100.0 * CheckMs / LoadMs;
  }
}

// The value of column F for row I, drawn as the rowbench program draws it.
void SetRowValue(TTolvanVariant& Value, TTolvanFieldType Type, int32_t I,
                 const TTolvanStoredDateTime& When, TRandom& Random) {
  switch (Type) {
  case tftInteger:
    Value.SetAsInteger(I);
    break;
  case tftDateTime:
    Value.SetAsStoredDateTime(When);
    break;
  case tftCurrency: {
    const double X = Random.Next() * 100000;
    const double Y = Random.Next();
    Value.SetAsCurrency(X / ((Y + 0.01) * I));
    break;
  }
  default: {
    char Text[64];
    const double X = Random.Next() * 100000;
    const double Y = Random.Next();
    std::snprintf(Text, sizeof Text, "Test_%.15g", X / ((Y + 0.01) * I));
    Value.SetAsString(Text);
    break;
  }
  }
}

void BM_LocalCursorPost(benchmark::State& State) {
  const int32_t Rows = int32_t(State.range(0));
  for (auto _ : State) {
    State.PauseTiming();
    StorageStartup();
    auto Session = std::make_unique<TTolvanLocalSession>();
    Session->SetDatabaseName("BENCH");
    Session->SetFileName("BENCH");
    Session->SetInMemory(true);
    Session->SetConnected(true);
    TTolvanFieldDefs Fields;
    TTolvanIndexDefs Indexes;
    TTolvanConstraintDefs Constraints;
    DefineRowTable(Fields, Indexes, Constraints);
    auto Cursor = std::make_unique<TTolvanLocalCursor>();
    Cursor->SetSession(Session.get());
    Cursor->SetTableName("test");
    Cursor->SetInMemory(true);
    Cursor->OpenTable(&Fields, &Indexes, &Constraints);
    uint8_t* Buffer = Cursor->AllocRecordBuffer();
    Cursor->SetRecordBuffer(Buffer);
    const int32_t FieldCount = Cursor->FieldDefs().Count();
    TRandom Random;
    std::vector<std::unique_ptr<TTolvanVariant>> Values;
    for (int32_t F = 0; F < FieldCount; ++F)
      Values.push_back(std::make_unique<TTolvanVariant>());
    const TTolvanStoredDateTime When = DateTimeToStoredDateTime(Now());
    State.ResumeTiming();

    const auto Start = std::chrono::steady_clock::now();
    for (int32_t I = 1; I <= Rows; ++I) {
      Cursor->InitRecord(Buffer, true);
      for (int32_t F = 1; F < FieldCount; ++F) {
        TTolvanVariant& Value = *Values[size_t(F)];
        SetRowValue(Value, Cursor->FieldDefs().Items(F).FieldType(), I, When, Random);
        Cursor->SetCursorFieldValue(Value, F, Buffer, true);
      }
      Cursor->PostRecord(true);
      if (Cursor->LastErrorCode() != 0)
        State.SkipWithError("post refused");
    }
    const double Ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - Start).count();
    State.PauseTiming();
    State.counters["ms"] = Ms;
    State.counters["us_per_row"] = Ms * 1000.0 / Rows;
    Cursor->SetRecordBuffer(nullptr);
    TTolvanCursor::FreeRecordBuffer(Buffer);
    Cursor->CloseTable();
    Cursor.reset();
    Session->SetConnected(false);
    Session.reset();
    StorageShutdown();
    State.ResumeTiming();
  }
}

// One timed run of a phase: its milliseconds and the heap allocations it made.
struct TPhaseRun {
  double Ms = 0;
  int64_t Allocs = 0;
};

// The rowbench table Name in the database of Session, made by a cursor's OpenTable as the
// cursor phase makes it; the caller owns the open cursor.
std::unique_ptr<TTolvanLocalCursor> OpenRowTable(TTolvanBaseSession* Session,
                                                 std::string_view Name) {
  TTolvanFieldDefs Fields;
  TTolvanIndexDefs Indexes;
  TTolvanConstraintDefs Constraints;
  DefineRowTable(Fields, Indexes, Constraints);
  auto Cursor = std::make_unique<TTolvanLocalCursor>();
  Cursor->SetSession(Session);
  Cursor->SetTableName(Name);
  Cursor->SetInMemory(true);
  Cursor->OpenTable(&Fields, &Indexes, &Constraints);
  return Cursor;
}

// Rows posted through the engine cursor: InitRecord with defaults, the values, PostRecord.
TPhaseRun PostThroughCursor(TTolvanBaseSession* Session, std::string_view Name, int32_t Rows,
                            TDateTime When) {
  auto Cursor = OpenRowTable(Session, Name);
  uint8_t* Buffer = Cursor->AllocRecordBuffer();
  Cursor->SetRecordBuffer(Buffer);
  const int32_t FieldCount = Cursor->FieldDefs().Count();
  TRandom Random;
  std::vector<std::unique_ptr<TTolvanVariant>> Values;
  for (int32_t F = 0; F < FieldCount; ++F)
    Values.push_back(std::make_unique<TTolvanVariant>());
  const TTolvanStoredDateTime Stored = DateTimeToStoredDateTime(When);
  bool Refused = false;

  const int64_t Allocs = tolvan::bench::HeapAllocations();
  const auto Start = std::chrono::steady_clock::now();
  for (int32_t I = 1; I <= Rows; ++I) {
    Cursor->InitRecord(Buffer, true);
    for (int32_t F = 1; F < FieldCount; ++F) {
      TTolvanVariant& Value = *Values[size_t(F)];
      SetRowValue(Value, Cursor->FieldDefs().Items(F).FieldType(), I, Stored, Random);
      Cursor->SetCursorFieldValue(Value, F, Buffer, true);
    }
    Cursor->PostRecord(true);
    Refused |= Cursor->LastErrorCode() != 0;
  }
  const TPhaseRun Run{MsSince(Start), tolvan::bench::HeapAllocations() - Allocs};

  Cursor->SetRecordBuffer(nullptr);
  TTolvanCursor::FreeRecordBuffer(Buffer);
  Cursor->DeleteTable(true);
  if (Refused)
    throw std::runtime_error("cursor post refused");
  return Run;
}

// The same rows through a table component: Append, each field but id through Fields(i), Post.
TPhaseRun PostThroughComponent(TTolvanBaseSession* Session, std::string_view Name, int32_t Rows,
                               TDateTime When) {
  OpenRowTable(Session, Name)->CloseTable();
  TComponentPtr<TTolvanTable> Table(NewComponent<TTolvanTable>(nullptr));
  Table->SetTableName(Name);
  Table->Open();
  const int32_t FieldCount = Table->Fields().Count();
  TRandom Random;
  char Text[64];

  const int64_t Allocs = tolvan::bench::HeapAllocations();
  const auto Start = std::chrono::steady_clock::now();
  for (int32_t I = 1; I <= Rows; ++I) {
    Table->Append();
    for (int32_t F = 1; F < FieldCount; ++F) {
      TField& Field = Table->Fields().Fields(F);
      switch (Field.DataType()) {
      case ftInteger:
        Field.SetAsInteger(I);
        break;
      case ftDateTime:
        Field.SetAsDateTime(When);
        break;
      case ftCurrency: {
        const double X = Random.Next() * 100000;
        const double Y = Random.Next();
        Field.SetAsFloat(X / ((Y + 0.01) * I));
        break;
      }
      default: {
        const double X = Random.Next() * 100000;
        const double Y = Random.Next();
        std::snprintf(Text, sizeof Text, "Test_%.15g", X / ((Y + 0.01) * I));
        Field.SetAsString(Text);
        break;
      }
      }
    }
    Table->Post();
  }
  const TPhaseRun Run{MsSince(Start), tolvan::bench::HeapAllocations() - Allocs};

  if (Table->RecordCount() != Rows)
    throw std::runtime_error("component rows missing");
  Table->Close();
  OpenRowTable(Session, Name)->DeleteTable(true);
  return Run;
}

void BM_ComponentPost(benchmark::State& State) {
  const int32_t Rows = int32_t(State.range(0));
  constexpr int32_t Runs = 5;
  for (auto _ : State) {
    TComponentRegistriesScope Registries;
    TTolvanDatabase* Database = TTolvanDatabase::Create(DefaultSession());
    Database->SetDatabaseName("MEMORY");
    Database->Open();
    const TDateTime When = Now();
    TPhaseRun Cursor{1e300, 0}, Component{1e300, 0};
    try {
      for (int32_t R = 0; R < Runs; ++R) {
        const TPhaseRun C =
            PostThroughCursor(Database->EngineSession(), "bench_cursor", Rows, When);
        const TPhaseRun T =
            PostThroughComponent(Database->EngineSession(), "bench_component", Rows, When);
        if (C.Ms < Cursor.Ms)
          Cursor = C;
        if (T.Ms < Component.Ms)
          Component = T;
      }
    } catch (const std::exception& E) {
      State.SkipWithError(E.what());
    }
    Database->Free();
    auto Report = [&](const char* Prefix, const TPhaseRun& Run) {
      State.counters[std::string(Prefix) + "_rows_per_s"] = Rows * 1000.0 / Run.Ms;
      State.counters[std::string(Prefix) + "_us_per_row"] = Run.Ms * 1000.0 / Rows;
      State.counters[std::string(Prefix) + "_allocs_per_row"] = double(Run.Allocs) / Rows;
    };
    Report("cursor", Cursor);
    Report("component", Component);
    State.counters["component_cursor_ratio"] = Component.Ms / Cursor.Ms;
  }
}

BENCHMARK(BM_ComponentPost)
    ->Arg(20000)
    ->ArgNames({"rows"})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);

BENCHMARK(BM_LocalCursorPost)
    ->Arg(20000)
    ->Arg(200000)
    ->ArgNames({"rows"})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1)
    ->Repetitions(3);

BENCHMARK(BM_MemoryTableInsert)
    ->Arg(20000)
    ->Arg(200000)
    ->ArgNames({"rows"})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1)
    ->Repetitions(3);

BENCHMARK(BM_MemoryTableStream)
    ->Arg(caNone)
    ->Arg(caZlib)
    ->ArgNames({"zlib"})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1)
    ->Repetitions(5);

BENCHMARK(BM_BTreeInsert)->Apply(Sizes);
BENCHMARK(BM_MultimapInsert)->Apply(Sizes);

} // namespace

BENCHMARK_MAIN();
