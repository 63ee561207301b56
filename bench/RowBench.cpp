#include "bench/RowBench.h"

#include <fcntl.h>
#include <langinfo.h>
#include <locale.h>
#include <sched.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <exception>
#include <system_error>
#include <thread>

#include "classlib/Classes.h"
#include "classlib/DBFields.h"
#include "classlib/DateUtils.h"
#include "components/TolvanComponentStartup.h"
#include "components/TolvanDefs.h"
#include "components/TolvanTable.h"
#include "foundation/TolvanStreams.h"
#include "foundation/TolvanTypes.h"
#include "platform/TolvanPlatform.h"

namespace tolvan::bench {

std::string_view RowBenchPhaseLabel(TRowBenchPhase Phase) noexcept {
  switch (Phase) {
  case rbCreateAndOpen:
    return "Create and open time = \t\t";
  case rbInsert:
    return "Insert time = \t\t";
  case rbSave:
    return "Save time = \t\t";
  case rbDelete:
    return "Delete time = \t\t";
  case rbLoad:
    return "Load time = \t\t";
  default:
    return {};
  }
}

// --- the table and its rows -----------------------------------------------------------------

void DefineTestTable(TTolvanTable& Table) {
  Table.FieldDefs().Clear();
  Table.AdvFieldDefs().Clear();
  Table.IndexDefs().Clear();
  Table.EngineIndexDefs().Clear();
  Table.ForeignKeyDefs().Clear();

  TTolvanAdvFieldDefs& Fields = Table.AdvFieldDefs();
  Fields.Add("id", tftAutoInc, 0, false);
  Fields.Add("int1", tftInteger, 0, true);
  Fields.Add("int2", tftInteger, 0, false);
  Fields.Add("int3", tftInteger, 0, true);
  Fields.Add("int4", tftInteger, 0, false);
  Fields.Add("str1", tftChar, 20, true);
  Fields.Add("str2", tftChar, 20, true);
  Fields.Add("str3", tftChar, 20, false);
  Fields.Add("str4", tftChar, 20, false);
  Fields.Add("str5", tftChar, 20, false);
  Fields.Add("dt1", tftDateTime, 0, true);
  Fields.Add("dt2", tftDateTime, 0, false);
  Fields.Add("dt3", tftDateTime, 0, false);
  Fields.Add("m1", tftCurrency, 0, false);
  Fields.Add("m2", tftCurrency, 0, false);

  TIndexDefs& Indexes = Table.IndexDefs();
  Indexes.Add("PK", "id", ixPrimary);
  Indexes.Add("i1", "int1", ixUnique);
  Indexes.Add("i2", "m1", 0);
  Indexes.Add("i3", "dt1", 0);
  Indexes.Add("i4", "str2", ixUnique);

  Table.CreateTable();
}

namespace {

// x / ((y + 0.01) * i), x = 100000 * draw and y = draw, drawn in that order. The arithmetic is
// Extended throughout: a double quotient would change the text of a few hundred strings.
long double NextQuotient(int32_t Row) {
  const long double X = RandomFraction() * 100000.0L;
  const long double Y = RandomFraction();
  return X / ((Y + 0.01L) * static_cast<long double>(Row));
}

// How FillTestTable writes a field, chosen once per table rather than per row.
enum class TValueKind : uint8_t { Currency, Integer, DateTime, Text };

TValueKind KindOf(TFieldType Type) {
  switch (Type) {
  case ftCurrency:
    return TValueKind::Currency;
  case ftSmallint:
  case ftInteger:
  case ftWord:
  case ftLargeint:
  case ftAutoInc:
    return TValueKind::Integer;
  case ftDateTime:
    return TValueKind::DateTime;
  default:
    return TValueKind::Text;
  }
}

} // namespace

Currency NextCurrencyValue(int32_t Row) { return FloatToCurr(NextQuotient(Row)); }

std::string_view NextTextValue(int32_t Row, std::string& Buffer) {
  const long double Value = NextQuotient(Row);
  Buffer.assign("Test_");
  Buffer += FloatToStr(Value);
  return Buffer;
}

void FillTestTable(TTolvanTable& Table, int32_t RowCount, const TRowObserver& Observer) {
  struct TTarget {
    TField* Field;
    TValueKind Kind;
  };
  std::vector<TTarget> Targets;
  const TFields& Fields = Table.Fields();
  for (int32_t F = 1; F < Fields.Count(); ++F)
    Targets.push_back({&Fields[F], KindOf(Fields[F].DataType())});

  std::string Text;
  for (int32_t I = 1; I <= RowCount; ++I) {
    Table.Insert();
    for (const TTarget& T : Targets) {
      switch (T.Kind) {
      case TValueKind::Currency:
        T.Field->SetAsCurrency(NextCurrencyValue(I));
        break;
      case TValueKind::Integer:
        T.Field->SetAsInteger(I);
        break;
      case TValueKind::DateTime:
        T.Field->SetAsDateTime(Now());
        break;
      case TValueKind::Text:
        T.Field->SetAsString(NextTextValue(I, Text));
        break;
      }
    }
    if (Observer)
      Observer(Table, I);
    Table.Post();
  }
}

// --- the log -----------------------------------------------------------------------------------

namespace {

std::string_view DirectoryOf(std::string_view Path) {
  const size_t Slash = Path.rfind('/');
  return Slash == std::string_view::npos ? std::string_view() : Path.substr(0, Slash + 1);
}

std::string SystemReason(int Error) {
  return std::error_code(Error, std::system_category()).message();
}

[[noreturn]] void RaiseFileError(int Error, std::string_view What, const std::string& FileName) {
  throw EOSError(Error, std::string(What) + " \"" + FileName + "\": " + SystemReason(Error));
}

// Opens the log with Flags. A failing open is retried for about a second, first after yielding
// the processor and then every 10 ms, so that a passing condition (descriptors exhausted for a
// moment, the file being replaced) does not end the run; a lasting one raises with its reason
// instead of hanging the program.
int OpenLog(const std::string& FileName, int Flags) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point Deadline = Clock::now() + std::chrono::seconds(1);
  bool Yielded = false;
  for (;;) {
    const int Handle = ::open(FileName.c_str(), Flags | O_CLOEXEC, 0666);
    if (Handle >= 0)
      return Handle;
    const int Error = errno;
    if (Error != EINTR) {
      if (Clock::now() >= Deadline)
        RaiseFileError(Error, "Cannot open log file", FileName);
      if (!Yielded) {
        sched_yield();
        Yielded = true;
      } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
    }
  }
}

// Closes the handle on every path; a failed close is reported unless another failure is
// already on its way.
class TLogHandle {
public:
  explicit TLogHandle(int Handle) noexcept : FHandle(Handle) {}
  ~TLogHandle() {
    if (FHandle >= 0)
      ::close(FHandle);
  }
  TLogHandle(const TLogHandle&) = delete;
  TLogHandle& operator=(const TLogHandle&) = delete;
  int Get() const noexcept { return FHandle; }
  void Close(const std::string& FileName) {
    const int Handle = FHandle;
    FHandle = -1;
    if (::close(Handle) != 0 && errno != EINTR)
      RaiseFileError(errno, "Cannot close log file", FileName);
  }

private:
  int FHandle;
};

} // namespace

AnsiString GetLogFileName(std::string_view ExePath, std::string_view Argv0) {
  std::string_view Directory = DirectoryOf(ExePath);
  if (Directory.empty())
    Directory = DirectoryOf(Argv0);
  return AnsiString(Directory) + "log.txt";
}

std::string ReadExePath() {
  std::string Path(256, '\0');
  for (;;) {
    const ssize_t N = ::readlink("/proc/self/exe", Path.data(), Path.size());
    if (N < 0)
      return {};
    if (static_cast<size_t>(N) < Path.size()) {
      Path.resize(static_cast<size_t>(N));
      return Path;
    }
    if (Path.size() >= 65536)
      return {};
    Path.resize(Path.size() * 2);
  }
}

void TruncateLog(const std::string& FileName) {
  TLogHandle Handle(OpenLog(FileName, O_WRONLY | O_CREAT | O_TRUNC));
  Handle.Close(FileName);
}

void AppendToLog(const std::string& FileName, std::string_view Line) {
  std::string Text;
  Text.reserve(Line.size() + 2);
  Text.append(Line).append("\r\n");
  TLogHandle Handle(OpenLog(FileName, O_WRONLY | O_APPEND | O_CREAT));
  const char* Next = Text.data();
  size_t Left = Text.size();
  while (Left > 0) {
    const ssize_t Written = ::write(Handle.Get(), Next, Left);
    if (Written < 0) {
      if (errno == EINTR)
        continue;
      RaiseFileError(errno, "Cannot write log file", FileName);
    }
    Next += Written;
    Left -= static_cast<size_t>(Written);
  }
  Handle.Close(FileName);
}

std::string FormatElapsed(uint32_t Milliseconds) {
  return FormatFloat("#,##0.000", static_cast<long double>(Milliseconds) / 1000.0L);
}

// --- the locale's separators --------------------------------------------------------------------

bool MapLocaleSeparator(std::string_view Text, bool Utf8, char& Result) noexcept {
  if (Text.empty())
    return false;
  if (!Utf8) {
    // Only ASCII means the same in every single-byte code set.
    if (Text.size() != 1 || static_cast<unsigned char>(Text[0]) >= 0x80)
      return false;
    Result = Text[0];
    return true;
  }
  // One UTF-8 sequence of one code point below U+10000, its length as its lead byte says.
  const auto Lead = static_cast<unsigned char>(Text[0]);
  size_t Length;
  char32_t Code;
  if (Lead < 0x80) {
    Length = 1;
    Code = Lead;
  } else if ((Lead & 0xE0) == 0xC0) {
    Length = 2;
    Code = Lead & 0x1F;
  } else if ((Lead & 0xF0) == 0xE0) {
    Length = 3;
    Code = Lead & 0x0F;
  } else {
    return false;
  }
  if (Text.size() != Length)
    return false;
  for (size_t I = 1; I < Length; ++I) {
    const auto Next = static_cast<unsigned char>(Text[I]);
    if ((Next & 0xC0) != 0x80)
      return false;
    Code = (Code << 6) | (Next & 0x3F);
  }
  // Overlong forms and surrogates are no character.
  if ((Length == 2 && Code < 0x80) || (Length == 3 && Code < 0x800) ||
      (Code >= 0xD800 && Code <= 0xDFFF) || Code == 0)
    return false;
  const char Mapped = WideCharToAnsi(static_cast<char16_t>(Code));
  if (AnsiCharToWide(static_cast<unsigned char>(Mapped)) != static_cast<char16_t>(Code))
    return false;
  Result = Mapped;
  return true;
}

void ReadLocaleSeparators(TFormatSettings& Settings) {
  const locale_t Locale = ::newlocale(LC_NUMERIC_MASK, "", static_cast<locale_t>(nullptr));
  if (Locale == static_cast<locale_t>(nullptr))
    return;
  const char* CodeSet = ::nl_langinfo_l(CODESET, Locale);
  const bool Utf8 =
      CodeSet && (std::strcmp(CodeSet, "UTF-8") == 0 || std::strcmp(CodeSet, "utf8") == 0);
  char Separator;
  const char* Decimal = ::nl_langinfo_l(RADIXCHAR, Locale);
  if (Decimal && MapLocaleSeparator(Decimal, Utf8, Separator))
    Settings.DecimalSeparator = Separator;
  const char* Thousands = ::nl_langinfo_l(THOUSEP, Locale);
  if (Thousands && MapLocaleSeparator(Thousands, Utf8, Separator))
    Settings.ThousandSeparator = Separator;
  ::freelocale(Locale);
}

// --- the whole run
// --------------------------------------------------------------------------------

namespace {

// Times one phase by the millisecond tick and logs it.
template <class F> void TimePhase(TRowBenchRun& Run, TRowBenchPhase Phase, F&& Body) {
  const auto Began = std::chrono::steady_clock::now();
  const uint32_t Start = GetTickCount();
  Body();
  const uint32_t Elapsed = GetTickCount() - Start;
  Run.Seconds[Phase] =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - Began).count();
  Run.Milliseconds[Phase] = Elapsed;
  if (!Run.LogFileName.empty()) {
    std::string Line(RowBenchPhaseLabel(Phase));
    Line += FormatElapsed(Elapsed);
    AppendToLog(Run.LogFileName, Line);
  }
}

} // namespace

void RunRowBench(TRowBenchRun& Run) {
  TComponentPtr<TTolvanTable> Table = MakeComponent<TTolvanTable>();
  TTolvanMemoryStream Stream;
  Table->SetTableName("test");

  TimePhase(Run, rbCreateAndOpen, [&] {
    DefineTestTable(*Table);
    Table->Open();
  });
  TimePhase(Run, rbInsert, [&] { FillTestTable(*Table, Run.RowCount); });
  Table->Close();
  TimePhase(Run, rbSave, [&] { Table->SaveToStream(Stream, 0, 0, RowBenchSaveOption); });

  Stream.SetPosition(0);
  if (!Run.DataFileName.empty())
    Stream.SaveToFile(Run.DataFileName);
  if (Run.StreamImage) {
    Run.StreamImage->resize(static_cast<size_t>(Stream.GetSize()));
    Stream.ReadBuffer(Run.StreamImage->data(), static_cast<int64_t>(Run.StreamImage->size()));
  }
  Stream.SetPosition(0);

  TimePhase(Run, rbDelete, [&] { Table->DeleteTable(true); });
  TimePhase(Run, rbLoad, [&] { Table->LoadFromStream(Stream); });
  // Freed here so that a failing teardown fails the run; on a failure above the holder frees it.
  Table.release()->Free();
}

// --- the program ------------------------------------------------------------------------------

namespace {

// The message of the exception being handled.
std::string CurrentMessage() {
  try {
    throw;
  } catch (const std::exception& E) {
    return E.what();
  } catch (...) {
    return "Unknown error";
  }
}

} // namespace

int RowBenchMain(int Argc, char** Argv, std::string_view ProgramName) {
  // The separators follow the user's LC_NUMERIC; the rest of the settings stay fixed.
  ReadLocaleSeparators(FormatSettings());

  std::string Failure;
  try {
    const std::string LogFileName = GetLogFileName(ReadExePath(), Argc > 0 ? Argv[0] : "");
    // Before the engine starts, so an unusable log ends the run before any phase.
    TruncateLog(LogFileName);
    InitComponentRegistries();
    TRowBenchRun Run;
    Run.LogFileName = LogFileName;
    RunRowBench(Run);
  } catch (...) {
    Failure = CurrentMessage();
  }
  // Nothing when start-up did not run.
  try {
    FreeComponentRegistries();
  } catch (...) {
    if (Failure.empty())
      Failure = CurrentMessage();
  }
  if (!Failure.empty()) {
    std::fprintf(stderr, "%.*s: %s\n", static_cast<int>(ProgramName.size()), ProgramName.data(),
                 Failure.c_str());
    return 1;
  }
  return 0;
}

} // namespace tolvan::bench
