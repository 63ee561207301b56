// The rowbench phases from several threads at once, each with a session and a table of its own,
// through the same routines as the program; meant for the ThreadSanitizer build too. A
// watchdog ends the process when the test hangs.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <latch>
#include <string>
#include <thread>
#include <vector>

#include "bench/RowBench.h"
#include "classlib/DBFields.h"
#include "components/TolvanComponentStartup.h"
#include "components/TolvanSession.h"
#include "components/TolvanTable.h"
#include "foundation/TolvanStreams.h"
#include "tests/TestWatchdog.h"

using namespace tolvan;
using namespace tolvan::bench;
using namespace tolvan::test;

namespace {

// The values of fields 1 .. 14 of a row, in the form each type keeps exactly.
struct TRowValues {
  std::vector<AnsiString> Texts;
  std::vector<double> Times;
  std::vector<int64_t> Numbers;
};

TRowValues Snapshot(TTolvanTable& Table) {
  TRowValues Row;
  for (int32_t F = 1; F < Table.Fields().Count(); ++F) {
    const TField& Field = Table.Fields()[F];
    switch (Field.DataType()) {
    case ftDateTime:
      Row.Times.push_back(Field.AsDateTime());
      break;
    case ftCurrency:
      Row.Numbers.push_back(Field.AsCurrency().Scaled);
      break;
    case ftInteger:
      Row.Numbers.push_back(Field.AsInteger());
      break;
    default:
      Row.Texts.push_back(Field.AsString());
      break;
    }
  }
  return Row;
}

bool SameRow(const TRowValues& A, const TRowValues& B) {
  return A.Texts == B.Texts && A.Times == B.Times && A.Numbers == B.Numbers;
}

// Create, insert, close, save (Compression), delete, load, then every row as posted.
void RunTable(const std::string& SessionName, const std::string& TableName, int32_t Rows,
              uint8_t Compression) {
  TComponentPtr<TTolvanTable> Table = MakeComponent<TTolvanTable>();
  Table->SetSessionName(SessionName);
  Table->SetTableName(TableName);
  DefineTestTable(*Table);
  Table->Open();
  std::vector<TRowValues> Posted;
  Posted.reserve(static_cast<size_t>(Rows));
  FillTestTable(*Table, Rows, [&](TTolvanTable& T, int32_t) { Posted.push_back(Snapshot(T)); });
  Table->Close();

  TTolvanMemoryStream Stream;
  Table->SaveToStream(Stream, Compression, Compression ? 6 : 0, RowBenchSaveOption);
  Table->DeleteTable(true);
  if (Table->Exists())
    throw std::runtime_error(TableName + " still exists after the delete");
  Stream.SetPosition(0);
  Table->LoadFromStream(Stream);
  if (Table->TableName() != TableName)
    throw std::runtime_error("loaded as " + Table->TableName());

  Table->Open();
  Table->SetIndexName("PK");
  int32_t Id = 0;
  for (Table->First(); !Table->Eof(); Table->Next()) {
    ++Id;
    if (Id > Rows || Table->Fields()[0].AsInteger() != Id)
      throw std::runtime_error(TableName + ": unexpected id at row " + std::to_string(Id));
    if (!SameRow(Snapshot(*Table), Posted[static_cast<size_t>(Id - 1)]))
      throw std::runtime_error(TableName + ": row " + std::to_string(Id) + " differs");
  }
  if (Id != Rows)
    throw std::runtime_error(TableName + ": " + std::to_string(Id) + " rows loaded");
  Table->Close();
}

// Six threads released together, each with its own session and table: one saves with PPM, one
// with zlib, the rest uncompressed.
TEST(RowBenchThreads, SixTablesThroughThePhasesAtOnce) {
  TWatchdog Watchdog(240);
  TComponentRegistriesScope Registries;
  constexpr int Threads = 6;
  constexpr int32_t Rows = 2000;
  std::latch Start(Threads);
  std::atomic<int> Failures{0};
  std::vector<std::thread> Workers;
  for (int T = 0; T < Threads; ++T)
    Workers.emplace_back([&, T] {
      try {
        TComponentPtr<TTolvanSession> Session(TTolvanSession::Create(nullptr));
        const std::string SessionName = "RowBench" + std::to_string(T);
        Session->SetSessionName(SessionName);
        const uint8_t Compression = T == 0 ? 3 : T == 1 ? 1 : 0;
        Start.arrive_and_wait();
        RunTable(SessionName, "test" + std::to_string(T), Rows, Compression);
        if (Session->DatabaseCount() != 0)
          throw std::runtime_error("a temporary database is left");
      } catch (const std::exception& E) {
        std::fprintf(stderr, "thread %d: %s\n", T, E.what());
        ++Failures;
      }
    });
  for (std::thread& W : Workers)
    W.join();
  EXPECT_EQ(Failures.load(), 0);
  EXPECT_EQ(DefaultSession()->DatabaseCount(), 0);
}

} // namespace
