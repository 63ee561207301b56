// Field values in and out of a record buffer through the cursor: a borrowed GetFieldValue and a
// SetCursorFieldValue of a value already of the column's type, on an Integer and a Varchar(40)
// column. The cursor is the test fake; only the base's field routines are timed.
#include <benchmark/benchmark.h>

#include "schema/TolvanCursor.h"
#include "tests/schema/support/FakeCursor.h"

namespace {

using namespace tolvan;

class TFixture {
public:
  TFixture() {
    TTolvanFieldDefs Fields;
    TTolvanFieldDef& I = Fields.AddNew();
    I.SetName("I");
    I.SetType(tftInteger, 0);
    TTolvanFieldDef& V = Fields.AddNew();
    V.SetName("V");
    V.SetType(tftVarchar, 40);
    Cursor.SetInMemory(true);
    Cursor.OpenTable(&Fields, nullptr, nullptr);
    Buffer = Cursor.AllocRecordBuffer();
    Cursor.SetRecordBuffer(Buffer);
    Cursor.InitRecord(Buffer, false);
    TTolvanVariant Value;
    Value.SetAsInteger(123456);
    Cursor.SetCursorFieldValue(Value, 0, nullptr, true);
    Value.Clear();
    Value.SetAsString("Customer 123456, Springfield");
    Cursor.SetCursorFieldValue(Value, 1, nullptr, true);
  }
  ~TFixture() {
    Cursor.CloseTable();
    TTolvanCursor::FreeRecordBuffer(Buffer);
  }

  test::TFakeCursor Cursor;
  uint8_t* Buffer = nullptr;
};

void GetField(benchmark::State& State, int32_t FieldNo) {
  TFixture F;
  TTolvanVariant Value;
  for (auto _ : State) {
    F.Cursor.GetFieldValue(Value, FieldNo, true, false);
    benchmark::DoNotOptimize(Value.Data());
  }
}

void SetField(benchmark::State& State, int32_t FieldNo) {
  TFixture F;
  TTolvanVariant Value;
  F.Cursor.GetFieldValue(Value, FieldNo, true, true);
  for (auto _ : State) {
    F.Cursor.SetCursorFieldValue(Value, FieldNo, nullptr, true);
    benchmark::ClobberMemory();
  }
}

void BM_GetFieldValueInteger(benchmark::State& State) { GetField(State, 0); }
void BM_GetFieldValueVarchar40(benchmark::State& State) { GetField(State, 1); }
void BM_SetCursorFieldValueInteger(benchmark::State& State) { SetField(State, 0); }
void BM_SetCursorFieldValueVarchar40(benchmark::State& State) { SetField(State, 1); }

BENCHMARK(BM_GetFieldValueInteger);
BENCHMARK(BM_GetFieldValueVarchar40);
BENCHMARK(BM_SetCursorFieldValueInteger);
BENCHMARK(BM_SetCursorFieldValueVarchar40);

} // namespace
