// TolvanLockOrder.h: the engine's lock levels and the debug-build checker of their order.
//
// Every lock that takes part in the engine's lock order carries a level. A thread takes locks in
// rising level; re-entering a lock it already holds is always allowed. The levels:
//
//   1 registry      the process-wide database list
//   2 write gate    a database's writers take turns here, before its lock
//   3 database      a database's read/write lock
//   4 table         one table's lock
//   5 cursor list   one table's list of attached cursors
//   6 use count     one table's use count; nothing is taken under it
//   7 leaf          locks added later go after these
//
// Two patterns break the rising order and are allowed only to a thread that holds a write gate:
// a table-lock holder entering a database lock or another table's lock (side cursors of the
// foreign-key work and of the definition operations), and a database-lock holder waiting for
// table locks (save and load). The gate makes such threads take turns, so they cannot wait for
// each other in a cycle. A database or table lock may name the gate that guards it (its
// database's); then only that gate excuses the pattern, since another database's gate does not
// make that database's writers take turns. A lock that names none is excused by any gate.
//
// In builds without NDEBUG every leveled lock reports each entry and exit here, before it
// blocks, and a violation goes to the violation handler, which by default writes the message to
// the standard error stream and aborts. Release builds record nothing.
//
// Threads: the record of held locks is per thread; the handler is process-wide and atomic.
#pragma once

#include <cstdint>
#include <string>

namespace tolvan {

enum TTolvanLockLevel : uint8_t {
  tllNone = 0,
  tllRegistry = 1,
  tllWriteGate = 2,
  tllDatabase = 3,
  tllTable = 4,
  tllCursorList = 5,
  tllUseCount = 6,
  tllLeaf = 7
};

#ifndef NDEBUG
inline constexpr bool LockOrderChecked = true;
#else
inline constexpr bool LockOrderChecked = false;
#endif

// Called with a description of the violation; may throw to let a test observe it.
using TLockOrderViolationHandler = void (*)(const std::string& Message);

// The previous handler is returned; nil restores the default.
TLockOrderViolationHandler
SetLockOrderViolationHandler(TLockOrderViolationHandler Handler) noexcept;

// The calling thread is about to wait for Lock. Checks the order, then records the entry. Gate is
// the write gate that guards Lock (nil: none named).
void LockOrderAcquire(const void* Lock, TTolvanLockLevel Level, const void* Gate = nullptr);
// The calling thread has left Lock once.
void LockOrderRelease(const void* Lock) noexcept;
// Number of distinct leveled locks the calling thread holds.
int32_t LockOrderHeldCount() noexcept;

// --- locks outside the levels ------------------------------------------------------------------
// The component layer's critical section and session-list lock come before every level: no
// thread may enter them while it holds a registry, write-gate, database, table, cursor-list or
// use-count lock.

// Number of such leveled locks the calling thread holds (0 in release builds).
int32_t LockOrderEngineLocksHeld() noexcept;
// Reports a violation through the handler when the calling thread holds one of them; Name is
// the outer lock about to be entered. Nothing in release builds.
void LockOrderCheckOuter(const char* Name);

} // namespace tolvan
