// rowbench-390 end to end: the program as built, copied into a fresh directory that holds an old
// log.txt, run there; its log, its test.dat (version 3.9), and test.dat loaded back in this
// process under both releases. Also rowbench's stream refused by 3.90, and the program's errors.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "bench/RowBench.h"
#include "classlib/DateUtils.h"
#include "components/TolvanComponentStartup.h"
#include "components/TolvanTable.h"
#include "foundation/TolvanExcept.h"
#include "foundation/TolvanStreams.h"
#include "tests/bench/support/RowBenchChecks.h"
#include "tests/bench/support/RunProgram.h"
#include "tests/release390/support/ReleaseScope.h"

using namespace tolvan;
using namespace tolvan::test;

namespace {

constexpr int TimeoutSeconds = 120;

void LoadInto(TTolvanTable& Table, const std::string& Bytes) {
  TTolvanMemoryStream Stream;
  Stream.WriteBuffer(Bytes.data(), static_cast<int64_t>(Bytes.size()));
  Stream.SetPosition(0);
  Table.LoadFromStream(Stream);
}

class RowBench390Program : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    Dir = new TScratchDir;
    const std::string Exe = *Dir / "rowbench-390";
    std::filesystem::copy_file(ROWBENCH390_EXE, Exe);
    WriteFileBytes(*Dir / "log.txt", "old line\r\nanother\r\n");
    RunStart = Now();
    Result = new TProgramResult(RunProgram(Exe, Dir->Path(), {"LC_ALL=C"}, TimeoutSeconds));
    RunEnd = Now();
  }
  static void TearDownTestSuite() {
    delete Result;
    delete Dir;
  }

  static inline TScratchDir* Dir = nullptr;
  static inline TProgramResult* Result = nullptr;
  static inline TDateTime RunStart = 0, RunEnd = 0;
};

TEST_F(RowBench390Program, RunsQuietlyAndWritesAVersion39Stream) {
  ASSERT_FALSE(Result->TimedOut);
  EXPECT_TRUE(Result->Exited);
  EXPECT_EQ(Result->Status, 0);
  EXPECT_EQ(Result->Out, "");
  EXPECT_EQ(Result->Err, "");

  const std::vector<std::string> Lines = SplitLines(ReadFileBytes(*Dir / "log.txt"));
  ASSERT_EQ(Lines.size(), 5u);
  const char* Labels[] = {"Create and open", "Insert", "Save", "Delete", "Load"};
  for (size_t I = 0; I < Lines.size(); ++I)
    EXPECT_EQ(Lines[I].rfind(std::string(Labels[I]) + " time = \t\t", 0), 0u) << Lines[I];

  const std::string Bytes = ReadFileBytes(*Dir / "test.dat");
  ASSERT_GT(Bytes.size(), 55u);
  EXPECT_EQ(Hex(Bytes, 0, 4), "41 43 53 31");
  EXPECT_EQ(Hex(Bytes, 4, 8), "33 33 33 33 33 33 0F 40"); // version 3.9
  EXPECT_EQ(Hex(Bytes, 12, 8), "20 4E 00 00 00 00 00 00");
  EXPECT_EQ(Hex(Bytes, 20, 16), "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00");
  EXPECT_EQ(Hex(Bytes, 36, 4), "00 00 10 00");
  EXPECT_EQ(Hex(Bytes, 40, 3), "00 01 04");
  EXPECT_EQ(Bytes.substr(43, 4), "test");
  int64_t Counter = 0;
  std::memcpy(&Counter, Bytes.data() + 47, 8);
  EXPECT_GT(Counter, 0);
}

// Two draws come before the first row: the table's default name and the one temporary "MEMORY"
// database, which 3.90 keeps connected for the open.
TEST_F(RowBench390Program, TestDatLoadsUnderBothReleases) {
  ASSERT_EQ(Result->Status, 0) << Result->Err;
  const std::string Bytes = ReadFileBytes(*Dir / "test.dat");
  const TRowBenchFirstRow First{{"Test_405044.95156559", "Test_40038.069109613",
                                 "Test_185506.21846337", "Test_85439.699729197",
                                 "Test_16916.90668212"},
                                82939369,
                                196916946};
  for (TTolvanReleaseId Id : BothReleases) {
    TReleaseScope Scope(Id);
    SCOPED_TRACE(Release().Name);
    TComponentPtr<TTolvanTable> Table = MakeComponent<TTolvanTable>();
    LoadInto(*Table, Bytes);
    CheckRowBenchTable(*Table, RunStart, RunEnd, First);
    Table->DeleteTable(true);
  }
}

// rowbench's stream (version 4.0, made here by the same routines) is refused by 3.90.
TEST(RowBench390Streams, ReleaseFourStreamRefused) {
  std::vector<uint8_t> Image;
  {
    TComponentRegistriesScope Registries;
    bench::TRowBenchRun Run;
    Run.DataFileName.clear();
    Run.RowCount = 10;
    Run.StreamImage = &Image;
    bench::RunRowBench(Run);
  }
  ASSERT_GT(Image.size(), 12u);
  const std::string Bytes(Image.begin(), Image.end());
  EXPECT_EQ(Hex(Bytes, 4, 8), "00 00 00 00 00 00 10 40");
  TReleaseScope Scope;
  TComponentPtr<TTolvanTable> Table = MakeComponent<TTolvanTable>();
  try {
    LoadInto(*Table, Bytes);
    FAIL() << "3.90 loaded a 4.00 stream";
  } catch (const ETolvanException& E) {
    EXPECT_EQ(E.NativeError(), 10162);
    EXPECT_NE(E.Message().find("Invalid version number = 4.000000. Should be 3.900000"),
              std::string::npos)
        << E.Message();
  }
}

// The program's own errors carry its name.
TEST(RowBench390ProgramFailures, LogThatIsADirectory) {
  TScratchDir Dir;
  const std::string Exe = Dir / "rowbench-390";
  std::filesystem::copy_file(ROWBENCH390_EXE, Exe);
  std::filesystem::create_directory(Dir / "log.txt");
  const TProgramResult Result = RunProgram(Exe, Dir.Path(), {"LC_ALL=C"}, TimeoutSeconds);
  ASSERT_FALSE(Result.TimedOut);
  EXPECT_EQ(Result.Status, 1);
  EXPECT_EQ(Result.Err.rfind("rowbench-390: ", 0), 0u) << Result.Err;
}

} // namespace
