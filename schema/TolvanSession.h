// TolvanSession.h: TTolvanBaseSession, the engine's connection of a database component to one
// database, and the per-session named values it keeps.
//
// The database component creates a session (disconnected, SessionID -1), gives it the database's
// names and flags, and attaches it with SetConnected(true); every cursor of that database works
// in it. The storage layer implements the abstract operations.
//
// Named values: a session remembers, per name, the last value of a sequence that it drew
// (SetSessionSequenceValue), so that a sequence's current value is private to the session that
// drew it. Names match exactly, case included. A named object lives as long as its session: a
// pointer that FindSessionNamedObject returns stays valid until the session is destroyed.
//
// Teardown: owners call SetConnected(false) before destroying a session; that step may fail and
// raise. An implementation's destructor disconnects only as a fallback and drops any failure
// (destructors never throw); the base destructor frees the named objects.
//
// Threads: the cursors of one session may run on several threads under different table locks.
// A mutex of the session guards its named objects; it is a leaf lock (nothing else is taken
// while it is held). A named object's value is atomic. The other members are set by the owning
// component before the session is shared and only read afterwards.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string_view>

#include "classlib/Classes.h"
#include "classlib/StringList.h"
#include "classlib/Strings.h"
#include "platform/TolvanPlatform.h"

namespace tolvan {

class TTolvanSessionNamedObject {
public:
  explicit TTolvanSessionNamedObject(std::string_view Name) : FName(Name) {}
  virtual ~TTolvanSessionNamedObject() = default;
  TTolvanSessionNamedObject(const TTolvanSessionNamedObject&) = delete;
  TTolvanSessionNamedObject& operator=(const TTolvanSessionNamedObject&) = delete;

  const AnsiString& Name() const noexcept { return FName; }

private:
  const AnsiString FName;
};

// The value of a named sequence as this session last saw it.
class TTolvanSessionNamedObjectSequenceValue : public TTolvanSessionNamedObject {
public:
  explicit TTolvanSessionNamedObjectSequenceValue(std::string_view Name, int64_t Value = 0)
      : TTolvanSessionNamedObject(Name), FValue(Value) {}

  int64_t Value() const noexcept { return FValue.load(std::memory_order_acquire); }
  void SetValue(int64_t Value) noexcept { FValue.store(Value, std::memory_order_release); }

private:
  std::atomic<int64_t> FValue;
};

class TTolvanBaseSession {
public:
  TTolvanBaseSession() = default;
  virtual ~TTolvanBaseSession();
  TTolvanBaseSession(const TTolvanBaseSession&) = delete;
  TTolvanBaseSession& operator=(const TTolvanBaseSession&) = delete;

  // True while attached to the database.
  virtual bool IsConnected() = 0;
  // Attach (finding or creating the database's data) or detach (rolling back an open
  // transaction first).
  virtual void SetConnected(bool Value) = 0;
  // Creates the database; the base raises 10888 "Error - operation is not supported".
  virtual void CreateDatabase();
  // The database exists (an in-memory one: it is registered in the process).
  virtual bool DatabaseExists() = 0;
  // Fills List with the database's table names.
  virtual void GetTableNames(TStringList& List) = 0;
  virtual bool TableExists(std::string_view TableName) = 0;
  // The database stream: a table count, then each table's stream.
  virtual void LoadDatabaseFromStream(TStream& Stream) = 0;
  virtual void SaveDatabaseToStream(TStream& Stream) = 0;
  virtual bool InTransaction() = 0;
  // Only databases that are neither in memory nor temporary keep a transaction.
  virtual void StartTransaction() = 0;
  virtual void Commit() = 0;
  virtual void Rollback() = 0;

  // The database's name as the database component gives it.
  const AnsiString& DatabaseName() const noexcept { return FDatabaseName; }
  void SetDatabaseName(std::string_view Value) { FDatabaseName = Value; }
  // The database's file name; for in-memory databases and "TEMP" the database name.
  const AnsiString& FileName() const noexcept { return FFileName; }
  void SetFileName(std::string_view Value) { FFileName = Value; }
  const WideString& WideFileName() const noexcept { return FWideFileName; }
  void SetWideFileName(std::u16string_view Value) { FWideFileName = Value; }
  // The id under which the database's data knows the session; -1 until connected.
  int32_t SessionID() const noexcept { return FSessionID; }
  void SetSessionID(int32_t Value) noexcept { FSessionID = Value; }
  // The session serves "TEMP".
  bool IsTemp() const noexcept { return FIsTemp; }
  void SetIsTemp(bool Value) noexcept { FIsTemp = Value; }
  // The database is an in-memory one (false for "TEMP").
  bool InMemory() const noexcept { return FInMemory; }
  void SetInMemory(bool Value) noexcept { FInMemory = Value; }

  // Number of named objects.
  int32_t NamedObjectCount() const;

private:
  friend TTolvanSessionNamedObjectSequenceValue*
  FindSessionNamedObject(const TTolvanBaseSession& Session, std::string_view Name);
  friend void SetSessionSequenceValue(TTolvanBaseSession& Session, std::string_view Name,
                                      int64_t Value);

  // Sorted by name, byte by byte. Sequence values are the only named objects there are.
  mutable TPlatformLock FNamedObjectsLock;
  std::map<AnsiString, std::unique_ptr<TTolvanSessionNamedObjectSequenceValue>, std::less<>>
      FNamedObjects;

  AnsiString FDatabaseName;
  AnsiString FFileName;
  WideString FWideFileName;
  int32_t FSessionID = -1;
  bool FIsTemp = false;
  bool FInMemory = false;
};

// The named object whose name equals Name exactly, or nil.
TTolvanSessionNamedObjectSequenceValue* FindSessionNamedObject(const TTolvanBaseSession& Session,
                                                               std::string_view Name);
// Sets the value kept under Name, adding a named object for a name not seen before.
void SetSessionSequenceValue(TTolvanBaseSession& Session, std::string_view Name, int64_t Value);

} // namespace tolvan
