// The rowbench routines on their own: the log's name and lines, the locale separator mapping,
// the elapsed-time text and the row value generators against the first row's known values.
#include "bench/RowBench.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "classlib/Classes.h"
#include "foundation/TolvanTypes.h"
#include "tests/bench/support/RunProgram.h"

using namespace tolvan;
using namespace tolvan::bench;
using namespace tolvan::test;

namespace {

TEST(RowBenchLog, LogFileName) {
  struct TCase {
    const char* Exe;
    const char* Argv0;
    const char* Expected;
  };
  const TCase Cases[] = {
      {"/opt/tolvan/bin/rowbench", "./rowbench", "/opt/tolvan/bin/log.txt"},
      {"/rowbench", "rowbench", "/log.txt"},
      {"", "build/release/bench/rowbench", "build/release/bench/log.txt"},
      {"", "/usr/local/bin/rowbench", "/usr/local/bin/log.txt"},
      {"", "rowbench", "log.txt"}, // found on the PATH: the current directory
      {"", "", "log.txt"},
      {"rowbench", "a/rowbench", "a/log.txt"}, // an exe path without a directory is no path
      {"/a b/c/rowbench (deleted)", "", "/a b/c/log.txt"},
  };
  for (const TCase& C : Cases)
    EXPECT_EQ(GetLogFileName(C.Exe, C.Argv0), C.Expected) << C.Exe << " | " << C.Argv0;
  // The running test's own path is absolute.
  const std::string Self = ReadExePath();
  ASSERT_FALSE(Self.empty());
  EXPECT_EQ(Self[0], '/');
  EXPECT_TRUE(std::filesystem::exists(Self));
}

TEST(RowBenchLog, TruncateAndAppendWholeLines) {
  TScratchDir Dir;
  const std::string Log = Dir / "log.txt";
  TruncateLog(Log); // creates
  EXPECT_EQ(ReadFileBytes(Log), "");
  WriteFileBytes(Log, "old\r\n");
  TruncateLog(Log); // replaces
  AppendToLog(Log, "a\t\t1.000");
  AppendToLog(Log, "");
  EXPECT_EQ(ReadFileBytes(Log), "a\t\t1.000\r\n\r\n");
}

// Lines appended from several threads at once each arrive whole.
TEST(RowBenchLog, ConcurrentAppendsDoNotInterleave) {
  TScratchDir Dir;
  const std::string Log = Dir / "log.txt";
  constexpr int Threads = 4, Lines = 50;
  std::vector<std::thread> Writers;
  for (int T = 0; T < Threads; ++T)
    Writers.emplace_back([&, T] {
      const std::string Line(200, static_cast<char>('a' + T));
      for (int I = 0; I < Lines; ++I)
        AppendToLog(Log, Line);
    });
  for (std::thread& W : Writers)
    W.join();
  const std::string Text = ReadFileBytes(Log);
  ASSERT_EQ(Text.size(), size_t(Threads * Lines * 202));
  for (size_t At = 0; At < Text.size(); At += 202) {
    EXPECT_EQ(Text.substr(At, 200), std::string(200, Text[At])) << At;
    EXPECT_EQ(Text.substr(At + 200, 2), "\r\n") << At;
  }
}

// An unopenable log is retried for about a second, then named in the error with the reason.
TEST(RowBenchLog, UnopenableLogRaisesNamingTheFile) {
  TScratchDir Dir;
  const std::string Log = Dir / "missing-dir/log.txt";
  const auto Start = std::chrono::steady_clock::now();
  try {
    AppendToLog(Log, "x");
    FAIL() << "no error";
  } catch (const EOSError& E) {
    EXPECT_NE(E.Message().find(Log), std::string::npos) << E.Message();
    EXPECT_NE(E.Message().find("No such file or directory"), std::string::npos) << E.Message();
  }
  const double Seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - Start).count();
  EXPECT_GE(Seconds, 0.9);
  EXPECT_LT(Seconds, 2.0);
}

TEST(RowBenchLog, ElapsedText) {
  struct TCase {
    uint32_t Ms;
    const char* Comma; // default settings
    const char* German;
  };
  const TCase Cases[] = {
      {0, "0.000", "0,000"},
      {7, "0.007", "0,007"},
      {999, "0.999", "0,999"},
      {1000, "1.000", "1,000"},
      {1234567, "1,234.567", "1.234,567"},
      {4294967295u, "4,294,967.295", "4.294.967,295"}, // the largest tick difference
  };
  TFormatSettings& Settings = FormatSettings();
  const TFormatSettings Saved = Settings;
  for (const TCase& C : Cases) {
    EXPECT_EQ(FormatElapsed(C.Ms), C.Comma);
    Settings.DecimalSeparator = ',';
    Settings.ThousandSeparator = '.';
    EXPECT_EQ(FormatElapsed(C.Ms), C.German);
    Settings = Saved;
  }
  // The difference is taken modulo 2^32, so a tick counter that wrapped still gives the time.
  const uint32_t Before = 4294967000u, After = 704u;
  EXPECT_EQ(FormatElapsed(After - Before), "1.000");
}

TEST(RowBenchLocale, SeparatorMapping) {
  struct TCase {
    const char* Text;
    bool Utf8;
    bool Mapped;
    char Expected;
  };
  const TCase Cases[] = {
      {".", true, true, '.'},
      {",", true, true, ','},
      {"'", true, true, '\''},
      {"", true, false, 0}, // the C locale's thousands separator
      {"", false, false, 0},
      {"\xC2\xA0", true, true, '\xA0'},     // no-break space (fr_FR, ...)
      {"\xE2\x80\x99", true, true, '\x92'}, // right single quotation mark (de_CH)
      {"\xE2\x80\xAF", true, false, 0},     // narrow no-break space: not in the code page
      {"\xD9\xAC", true, false, 0},         // Arabic thousands separator
      {"..", true, false, 0},               // two characters
      {"\xC2", true, false, 0},             // a cut sequence
      {"\xC0\xAE", true, false, 0},         // an overlong '.'
      {"\xED\xA0\x80", true, false, 0},     // a surrogate
      {"\xF0\x9F\x98\x80", true, false, 0}, // beyond the basic plane
      {"\xA0", false, false, 0},            // a byte of an unknown code set
      {",", false, true, ','},
  };
  for (const TCase& C : Cases) {
    char Result = 'x';
    EXPECT_EQ(MapLocaleSeparator(C.Text, C.Utf8, Result), C.Mapped) << C.Text;
    EXPECT_EQ(Result, C.Mapped ? C.Expected : 'x') << C.Text;
  }
}

// The C locale leaves the settings' defaults; nothing else of the process changes.
TEST(RowBenchLocale, ReadSeparatorsOfTheCLocale) {
  const char* Old = std::getenv("LC_ALL");
  const std::string Saved = Old ? Old : "";
  ::setenv("LC_ALL", "C", 1);
  TFormatSettings Settings;
  Settings.DecimalSeparator = '#';
  Settings.ThousandSeparator = '~';
  ReadLocaleSeparators(Settings);
  EXPECT_EQ(Settings.DecimalSeparator, '.');
  EXPECT_EQ(Settings.ThousandSeparator, '~'); // C has none
  if (Old)
    ::setenv("LC_ALL", Saved.c_str(), 1);
  else
    ::unsetenv("LC_ALL");
}

// The generators from the generator's state at the program's first row (three draws made):
// the values of row 1 in field order, five texts then two currencies.
TEST(RowBenchValues, FirstRowFromThreeDrawsIn) {
  const uint32_t Saved = RandSeed();
  SetRandSeed(0);
  for (int I = 0; I < 3; ++I)
    RandomFraction();
  std::string Buffer;
  const char* Texts[] = {"Test_71603.300497735", "Test_204342.03082998", "Test_42328.421935290",
                         "Test_462627.73278333", "Test_589298.76156929"};
  for (const char* Expected : Texts) {
    const std::string Text(NextTextValue(1, Buffer));
    // The column keeps 20 characters.
    EXPECT_EQ(Text.substr(0, 20), Expected);
  }
  EXPECT_EQ(NextCurrencyValue(1), Currency::FromScaled(12059715504));
  EXPECT_EQ(NextCurrencyValue(1), Currency::FromScaled(316296138));
  SetRandSeed(Saved);
}

} // namespace
