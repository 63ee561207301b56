// The rowbench program end to end: the binary as built, copied into a fresh directory and run
// there, then its log and test.dat checked, test.dat loaded back in this process and saved
// again. Also the program's failures (an unusable log, an unwritable test.dat) and its locale.
#include <gtest/gtest.h>

#include <locale.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "bench/RowBench.h"
#include "classlib/DateUtils.h"
#include "components/TolvanComponentStartup.h"
#include "components/TolvanTable.h"
#include "foundation/TolvanStreams.h"
#include "tests/bench/support/RowBenchChecks.h"
#include "tests/bench/support/RunProgram.h"

using namespace tolvan;
using namespace tolvan::test;

namespace {

constexpr int TimeoutSeconds = 120;

// The program copied into a fresh directory, as a user would find it.
struct TInstalledProgram {
  TScratchDir Dir;
  std::string Exe = Dir / "rowbench";
  TInstalledProgram() { std::filesystem::copy_file(ROWBENCH_EXE, Exe); }
  TProgramResult Run(const std::string& Locale = "C") {
    return RunProgram(Exe, Dir.Path(), {"LC_ALL=" + Locale}, TimeoutSeconds);
  }
};

// Label, " time = ", two tabs, [0-9]{1,3}(Thousands[0-9]{3})*Decimal[0-9]{3}, CR LF.
bool IsLogLine(const std::string& Line, std::string_view Label, char Decimal, char Thousands) {
  const std::string Head = std::string(Label) + " time = \t\t";
  if (Line.rfind(Head, 0) != 0 || Line.size() < Head.size() + 7 ||
      Line.compare(Line.size() - 2, 2, "\r\n") != 0)
    return false;
  const std::string Number = Line.substr(Head.size(), Line.size() - Head.size() - 2);
  auto Digits = [&](size_t From, size_t Count) {
    for (size_t I = From; I < From + Count; ++I)
      if (I >= Number.size() || Number[I] < '0' || Number[I] > '9')
        return false;
    return true;
  };
  // The decimals, then the groups of the integer part from the right.
  const size_t Point = Number.size() - 4;
  if (Number[Point] != Decimal || !Digits(Point + 1, 3))
    return false;
  size_t End = Point;
  while (End > 4 && Number[End - 4] == Thousands) {
    if (!Digits(End - 3, 3))
      return false;
    End -= 4;
  }
  return End >= 1 && End <= 3 && Digits(0, End);
}

const char* const Labels[] = {"Create and open", "Insert", "Save", "Delete", "Load"};

bool LocaleInstalled(const char* Name) {
  const locale_t L = ::newlocale(LC_NUMERIC_MASK, Name, static_cast<locale_t>(nullptr));
  if (L == static_cast<locale_t>(nullptr))
    return false;
  ::freelocale(L);
  return true;
}

// The checker itself, on lines the log must and must not hold.
TEST(RowBenchLogForm, Checker) {
  EXPECT_TRUE(IsLogLine("Insert time = \t\t0.071\r\n", "Insert", '.', ','));
  EXPECT_TRUE(IsLogLine("Insert time = \t\t12,345.678\r\n", "Insert", '.', ','));
  EXPECT_TRUE(IsLogLine("Load time = \t\t1.234,500\r\n", "Load", ',', '.'));
  for (const char* Bad :
       {"Insert time = \t\t1234.567\r\n", "Insert time = \t0.071\r\n", "Insert time = \t\t0.07\r\n",
        "Insert time = \t\t0.071\n", "Insert time = \t\t.071\r\n", "Insert time = \t\t0,071\r\n",
        "Insert time = \t\t1,23.456\r\n", "Load time = \t\t0.071\r\n"})
    EXPECT_FALSE(IsLogLine(Bad, "Insert", '.', ',')) << Bad;
}

// One run, shared by the tests that only read what it left.
class RowBenchProgram : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    Program = new TInstalledProgram;
    // An old log from an earlier run: replaced, not extended.
    WriteFileBytes(Program->Dir / "log.txt", "old line\r\nanother\r\n");
    RunStart = Now();
    Result = new TProgramResult(Program->Run());
    RunEnd = Now();
  }
  static void TearDownTestSuite() {
    delete Result;
    delete Program;
  }

  static inline TInstalledProgram* Program = nullptr;
  static inline TProgramResult* Result = nullptr;
  static inline TDateTime RunStart = 0, RunEnd = 0;
};

TEST_F(RowBenchProgram, RunsQuietlyAndLogsFivePhases) {
  ASSERT_FALSE(Result->TimedOut);
  EXPECT_TRUE(Result->Exited);
  EXPECT_EQ(Result->Status, 0);
  EXPECT_EQ(Result->Out, "");
  EXPECT_EQ(Result->Err, "");

  const std::vector<std::string> Lines = SplitLines(ReadFileBytes(Program->Dir / "log.txt"));
  ASSERT_EQ(Lines.size(), 5u);
  for (size_t I = 0; I < Lines.size(); ++I)
    EXPECT_TRUE(IsLogLine(Lines[I], Labels[I], '.', ',')) << Lines[I];
}

TEST_F(RowBenchProgram, TestDatIsAnUncompressedTableStream) {
  ASSERT_EQ(Result->Status, 0);
  const std::string Bytes = ReadFileBytes(Program->Dir / "test.dat");
  ASSERT_GT(Bytes.size(), 55u);
  EXPECT_EQ(Hex(Bytes, 0, 4), "41 43 53 31");
  EXPECT_EQ(Hex(Bytes, 4, 8), "00 00 00 00 00 00 10 40");  // version 4.0
  EXPECT_EQ(Hex(Bytes, 12, 8), "20 4E 00 00 00 00 00 00"); // 20 000 records
  EXPECT_EQ(Hex(Bytes, 20, 16), "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00");
  EXPECT_EQ(Hex(Bytes, 36, 4), "00 00 10 00"); // the save's value, 1048576
  EXPECT_EQ(Hex(Bytes, 40, 3), "00 01 04");    // no compression, level 0 written as 1, name length
  EXPECT_EQ(Bytes.substr(43, 4), "test");
  int64_t Counter = 0;
  std::memcpy(&Counter, Bytes.data() + 47, 8);
  EXPECT_GT(Counter, 0);
}

// test.dat loaded in this process: the rows as the program's rules make them, and a save that
// gives the same bytes again but for the object-id counter.
TEST_F(RowBenchProgram, TestDatLoadsBackAsTheTable) {
  ASSERT_EQ(Result->Status, 0);
  const std::string Bytes = ReadFileBytes(Program->Dir / "test.dat");
  ASSERT_GT(Bytes.size(), 55u);
  TComponentRegistriesScope Registries;
  TTolvanMemoryStream Stream;
  Stream.WriteBuffer(Bytes.data(), static_cast<int64_t>(Bytes.size()));
  Stream.SetPosition(0);
  TComponentPtr<TTolvanTable> Table = MakeComponent<TTolvanTable>();
  Table->LoadFromStream(Stream);
  // Three draws come before the first row: the table's default name and the temporary
  // databases of the create and of the open.
  CheckRowBenchTable(*Table, RunStart, RunEnd,
                     {{"Test_71603.300497735", "Test_204342.03082998", "Test_42328.421935290",
                       "Test_462627.73278333", "Test_589298.76156929"},
                      12059715504,
                      316296138});

  TTolvanMemoryStream Again;
  Table->SaveToStream(Again, 0, 0, bench::RowBenchSaveOption);
  std::string Saved(static_cast<size_t>(Again.GetSize()), '\0');
  Again.SetPosition(0);
  Again.ReadBuffer(Saved.data(), static_cast<int64_t>(Saved.size()));
  ASSERT_EQ(Saved.size(), Bytes.size());
  EXPECT_EQ(Saved.substr(0, 47), Bytes.substr(0, 47));
  EXPECT_TRUE(Saved.substr(55) == Bytes.substr(55)) << "the bodies differ";
}

// A log that cannot be opened ends the run before any phase, after about a second of retries.
TEST(RowBenchProgramFailures, LogThatIsADirectory) {
  TInstalledProgram Program;
  std::filesystem::create_directory(Program.Dir / "log.txt");
  const TProgramResult Result = Program.Run();
  ASSERT_FALSE(Result.TimedOut);
  EXPECT_EQ(Result.Status, 1);
  EXPECT_LT(Result.Seconds, 3.0);
  EXPECT_EQ(Result.Err.rfind("rowbench: ", 0), 0u) << Result.Err;
  EXPECT_NE(Result.Err.find("log.txt"), std::string::npos) << Result.Err;
  EXPECT_EQ(Result.Out, "");
  EXPECT_FALSE(std::filesystem::exists(Program.Dir / "test.dat"));
}

// test.dat cannot be written: the phases that ended are in the log, the status is 1. Run from
// another directory: the log stays beside the program, test.dat is sought in the current one.
TEST(RowBenchProgramFailures, TestDatThatIsADirectory) {
  TInstalledProgram Program;
  const std::string Work = Program.Dir / "work";
  std::filesystem::create_directories(Work + "/test.dat");
  const TProgramResult Result = RunProgram(Program.Exe, Work, {"LC_ALL=C"}, TimeoutSeconds);
  ASSERT_FALSE(Result.TimedOut);
  EXPECT_EQ(Result.Status, 1);
  EXPECT_EQ(Result.Err.rfind("rowbench: ", 0), 0u) << Result.Err;
  EXPECT_NE(Result.Err.find("test.dat"), std::string::npos) << Result.Err;
  const std::vector<std::string> Lines = SplitLines(ReadFileBytes(Program.Dir / "log.txt"));
  ASSERT_EQ(Lines.size(), 3u);
  for (size_t I = 0; I < Lines.size(); ++I)
    EXPECT_TRUE(IsLogLine(Lines[I], Labels[I], '.', ',')) << Lines[I];
  EXPECT_FALSE(std::filesystem::exists(Work + "/log.txt"));
  EXPECT_TRUE(std::filesystem::is_directory(Work + "/test.dat"));
}

// The log and the text values take the locale's decimal separator.
TEST(RowBenchProgramLocale, CommaDecimalLocale) {
  const char* Locale = nullptr;
  for (const char* Name : {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "fr_FR.utf8"})
    if (!Locale && LocaleInstalled(Name))
      Locale = Name;
  if (!Locale)
    GTEST_SKIP() << "no comma-decimal locale installed";
  TInstalledProgram Program;
  const TProgramResult Result = Program.Run(Locale);
  ASSERT_EQ(Result.Status, 0) << Result.Err;
  const std::vector<std::string> Lines = SplitLines(ReadFileBytes(Program.Dir / "log.txt"));
  ASSERT_EQ(Lines.size(), 5u);
  for (size_t I = 0; I < Lines.size(); ++I)
    EXPECT_TRUE(IsLogLine(Lines[I], Labels[I], ',', '.')) << Lines[I];

  const std::string Bytes = ReadFileBytes(Program.Dir / "test.dat");
  EXPECT_NE(Bytes.find("Test_71603,300497735"), std::string::npos);
}

} // namespace
