// Dataset open and close: a dataset opened and closed on the rowbench table (15 columns, 5
// indexes) in "MEMORY", once through a client database that stays connected and once through a
// temporary database that the session makes at each open and frees at each close (with its
// engine session). The time per iteration is the cost of one open and close pair.
#include <benchmark/benchmark.h>

#include "classlib/Components.h"
#include "components/TolvanComponentStartup.h"
#include "components/TolvanDatabase.h"
#include "components/TolvanSession.h"
#include "tests/components/support/TestDataSet.h"

namespace {

using namespace tolvan;
using namespace tolvan::test;

// id AutoInc, int1-int4 Integer, str1-str5 Char(20), dt1-dt3 DateTime, m1-m2 Currency;
// PK(id) primary, i1(int1) unique, i2(m1), i3(dt1), i4(str2) unique; five columns NOT NULL.
void MakeRowTable() {
  TTolvanFieldDefs Fields;
  auto Field = [&](const char* Name, TTolvanFieldType Type, int32_t Size = 0) {
    TTolvanFieldDef& Def = Fields.AddNew();
    Def.SetName(Name);
    Def.SetType(Type, Size);
  };
  Field("id", tftAutoInc);
  for (const char* Name : {"int1", "int2", "int3", "int4"})
    Field(Name, tftInteger);
  for (const char* Name : {"str1", "str2", "str3", "str4", "str5"})
    Field(Name, tftChar, 20);
  for (const char* Name : {"dt1", "dt2", "dt3"})
    Field(Name, tftDateTime);
  for (const char* Name : {"m1", "m2"})
    Field(Name, tftCurrency);
  TTolvanIndexDefs Indexes;
  auto Index = [&](const char* Name, const char* Column, bool Unique, bool Primary) {
    TTolvanIndexDef& Def = Indexes.AddNew();
    Def.SetName(Name);
    Def.SetUnique(Unique);
    Def.SetPrimary(Primary);
    Def.SetColumnCount(1);
    Def.Columns(0).SetName(Column);
  };
  Index("PK", "id", true, true);
  Index("i1", "int1", true, false);
  Index("i2", "m1", false, false);
  Index("i3", "dt1", false, false);
  Index("i4", "str2", true, false);
  TTolvanConstraintDefs Constraints;
  for (const char* Name : {"int1", "int3", "str1", "str2", "dt1"})
    Constraints.AddNotNull().Column().SetName(Name);
  MakeEngineTable("MEMORY", "rowbench", Fields, Indexes, Constraints);
}

void BM_DataSetOpenClose(benchmark::State& State) {
  const bool KeptClient = State.range(0) != 0;
  TComponentRegistriesScope Registries;
  MakeRowTable();
  TTolvanDatabase* Client = nullptr;
  if (KeptClient) {
    Client = TTolvanDatabase::Create(DefaultSession());
    Client->SetDatabaseName("MEMORY");
    Client->Open();
  }
  {
    TComponentPtr<TTestDataSet> DataSet(NewComponent<TTestDataSet>(nullptr));
    DataSet->TableName = "rowbench";
    for (auto _ : State) {
      DataSet->Open();
      DataSet->Close();
      DataSet->ClearLog();
    }
  }
  if (Client)
    Client->Free();
}
BENCHMARK(BM_DataSetOpenClose)
    ->Arg(1)
    ->Arg(0)
    ->ArgName("kept_client")
    ->Unit(benchmark::kMicrosecond);

} // namespace
