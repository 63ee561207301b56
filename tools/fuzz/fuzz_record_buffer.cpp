// Field reads over arbitrary record bytes. The first byte gives the column count (up to 8), then
// two bytes per column its type and size; the rest is the record's bitmap and columns, copied
// into a buffer of exactly that size. Every column is read with GetFieldData into a destination
// of exactly its size and, unless it is a BLOB, with GetFieldValue and then as text; the value
// read is written back into a second exact-size record. Only clean exceptions may come out.
#include <cstdint>
#include <cstring>
#include <memory>

#include "foundation/TolvanExcept.h"
#include "schema/TolvanCursor.h"
#include "schema/TolvanRecordBuffer.h"
#include "tests/schema/support/FakeCursor.h"

using namespace tolvan;

namespace {

bool Sized(TTolvanFieldType Type) {
  return IsPlainStringValueType(ValueTypeOfFieldType(Type)) || IsBytesFieldType(Type);
}

void ReadColumn(test::TFakeCursor& Cursor, int32_t No, uint8_t* Record, uint8_t* Copy) {
  const TTolvanFieldDefs& Defs = Cursor.FieldDefs();
  const TTolvanFieldDef& Def = Defs.Items(No);
  try {
    if (IsWideStringValueType(Def.BaseType())) {
      WideString Text;
      GetFieldData(No, Defs, Text, Record);
    } else {
      std::unique_ptr<uint8_t[]> Out(new uint8_t[size_t(Def.DataSize())]);
      GetFieldData(No, Defs, Out.get(), Record);
    }
  } catch (const Exception&) {
  }
  if (Def.IsBlob())
    return;
  try {
    TTolvanVariant Value;
    Cursor.GetFieldValue(Value, No, true, false);
    (void)Value.GetAsString();
    (void)Value.GetAsWideString();
    Cursor.SetCursorFieldValue(Value, No, Copy, true);
  } catch (const Exception&) {
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  if (Size == 0)
    return 0;
  const int32_t Count = Data[0] % 9;
  if (Size < 1 + 2 * size_t(Count))
    return 0;
  TTolvanFieldDefs Fields;
  for (int32_t I = 0; I < Count; ++I) {
    const auto Type = TTolvanFieldType(1 + Data[1 + 2 * I] % TolvanFieldTypeCount);
    TTolvanFieldDef& F = Fields.AddNew();
    F.SetName(std::string(1, char('A' + I)));
    F.SetType(Type, Sized(Type) ? Data[2 + 2 * I] % 48 : 0);
  }
  test::TFakeCursor Cursor;
  Cursor.SetInMemory(true);
  Cursor.OpenTable(&Fields, nullptr, nullptr);

  const size_t Used = 1 + 2 * size_t(Count);
  const size_t RecordBytes = size_t(Cursor.RecordIDOffset());
  if (Size - Used < RecordBytes)
    return 0;
  std::unique_ptr<uint8_t[]> Record(new uint8_t[RecordBytes]);
  std::unique_ptr<uint8_t[]> Copy(new uint8_t[RecordBytes]);
  std::memcpy(Record.get(), Data + Used, RecordBytes);
  std::memset(Copy.get(), 0, RecordBytes);
  Cursor.SetRecordBuffer(Record.get());
  for (int32_t I = 0; I < Count; ++I)
    ReadColumn(Cursor, I, Record.get(), Copy.get());
  Cursor.SetRecordBuffer(nullptr);
  Cursor.CloseTable();
  return 0;
}
