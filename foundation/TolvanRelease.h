// TolvanRelease.h: which engine release the process behaves as.
//
// The same libraries serve release 4.00 (the default) and release 3.90. A program picks its
// release once in main, before the storage registry starts; while the registry exists the
// choice is fixed (SelectRelease raises). Every behaviour that differs between the releases is
// read from the active profile here or reached through it. No other code compares release
// numbers.
//
// The profile holds two kinds of difference:
//   - values and switches: a switch is a bool named for the 3.90 behaviour, false in 4.00, and
//     read at exactly one place of the engine (a ctest script checks this);
//   - variants: a difference that replaces whole routines is an interface, declared with its
//     4.00 implementation in the layer that calls it and reached through a
//     TTolvanReleaseVariant slot. The 3.90 implementations live in release390/ and are put into
//     their slots by InstallRelease390(). Under 3.90 an empty slot raises 30405; it never falls
//     back to the 4.00 routine.
//
// Threads: SelectRelease and the slots' installation run before any other thread uses the
// engine; Release() and the slots may be read from any thread afterwards. Tests may switch the
// release between cases.
#pragma once

#include <atomic>
#include <cstdint>
#include <string_view>

namespace tolvan {

enum class TTolvanReleaseId : uint8_t { tr400, tr390 };

struct TTolvanReleaseProfile {
  TTolvanReleaseId Id;
  // "4.00" or "3.90", as messages name the release.
  const char* Name;
  // Number of reserved words of the SQL tokenizer; also the no-keyword id of a token that is
  // not a reserved word.
  int16_t KeywordCount;
  // The version a table stream is written with, and the highest version a load accepts.
  double TableStreamVersion;
  double TableStreamMaxVersion;
  // The engine's version number as the components report it (GetEngineVersion).
  double EngineVersion;

  // Switches (false in 4.00).
  // A token's line is the number of its statement in the script (counted from 1, empty
  // statements included) instead of its line within the statement.
  bool TokenLineIsStatementNumber;
  // A comparison with NULL or '' stays a comparison instead of becoming IS [NOT] NULL.
  bool ComparisonKeepsNullOperand;
  // LASTAUTOINC names only a table and a column, never a database.
  bool LastAutoIncWithoutDatabase;
  // A memory stream's block is exactly its size: every extending write reallocates.
  bool MemoryStreamExactSize;
  // A memory table's record store grows by AllocBy slots, without size classes.
  bool MemoryTableGrowsByAllocBy;
  // Every session of a memory database has SessionID 0.
  bool MemorySessionIdZero;
  // Sessions have no database streams (load and save of a whole database).
  bool NoDatabaseStreams;
  // Closing the last cursor of an in-memory table made in the designer deletes the table.
  bool DeleteClosedDesignTables;
  // A database component is in memory exactly when its name is "MEMORY", ignoring case.
  bool InMemoryByDatabaseName;
  // A dataset's fetch routines let engine errors through instead of giving neutral answers.
  bool FetchPropagatesEngineErrors;
};

const TTolvanReleaseProfile& Release();

// Fixes the release of the process; raises 30406 while the storage registry exists.
void SelectRelease(TTolvanReleaseId Id);
// Storage start-up and shutdown say whether the registry exists.
void MarkStorageRegistryLive(bool Live) noexcept;

// The no-keyword id of the active release (292 in 4.00, 288 in 3.90).
inline int16_t NoKeywordId() { return Release().KeywordCount; }

// New codes of the release mechanism.
inline constexpr int32_t ErrReleaseSlotEmpty = 30405;
inline constexpr int32_t ErrReleaseSelectedWhileLive = 30406;
inline constexpr int32_t ErrNotInRelease = 30407;
inline constexpr std::string_view SReleaseSlotEmpty =
    "Release %s has no implementation of '%s'; call InstallRelease390 first";
inline constexpr std::string_view SReleaseSelectedWhileLive =
    "Cannot select release %s while the storage engine is started";
// Also raised as EDatabaseError by the components, with the operation's name.
inline constexpr std::string_view SNotInRelease = "Operation '%s' is not available in release %s";

[[noreturn]] void RaiseReleaseSlotEmpty(const char* SlotName);
// Raises 30407 naming Operation and the active release.
[[noreturn]] void RaiseNotInRelease(std::string_view Operation);

bool Release390Active();

// One routine family that differs between the releases: the 4.00 implementation, given at
// construction, and the 3.90 one, installed by InstallRelease390(). Implementations are
// stateless objects of static lifetime.
template <class TInterface> class TTolvanReleaseVariant {
public:
  constexpr TTolvanReleaseVariant(const char* Name, const TInterface& Release400) noexcept
      : FName(Name), F400(&Release400) {}
  TTolvanReleaseVariant(const TTolvanReleaseVariant&) = delete;
  TTolvanReleaseVariant& operator=(const TTolvanReleaseVariant&) = delete;

  // Fills (or, with nil, empties) the 3.90 slot.
  void Install390(const TInterface* Impl) noexcept { F390.store(Impl, std::memory_order_release); }
  const TInterface* Installed390() const noexcept { return F390.load(std::memory_order_acquire); }

  // The active release's implementation; under 3.90 an empty slot raises 30405.
  const TInterface& Active() const {
    if (!Release390Active())
      return *F400;
    const TInterface* Impl = F390.load(std::memory_order_acquire);
    if (!Impl)
      RaiseReleaseSlotEmpty(FName);
    return *Impl;
  }
  const TInterface* operator->() const { return &Active(); }

private:
  const char* FName;
  const TInterface* F400;
  std::atomic<const TInterface*> F390{nullptr};
};

} // namespace tolvan
