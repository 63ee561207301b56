// Arbitrary text as an SQL script through the query component, over two small MEMORY tables made
// afresh for every input (a statement may change or drop them). Each script is opened, its rows
// and fields read; a script with parameters runs a second time with other values (kept
// commands re-run); a script that does not open is run once more through ExecSQL. Only
// Exception-derived errors may come out; a crash, a hang, a leak or any other error is a finding.
// The first byte picks the release (FuzzRelease.h): an input of the other release than the last
// one stops the registries, selects its release and starts them again.
//
// A statement's work can be exponential in its text (ten cross-joined copies of a table); rows
// read per open are capped, and the tables stay small so that such a text still ends quickly.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "classlib/Components.h"
#include "classlib/DBFields.h"
#include "classlib/DBParams.h"
#include "classlib/DateUtils.h"
#include "classlib/SysUtils.h"
#include "components/TolvanComponentStartup.h"
#include "components/TolvanQuery.h"
#include "components/TolvanTable.h"
#include "foundation/TolvanExcept.h"
#include "release390/TolvanRelease390.h"
#include "sql/TolvanSQLStartup.h"
#include "storage/TolvanDatabaseData.h"
#include "tools/fuzz/FuzzRelease.h"

using namespace tolvan;

namespace {

constexpr int32_t MaxRowsRead = 500;

// FUZZ_SQL_VERBOSE=1 prints each refusal and the rows read, for triage of a single input.
const bool Verbose = std::getenv("FUZZ_SQL_VERBOSE") != nullptr;

void Report(const char* Step, const Exception& E) {
  if (Verbose)
    std::fprintf(stderr, "%s: %s\n", Step, E.Message().c_str());
}

// a (id, name, x, d): 4 rows with a duplicate name and case variants, nulls in x and d;
// b (id, a_id, s): 3 rows, one pointing nowhere. Indexes on a.id (unique) and b.a_id.
void MakeTables() {
  FindDatabaseData(true, false, "MEMORY", u"")->FreeAllTables();
  {
    TComponentPtr<TTolvanTable> T = MakeComponent<TTolvanTable>();
    T->SetInMemory(true);
    T->SetTableName("a");
    T->AdvFieldDefs().Add("id", tftInteger, 0, false);
    T->AdvFieldDefs().Add("name", tftVarchar, 10, false);
    T->AdvFieldDefs().Add("x", tftDouble, 0, false);
    T->AdvFieldDefs().Add("d", tftDate, 0, false);
    T->CreateTable();
    T->Open();
    const struct {
      int32_t Id;
      const char* Name;
      double X;
      int32_t Day;
    } Rows[] = {{1, "abc", 1.5, 10}, {2, "ABC", -2, -1}, {3, "x'y", 0, 20}, {4, "abc", -1e300, 0}};
    for (const auto& R : Rows) {
      T->Append();
      T->FieldByName("id").SetAsInteger(R.Id);
      T->FieldByName("name").SetAsString(R.Name);
      if (R.X != 0)
        T->FieldByName("x").SetAsFloat(R.X);
      if (R.Day >= 0)
        T->FieldByName("d").SetAsDateTime(EncodeDate(2020, 1, 1) + R.Day);
      T->Post();
    }
    T->Close();
    T->AddIndex("a_id", "id", ixUnique);
  }
  {
    TComponentPtr<TTolvanTable> T = MakeComponent<TTolvanTable>();
    T->SetInMemory(true);
    T->SetTableName("b");
    T->AdvFieldDefs().Add("id", tftInteger, 0, false);
    T->AdvFieldDefs().Add("a_id", tftInteger, 0, false);
    T->AdvFieldDefs().Add("s", tftVarchar, 10, false);
    T->CreateTable();
    T->Open();
    const struct {
      int32_t Id, AId;
      const char* S;
    } Rows[] = {{1, 1, "p"}, {2, 1, ""}, {3, 9, "ABC"}};
    for (const auto& R : Rows) {
      T->Append();
      T->FieldByName("id").SetAsInteger(R.Id);
      T->FieldByName("a_id").SetAsInteger(R.AId);
      T->FieldByName("s").SetAsString(R.S);
      T->Post();
    }
    T->Close();
    T->AddIndex("b_a_id", "a_id", 0);
  }
}

// Round 0: integers, texts and nulls in turn; round 1: other values of the same kinds.
void SetParams(TParams& Params, int Round) {
  for (int32_t I = 0; I < Params.Count(); ++I) {
    TParam& P = Params.Items(I);
    switch ((I + Round) % 3) {
    case 0:
      P.SetAsInteger(Round == 0 ? 1 : 3);
      break;
    case 1:
      P.SetAsString(Round == 0 ? "abc" : "x'y");
      break;
    default:
      P.Clear();
      break;
    }
  }
}

// Opens the query and reads its rows; false when the open raised.
bool OpenAndRead(TTolvanQuery& Q) {
  try {
    Q.Open();
    int32_t Rows = 0;
    for (Q.First(); !Q.Eof() && Rows < MaxRowsRead; Q.Next(), ++Rows)
      for (int32_t F = 0; F < Q.Fields().Count(); ++F)
        (void)Q.Fields()[F].AsString();
    if (Verbose)
      std::fprintf(stderr, "open: %d row(s) of %d field(s)\n", Rows, Q.Fields().Count());
    Q.Close();
    return true;
  } catch (const Exception& E) {
    Report("open", E);
    try {
      Q.Close();
    } catch (const Exception&) {
    }
    return false;
  }
}

void RunScript(std::string_view Text) {
  TComponentPtr<TTolvanQuery> Q = MakeComponent<TTolvanQuery>();
  Q->SetDatabaseName("MEMORY");
  try {
    Q->SetSQLText(Text);
  } catch (const Exception&) {
    return;
  }
  SetParams(Q->Params(), 0);
  const bool Opened = OpenAndRead(*Q);
  if (Q->Params().Count() > 0) {
    SetParams(Q->Params(), 1);
    OpenAndRead(*Q);
  }
  if (!Opened) {
    try {
      Q->ExecSQL();
    } catch (const Exception& E) {
      Report("exec", E);
    }
  }
  try {
    Q->Unprepare();
  } catch (const Exception&) {
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  static const bool Started = [] {
    InstallRelease390();
    InitComponentRegistries();
    InitSQLLayer();
    return true;
  }();
  (void)Started;
  if (Size == 0)
    return 0;
  if (fuzz::SwitchNeeded(Data[0])) {
    FreeComponentRegistries();
    fuzz::SelectInputRelease(Data[0]);
    InitComponentRegistries();
  }
  MakeTables();
  RunScript(std::string_view(reinterpret_cast<const char*>(Data) + 1, Size - 1));
  return 0;
}
