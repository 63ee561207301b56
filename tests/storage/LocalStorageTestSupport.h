// LocalStorageTestSupport.h: the storage engine started for one test, with a "TEMP" database
// whose tables answer as temporary, local sessions and local cursors over it.
//
// TLocalStorage registers, for its life, a "TEMP" engine (a memory database flagged temporary,
// whose tables are flagged temporary) and starts the storage engine; it shuts the engine down and
// restores the engine table at the end. TOpenCursor is a local cursor with a record buffer of its
// layout, closed and freed at the end.
//
// Threads: one test thread makes and tears down the fixture; sessions and cursors may be used on
// other threads in between.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "foundation/TolvanExcept.h"
#include "storage/TolvanDatabaseData.h"
#include "storage/local/TolvanLocalCursor.h"
#include "storage/local/TolvanLocalSession.h"
#include "storage/memory/TolvanMemoryEngine.h"
#include "tests/storage/TableTestSupport.h"

namespace tolvan::test {

// The native code and the message a call raised; code 0 when it raised nothing.
struct TRaised {
  int32_t Code = 0;
  std::string Message;
};

inline TRaised RaisedBy(const std::function<void()>& Run) {
  try {
    Run();
  } catch (const ETolvanException& E) {
    return {E.NativeError(), E.Message()};
  }
  return {};
}

// Text as an engine exception composes it with Code.
inline std::string EngineMessage(std::string_view Text, int32_t Code) {
  char Suffix[32];
  std::snprintf(Suffix, sizeof Suffix, " - Native error: %.5d", int(Code));
  return std::string(Text) + Suffix;
}

class TTempTableData : public TTolvanMemoryTableData {
public:
  TTempTableData(TTolvanTableOwner& Database, int32_t AllocBy)
      : TTolvanMemoryTableData(Database, AllocBy) {
    SetIsMemory(false);
    SetIsTemporary(true);
  }
};

class TTempDatabaseData : public TTolvanMemoryDatabaseData {
public:
  TTempDatabaseData() {
    SetInMemory(false);
    SetTemporary(true);
  }
  std::unique_ptr<TTolvanTableData> CreateTableData(TTolvanCursor& Cursor) override {
    auto Table = std::make_unique<TTempTableData>(*this, Cursor.MemoryTableAllocBy());
    Table->SetName(Cursor.TableName());
    return Table;
  }
};

class TLocalStorage {
public:
  TLocalStorage() {
    FPreviousTemp = RegisterDatabaseEngine(TemporaryDatabaseName, [] {
      return std::unique_ptr<TTolvanDatabaseData>(std::make_unique<TTempDatabaseData>());
    });
    StorageStartup();
  }
  ~TLocalStorage() {
    StorageShutdown();
    RegisterDatabaseEngine(TemporaryDatabaseName, FPreviousTemp);
  }
  TLocalStorage(const TLocalStorage&) = delete;
  TLocalStorage& operator=(const TLocalStorage&) = delete;

  // A disconnected session of the database Name: in-memory, temporary or neither.
  static std::unique_ptr<TTolvanLocalSession> Session(std::string_view Name, bool InMemory = true,
                                                      bool Temporary = false) {
    auto S = std::make_unique<TTolvanLocalSession>();
    S->SetDatabaseName(Name);
    S->SetFileName(Name);
    S->SetInMemory(InMemory);
    S->SetIsTemp(Temporary);
    return S;
  }
  static std::unique_ptr<TTolvanLocalSession> Connected(std::string_view Name, bool InMemory = true,
                                                        bool Temporary = false) {
    auto S = Session(Name, InMemory, Temporary);
    S->SetConnected(true);
    return S;
  }

private:
  TTolvanDatabaseFactory FPreviousTemp;
};

// A local cursor of Session on table Name with a record buffer, once opened.
class TOpenCursor {
public:
  TOpenCursor(TTolvanBaseSession& Session, std::string_view Name, bool InMemory = true,
              bool Temporary = false) {
    Cursor.SetSession(&Session);
    Cursor.SetTableName(Name);
    Cursor.SetInMemory(InMemory);
    Cursor.SetTemporary(Temporary);
  }
  ~TOpenCursor() {
    Cursor.SetRecordBuffer(nullptr);
    Cursor.SetBeforeImage(nullptr);
    TTolvanCursor::FreeRecordBuffer(Buffer);
    TTolvanCursor::FreeRecordBuffer(Old);
    try {
      Cursor.CloseTable();
    } catch (...) {
      ADD_FAILURE() << "closing the cursor raised";
    }
  }
  TOpenCursor(const TOpenCursor&) = delete;
  TOpenCursor& operator=(const TOpenCursor&) = delete;

  // Opens (creating an in-memory table from the definitions) and gives the cursor its buffer.
  void Open(TTolvanFieldDefs* Fields = nullptr, TTolvanIndexDefs* Indexes = nullptr,
            TTolvanConstraintDefs* Constraints = nullptr) {
    Cursor.OpenTable(Fields, Indexes, Constraints);
    Buffer = Cursor.AllocRecordBuffer();
    Old = Cursor.AllocRecordBuffer();
    Cursor.SetRecordBuffer(Buffer);
  }

  // Starts an edit of the record in the buffer, as the dataset does: the buffer's bytes become
  // the before image.
  void Edit() {
    std::memcpy(Old, Buffer, size_t(Cursor.RecordSize()));
    Cursor.SetBeforeImage(Old);
    Cursor.EditRecord();
  }

  // A new record: cleared, defaults applied, marked inserted.
  void NewRecord() {
    Cursor.ClearRecordBuffer(Buffer);
    Cursor.InitRecord(Buffer, true);
    StoreRecordTrailer(Buffer, Cursor.RecordIDOffset(), {NewRecordID, bfInserted});
    Cursor.InsertRecordHook();
  }
  void SetInteger(int32_t FieldNo, int32_t Value) {
    TTolvanVariant V;
    V.SetAsInteger(Value);
    Cursor.SetCursorFieldValue(V, FieldNo, nullptr, true);
  }
  void SetString(int32_t FieldNo, std::string_view Value) {
    TTolvanVariant V;
    V.SetAsString(AnsiString(Value));
    Cursor.SetCursorFieldValue(V, FieldNo, nullptr, true);
  }
  int32_t Integer(int32_t FieldNo) {
    TTolvanVariant V;
    Cursor.GetFieldValue(V, FieldNo, true, false);
    return V.IsNull() ? -1 : V.GetAsInteger();
  }
  AnsiString String(int32_t FieldNo) {
    TTolvanVariant V;
    Cursor.GetFieldValue(V, FieldNo, true, true);
    return V.GetAsString();
  }
  // Posts a new record of ID (field 0) and Name (field 1, when the table has one); the cursor's
  // LastErrorCode afterwards.
  int32_t Insert(int32_t ID, std::string_view Name = {}) {
    NewRecord();
    SetInteger(0, ID);
    if (!Name.empty())
      SetString(1, Name);
    Cursor.PostRecord(true);
    return Cursor.LastErrorCode();
  }
  // The IDs (field 0) of the visible records from the beginning.
  std::vector<int32_t> Walk() {
    std::vector<int32_t> IDs;
    Cursor.SetToBegin();
    while (Cursor.GetRecord(rmNext) == rrOK)
      IDs.push_back(Integer(0));
    return IDs;
  }

  TTolvanLocalCursor Cursor;
  uint8_t* Buffer = nullptr;
  uint8_t* Old = nullptr;
};

} // namespace tolvan::test
