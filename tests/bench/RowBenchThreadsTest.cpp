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
#include "components/TolvanDefs.h"
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
    case ftLargeint:
      Row.Numbers.push_back(Field.AsLargeInt());
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

// The test table TableName in the session, filled with Rows rows (each as posted into Posted),
// closed.
void CreateAndFill(TTolvanTable& Table, const std::string& SessionName,
                   const std::string& TableName, int32_t Rows, std::vector<TRowValues>& Posted) {
  Table.SetSessionName(SessionName);
  Table.SetTableName(TableName);
  DefineTestTable(Table);
  Table.Open();
  Posted.reserve(static_cast<size_t>(Rows));
  FillTestTable(Table, Rows, [&](TTolvanTable& T, int32_t) { Posted.push_back(Snapshot(T)); });
  Table.Close();
}

// Create, insert, close, save (Compression), delete, load, then every row as posted.
void RunTable(const std::string& SessionName, const std::string& TableName, int32_t Rows,
              uint8_t Compression) {
  TComponentPtr<TTolvanTable> Table = MakeComponent<TTolvanTable>();
  std::vector<TRowValues> Posted;
  CreateAndFill(*Table, SessionName, TableName, Rows, Posted);

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

// Create and fill as RunTable does, then a restructure: str5 dropped, int4 widened to a large
// integer, a text column added; every row keeps its values.
void RestructureTable(const std::string& SessionName, const std::string& TableName, int32_t Rows) {
  TComponentPtr<TTolvanTable> Table = MakeComponent<TTolvanTable>();
  std::vector<TRowValues> Posted;
  CreateAndFill(*Table, SessionName, TableName, Rows, Posted);

  Table->IndexDefs().SetUpdated(false);
  Table->IndexDefs().Update();
  Table->StoredAdvFieldDefs().Delete("str5");
  Table->StoredAdvFieldDefs().Find("int4")->SetFieldType(tftLargeInt);
  Table->StoredAdvFieldDefs().Add("extra", tftVarchar, 10, false);
  std::string Log;
  if (!Table->RestructureTable(Log))
    throw std::runtime_error(TableName + ": restructure failed: " + Log);

  Table->Open();
  if (Table->FindField("str5") || Table->FieldByName("int4").DataType() != ftLargeint)
    throw std::runtime_error(TableName + ": the table keeps its old shape");
  Table->SetIndexName("PK");
  int32_t Id = 0;
  for (Table->First(); !Table->Eof(); Table->Next()) {
    ++Id;
    if (Id > Rows || Table->Fields()[0].AsInteger() != Id)
      throw std::runtime_error(TableName + ": unexpected id at row " + std::to_string(Id));
    if (!Table->FieldByName("extra").IsNull())
      throw std::runtime_error(TableName + ": the new column holds a value");
    TRowValues Expected = Posted[static_cast<size_t>(Id - 1)];
    Expected.Texts.back() = ""; // str5 gone, the new text column empty
    if (!SameRow(Snapshot(*Table), Expected))
      throw std::runtime_error(TableName + ": row " + std::to_string(Id) + " differs");
  }
  if (Id != Rows)
    throw std::runtime_error(TableName + ": " + std::to_string(Id) + " rows after restructure");
  Table->Close();
}

// The release 3.90 tests compile this suite again with a fixture of that release.
#ifndef TOLVAN_THREAD_SUITE_FIXTURE
struct RowBenchThreadsFixture : ::testing::Test {};
#define TOLVAN_THREAD_SUITE_FIXTURE RowBenchThreadsFixture
#endif
using RowBenchThreads = TOLVAN_THREAD_SUITE_FIXTURE;

// Six threads released together, each with its own session and table: one saves with PPM, one
// with zlib, the rest uncompressed. A seventh restructures a table of its own meanwhile.
TEST_F(RowBenchThreads, SixTablesThroughThePhasesAndARestructureAtOnce) {
  TWatchdog Watchdog(240);
  TComponentRegistriesScope Registries;
  constexpr int Threads = 6;
  constexpr int32_t Rows = 2000;
  std::latch Start(Threads + 1);
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
        // A session may keep its temporary databases connected until it deactivates.
        Session->SetActive(false);
        if (Session->DatabaseCount() != 0)
          throw std::runtime_error("a temporary database is left");
      } catch (const std::exception& E) {
        std::fprintf(stderr, "thread %d: %s\n", T, E.what());
        ++Failures;
      }
    });
  Workers.emplace_back([&] {
    try {
      TComponentPtr<TTolvanSession> Session(TTolvanSession::Create(nullptr));
      Session->SetSessionName("RowBenchRestructure");
      Start.arrive_and_wait();
      RestructureTable("RowBenchRestructure", "restructured", Rows);
      Session->SetActive(false);
      if (Session->DatabaseCount() != 0)
        throw std::runtime_error("a temporary database is left");
    } catch (const std::exception& E) {
      std::fprintf(stderr, "restructuring thread: %s\n", E.what());
      ++Failures;
    }
  });
  for (std::thread& W : Workers)
    W.join();
  EXPECT_EQ(Failures.load(), 0);
  EXPECT_EQ(DefaultSession()->DatabaseCount(), 0);
}

} // namespace
