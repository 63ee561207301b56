// Repeated probes, as a join runs them against its probed table: a MEMORY table of Rows rows with
// a unique ID and K (Rows / 10 values, about 10 rows each), indexed or not; one probe condition
// "column = constant" parsed once; per probe the constant is set, the probe filter installed,
// the cursor (or a table component over the table) walked from the beginning and the filter
// removed.
//
// Reports, per probe column, us per probe and heap allocations per probe in steady state (after
// a warm-up of 100 probes): operator new (replaced in this program) and engine blocks
// (TTolvanMemoryManager, counted through its allocation hook). The goal is 0 of both. The
// constant is set in its own type (a parsed integer is SIGNEDINT64), which writes in place; any
// other type would convert through a new block of the variant's.
//
//   cmake --build build/rel --target probebench && build/rel/bench/probebench [Rows]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "bench/AllocCounter.h"
#include "components/TolvanComponentStartup.h"
#include "components/TolvanDatabase.h"
#include "components/TolvanSession.h"
#include "components/TolvanTable.h"
#include "foundation/TolvanMemory.h"
#include "schema/TolvanIndexDef.h"
#include "schema/TolvanMetaObjectDefs.h"
#include "schema/expr/TolvanExprNodes.h"
#include "schema/expr/TolvanExpression.h"
#include "storage/TolvanDatabaseData.h"
#include "storage/local/TolvanLocalCursor.h"
#include "storage/local/TolvanLocalSession.h"

namespace {

using namespace tolvan;

struct TFigures {
  double MicrosPerProbe = 0;
  double NewPerProbe = 0;
  double BlocksPerProbe = 0;
  int64_t RowsSeen = 0;
};

TTolvanExprNodeConst& ConstantOf(TTolvanExpression& E) {
  TTolvanExprNode* Root = E.Root();
  for (int32_t I = 0; I < Root->ChildCount(); ++I)
    if (Root->Child(I)->Kind() == enkConst)
      return *static_cast<TTolvanExprNodeConst*>(Root->Child(I));
  std::fprintf(stderr, "no constant\n");
  std::exit(1);
}

// ThroughDataSet: the probes run through a table component on the table (SetProbeFilter, First,
// Next to the end) instead of the cursor.
TFigures Run(TTolvanBaseSession& Session, const char* Table, int32_t Rows, bool Indexed,
             const char* Column, int32_t Probes, bool ThroughDataSet) {
  TTolvanFieldDefs Fields;
  TTolvanIndexDefs Indexes;
  TTolvanConstraintDefs Constraints;
  for (const char* Name : {"ID", "K"}) {
    TTolvanFieldDef& Def = Fields.AddNew();
    Def.SetName(Name);
    Def.SetType(tftInteger, 0);
  }
  if (Indexed)
    for (const char* Name : {"ID", "K"}) {
      TTolvanIndexDef& Def = Indexes.AddNew();
      Def.SetName(std::string("I") + Name);
      Def.SetUnique(Name[0] == 'I');
      Def.SetColumnCount(1);
      Def.Columns(0).SetName(Name);
    }
  TTolvanLocalCursor Cursor;
  Cursor.SetSession(&Session);
  Cursor.SetTableName(Table);
  Cursor.SetInMemory(true);
  Cursor.OpenTable(&Fields, &Indexes, &Constraints);
  uint8_t* Buffer = Cursor.AllocRecordBuffer();
  Cursor.SetRecordBuffer(Buffer);
  const int32_t Values = Rows / 10 > 0 ? Rows / 10 : 1;
  for (int32_t I = 0; I < Rows; ++I) {
    Cursor.InitRecord(Buffer, true);
    TTolvanVariant V;
    V.SetAsInteger(I);
    Cursor.SetCursorFieldValue(V, 0, nullptr, true);
    V.SetAsInteger(int32_t((int64_t(I) * 7919) % Values));
    Cursor.SetCursorFieldValue(V, 1, nullptr, true);
    Cursor.InsertRecordHook();
    Cursor.PostRecord(true);
    if (Cursor.LastErrorCode() != 0) {
      std::fprintf(stderr, "insert: %s\n", Cursor.LastErrorText().c_str());
      std::exit(1);
    }
  }

  Cursor.SetRecordBuffer(nullptr);
  TTolvanCursor::FreeRecordBuffer(Buffer);

  TComponentPtr<TTolvanTable> Component;
  TTolvanCursor* Probed = &Cursor;
  if (ThroughDataSet) {
    Cursor.CloseTable();
    Component.reset(NewComponent<TTolvanTable>(nullptr));
    Component->SetTableName(Table);
    Component->Open();
    Probed = Component->Cursor();
  }
  TTolvanExpression Probe;
  Probe.ParseFilter(Probed, std::string(Column) + " = 0", false, false);
  TTolvanExprNodeConst& Constant = ConstantOf(Probe);
  const int32_t Range = Column[0] == 'K' ? Values : Rows;
  TFigures F;
  uint8_t* Walk = ThroughDataSet ? nullptr : Cursor.AllocRecordBuffer();
  const auto One = [&](int32_t P) {
    Constant.Value().SetAsLargeInt(P % Range);
    if (ThroughDataSet) {
      Component->SetProbeFilter(&Probe);
      for (Component->First(); !Component->Eof(); Component->Next())
        ++F.RowsSeen;
      Component->SetProbeFilter(nullptr);
      return;
    }
    Cursor.SetProbeFilter(&Probe);
    Cursor.SetToBegin();
    while (Cursor.GetRecord(rmNext) == rrOK)
      ++F.RowsSeen;
    Cursor.SetProbeFilter(nullptr);
  };
  if (Walk)
    Cursor.SetRecordBuffer(Walk);
  for (int32_t P = 0; P < 100; ++P)
    One(P);
  F.RowsSeen = 0;
  const int64_t NewBefore = bench::HeapAllocations();
  const auto Start = std::chrono::steady_clock::now();
  int64_t Blocks = 0;
  {
    TAllocationFailure Count(0);
    for (int32_t P = 0; P < Probes; ++P)
      One(P * 31 + 7);
    Blocks = Count.Count();
  }
  const auto End = std::chrono::steady_clock::now();
  F.NewPerProbe = double(bench::HeapAllocations() - NewBefore) / Probes;
  F.BlocksPerProbe = double(Blocks) / Probes;
  F.MicrosPerProbe = std::chrono::duration<double, std::micro>(End - Start).count() / Probes;
  if (Component)
    Component->Close();
  Cursor.SetRecordBuffer(nullptr);
  if (Walk)
    TTolvanCursor::FreeRecordBuffer(Walk);
  Cursor.CloseTable();
  return F;
}

} // namespace

int main(int argc, char** argv) {
  const int32_t Rows = argc > 1 ? std::atoi(argv[1]) : 10000;
  TComponentRegistriesScope Registries;
  TTolvanDatabase* Database = TTolvanDatabase::Create(DefaultSession());
  Database->SetDatabaseName("MEMORY");
  Database->Open();
  std::printf("%-34s %10s %10s %13s %11s\n", "probe", "us/probe", "new/probe", "blocks/probe",
              "rows/probe");
  struct TCase {
    const char* Name;
    bool Indexed;
    const char* Column;
    int32_t Probes;
    bool ThroughDataSet;
  };
  const TCase Cases[] = {{"cursor: unique ID, indexed", true, "ID", 20000, false},
                         {"cursor: K (10 per value), indexed", true, "K", 20000, false},
                         {"cursor: K, no index (full scan)", false, "K", 200, false},
                         {"dataset: unique ID, indexed", true, "ID", 20000, true},
                         {"dataset: K, indexed", true, "K", 20000, true}};
  int32_t N = 0;
  for (const TCase& Case : Cases) {
    const TFigures F = Run(*Database->EngineSession(), ("probe" + std::to_string(N++)).c_str(),
                           Rows, Case.Indexed, Case.Column, Case.Probes, Case.ThroughDataSet);
    std::printf("%-34s %10.3f %10.2f %13.2f %11.2f\n", Case.Name, F.MicrosPerProbe, F.NewPerProbe,
                F.BlocksPerProbe, double(F.RowsSeen) / Case.Probes);
  }
  Database->Free();
  return 0;
}
