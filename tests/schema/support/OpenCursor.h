// OpenCursor.h: a fake cursor opened on a new table of given columns, with a record buffer of its
// own that the tests fill and read.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <vector>

#include "schema/TolvanMetaObjectDefs.h"
#include "tests/schema/support/FakeCursor.h"

namespace tolvan::test {

struct TColumn {
  const char* Name;
  TTolvanFieldType Type;
  int32_t Size = 0;
};

class TOpenCursor {
public:
  explicit TOpenCursor(std::initializer_list<TColumn> Columns) {
    TTolvanFieldDefs Fields;
    for (const TColumn& C : Columns) {
      TTolvanFieldDef& F = Fields.AddNew();
      F.SetName(C.Name);
      F.SetType(C.Type, C.Size);
    }
    Cursor.SetTableName("T");
    Cursor.SetInMemory(true);
    Cursor.OpenTable(&Fields, nullptr, nullptr);
    Buffer = Cursor.AllocRecordBuffer();
    Cursor.SetRecordBuffer(Buffer);
    Cursor.InitRecord(Buffer, false);
  }
  ~TOpenCursor() {
    Cursor.CloseTable();
    TTolvanCursor::FreeRecordBuffer(Buffer);
  }
  TOpenCursor(const TOpenCursor&) = delete;
  TOpenCursor& operator=(const TOpenCursor&) = delete;

  std::vector<uint8_t> Record() const {
    return std::vector<uint8_t>(Buffer, Buffer + Cursor.RecordSize());
  }

  TFakeCursor Cursor;
  uint8_t* Buffer = nullptr;
};

} // namespace tolvan::test
