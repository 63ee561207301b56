// TolvanSequenceManager.h: the auto-increment counters of one table.
//
// Every auto-increment column has a sequence of its own (TTolvanSequenceDef), named
// "$S_Autoinc$<table>$<field>" and found by the object id the column keeps as SequenceID. A
// session that draws a value remembers it under the sequence's name (TolvanSession.h), so
// CurrentValue answers only for values the same session drew; the counters themselves live in
// the definitions and travel with the table stream.
//
// Ownership: the manager owns its definitions; the table's owner (the database) is referred to.
//
// Threads: no lock of its own; callers hold the table lock (in-memory tables) or are a temporary
// table's one user.
#pragma once

#include <cstdint>
#include <string_view>

#include "classlib/Strings.h"
#include "schema/TolvanMetaObjectDefs.h"
#include "schema/TolvanSession.h"

namespace tolvan {

class TTolvanTableOwner;

// Native codes of the sequence operations.
inline constexpr int32_t ErrNextValueSequenceNotFound = 30010;
inline constexpr int32_t ErrCurrentValueSequenceNotFound = 30011;
inline constexpr int32_t ErrNoSequenceLastValue = 30012;
inline constexpr int32_t ErrGetSequenceNotFound = 30013;

class TTolvanBaseSequenceManager {
public:
  explicit TTolvanBaseSequenceManager(TTolvanTableOwner* Database) noexcept : FDatabase(Database) {}
  virtual ~TTolvanBaseSequenceManager() = default;
  TTolvanBaseSequenceManager(const TTolvanBaseSequenceManager&) = delete;
  TTolvanBaseSequenceManager& operator=(const TTolvanBaseSequenceManager&) = delete;

  TTolvanSequenceDefs& SequenceDefs() noexcept { return FSequenceDefs; }
  const TTolvanSequenceDefs& SequenceDefs() const noexcept { return FSequenceDefs; }
  TTolvanTableOwner* Database() const noexcept { return FDatabase; }

  // The sequence of that object id; none raises 30013.
  virtual TTolvanSequenceDef& GetSequence(int32_t SequenceID);
  // Draws the sequence's next value (30009 past a maximum it does not cycle at) and keeps it as
  // the session's last value of that sequence; no session keeps nothing. No sequence of that id
  // raises 30010.
  virtual int64_t NextValue(TTolvanBaseSession* Session, int32_t SequenceID);
  // The last value the session drew; no sequence raises 30011, no value drawn in this session
  // (or no session) 30012.
  virtual int64_t CurrentValue(TTolvanBaseSession* Session, int32_t SequenceID);

  // "$S_Autoinc$" + table name + "$" + field name; while the collection holds a sequence of
  // that name (ignoring case), the base name followed by a fresh random number 0 .. 65534.
  AnsiString MakeSequenceName(std::string_view FieldName, std::string_view TableName) const;

  // Draws as NextValue does, then refuses a value outside the range of ValueType, an integer
  // type, with 30009 before the session keeps it; no value fits another type.
  int64_t NextValueInRange(TTolvanBaseSession* Session, int32_t SequenceID,
                           TTolvanValueType ValueType);

private:
  int64_t Draw(TTolvanBaseSession* Session, int32_t SequenceID, TTolvanValueType ValueType);

  TTolvanSequenceDefs FSequenceDefs;
  TTolvanTableOwner* FDatabase;
};

} // namespace tolvan
