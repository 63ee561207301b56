// TolvanSession.h: the session component (TTolvanSession), the process's list of sessions
// (TTolvanSessionList), the critical section every session serialises its engine work through,
// and the engine contexts that mark a session active.
//
// A session groups database components. Datasets and databases name their session; the empty
// name means the default session, "Default", which start-up makes. A session opens a database on
// a dataset's first use (making a temporary database component of that name when it has none)
// and releases it at the last use; a temporary database dies at its last release and when the
// session becomes inactive.
//
// The critical section is one re-entrant lock with static storage that is never destroyed, so a
// late Unlock cannot reach freed memory. It guards nested session locks, activation, opening and
// releasing databases, the automatic-number bits, each session's database list, and each
// database's dataset list and use count. Lock enters it on every call and Unlock leaves it once:
// three Locks need three Unlocks before another thread gets in, whichever sessions they name.
//
// Lock order, outermost first:
//   1. the critical section
//   2. the session-list lock
//   3. the database-data registry, 4. a database's write gate, 5. a database's lock, 6. table
//      locks (storage's order continues from there; storage/TolvanDatabaseData.h)
// The dataset registry's lock and an engine session's named-object lock are leaves. No thread
// enters the critical section while it holds a lock that comes after it; in debug builds Lock,
// EnterGlobalLock and activation check that through the lock-order checker. A caller that must
// reach a database from inside an engine operation (a sub-query, LASTAUTOINC) does so when its
// expression node is made, never while a scan holds table locks.
//
// Engine contexts are activity tokens: a session is active exactly while it holds one. The
// default session holds the process's global context; every other session makes its own.
//
// Ownership: the list refers to sessions; client code owns the sessions it makes. Shutdown
// (CloseAll) deactivates every session, detaches every database, frees only the default
// session, and leaves client sessions unlisted for their holders to free; their destructors then
// touch no registry.
//
// Threads: the list and the critical section may be used from any thread. A session component
// serves one thread at a time, except that every dataset with an empty session name is in the
// default session: Lock, activation, OpenDatabase, CloseDatabase and the database lists run
// inside the critical section, so the default session may serve several threads.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>
#include <vector>

#include "classlib/Components.h"
#include "classlib/Strings.h"
#include "foundation/TolvanCriticalSection.h"
#include "platform/TolvanPlatform.h"
#include "schema/TolvanSession.h"

namespace tolvan {

class TTolvanDatabase;
class TTolvanSession;

inline constexpr int32_t ErrInvalidSessionName = 20002;
inline constexpr int32_t ErrEngineNotInitialized = 20007;
inline constexpr int32_t ErrSessionUnlock = 11638;

inline constexpr std::string_view DefaultSessionName = "Default";

using TNotifyEvent = std::function<void(TComponent* Sender)>;

// --- the critical section ------------------------------------------------------------------------

// The process-wide critical section of the sessions.
TTolvanReadWriteThreadSyncBySingleCriticalSection& SessionCriticalSection() noexcept;
// Entries of the critical section by the calling thread.
int32_t SessionCriticalSectionDepth() noexcept;
// Enter (checking, in debug builds, that no later lock is held on first entry) and leave.
void EnterSessionCriticalSection();
void LeaveSessionCriticalSection();

class TSessionCriticalSectionHold {
public:
  TSessionCriticalSectionHold() { EnterSessionCriticalSection(); }
  ~TSessionCriticalSectionHold() { LeaveSessionCriticalSection(); }
  TSessionCriticalSectionHold(const TSessionCriticalSectionHold&) = delete;
  TSessionCriticalSectionHold& operator=(const TSessionCriticalSectionHold&) = delete;
};

// --- engine contexts
// ------------------------------------------------------------------------------

// An activity token; it has no data.
class TTolvanSessionComponentManager {};
using TTolvanEngineContext = std::unique_ptr<TTolvanSessionComponentManager>;

// Creates the global context once. Called inside the critical section.
void CreateGlobalEngineContext();
// Frees the global context when it exists. Called inside the critical section.
void FreeGlobalEngineContext() noexcept;
// The global context; 20007 "Database Engine is not initialized" when it does not exist.
TTolvanSessionComponentManager* GetEngineContext();
bool GlobalEngineContextExists() noexcept;
TTolvanEngineContext CreateEngineContext();
void FreeEngineContext(TTolvanEngineContext& Context) noexcept;

// --- the session list
// -----------------------------------------------------------------------------

class TTolvanSessionList {
public:
  TTolvanSessionList() = default;
  ~TTolvanSessionList();
  TTolvanSessionList(const TTolvanSessionList&) = delete;
  TTolvanSessionList& operator=(const TTolvanSessionList&) = delete;

  // Appends under the list lock; the first session ever added becomes the default session.
  void Add(TTolvanSession* Session);
  // Takes the session out under the list lock; one not listed is ignored.
  void Remove(TTolvanSession* Session) noexcept;
  // Empty name: the default session; else the first session whose SessionName equals Name
  // ignoring case; nil when none.
  TTolvanSession* FindSession(std::string_view Name);
  // As FindSession; none raises 20002 "Invalid session name '%s'".
  TTolvanSession* GetSession(std::string_view Name);
  // Deactivates every session, last first, detaches every database, frees the default session
  // and unlists the others. The sessions leave the list under its lock and are handled outside.
  // A failure is rethrown after every step has run.
  void CloseAll();

  int32_t Count();
  // I in 0 .. Count - 1, else EListError.
  TTolvanSession* Sessions(int32_t I);
  TTolvanSession* DefaultSession() const noexcept { return FDefault; }

  // Takes the lowest free automatic number; gives one back. Inside the critical section.
  int32_t TakeAutoNumber();
  void GiveBackAutoNumber(int32_t Number) noexcept;
  // Automatic numbers in use.
  int32_t AutoNumbersInUse();

  // A name check and a name change of a session, under the list lock against FindSession:
  // raises "Duplicate session name '%s'" when another session has the non-empty Name.
  void StoreSessionName(TTolvanSession& Session, std::string_view Name);

private:
  TPlatformLock FLock;
  std::vector<TTolvanSession*> FSessions;
  TTolvanSession* FDefault = nullptr;
  bool FHadSession = false;
  // One entry per automatic number; guarded by the critical section.
  std::vector<bool> FAutoNumbers;
};

// The list between start-up and shutdown; otherwise 20007.
TTolvanSessionList& SessionList();
// The default session; 20007 outside start-up and shutdown.
TTolvanSession* DefaultSession();
bool SessionListExists() noexcept;
// Installs the list (start-up) or takes it out (shutdown, nil); returns the previous one.
TTolvanSessionList* InstallSessionList(TTolvanSessionList* List) noexcept;

// --- the session component
// ------------------------------------------------------------------------

class TTolvanSession : public TComponent {
public:
  // Checks that Owner may take another session, then makes it and lists it.
  static TTolvanSession* Create(TComponent* Owner);
  // Use Create; public for NewComponent.
  explicit TTolvanSession(TComponent* Owner);

  bool Active() const noexcept { return FEngineContext != nullptr; }
  void SetActive(bool Value);
  bool AutoSessionName() const noexcept { return FAutoSessionName; }
  void SetAutoSessionName(bool Value);
  bool KeepConnections() const noexcept { return FKeepConnections; }
  void SetKeepConnections(bool Value) noexcept { FKeepConnections = Value; }
  const AnsiString& SessionName() const noexcept { return FSessionName; }
  void SetSessionName(std::string_view Value);
  const TNotifyEvent& OnStartup() const noexcept { return FOnStartup; }
  void SetOnStartup(TNotifyEvent Value) { FOnStartup = std::move(Value); }
  bool IsDefault() const noexcept { return FIsDefault; }
  int32_t AutoNumber() const noexcept { return FAutoNumber; }
  // Nesting of Lock; read it only inside the critical section.
  int32_t LockDepth() const noexcept { return FLockDepth; }
  // The session's activity token, nil while inactive.
  TTolvanSessionComponentManager* EngineContext() const noexcept { return FEngineContext; }

  // Enters the critical section and counts one more nesting level; an inactive session is
  // activated (a failure there leaves the section again and propagates).
  void Lock();
  // Leaves once. Without a matching Lock on this thread: 11638, and nothing changes.
  void Unlock();
  void EnterGlobalLock();
  void LeaveGlobalLock();

  // The database of that name for Owner (see FindDatabase), else a new temporary one; opened
  // and counted. A failed open answers nil (a database made here is freed).
  TTolvanDatabase* OpenDatabase(std::string_view Name, TComponent* Owner);
  // One use less; at none, a database without KeepConnection is closed, or freed when it is
  // temporary.
  void CloseDatabase(TTolvanDatabase* Database);
  // The first attached database that is named (or temporary) and whose name equals Name
  // ignoring case.
  TTolvanDatabase* FindDatabaseByName(std::string_view Name);
  // With Component: its first attached HandleShared database of that name; else, or when
  // none, FindDatabaseByName.
  TTolvanDatabase* FindDatabase(std::string_view Name, TComponent* Component);
  // The engine session of the first connected HandleShared database of that name, or nil.
  std::shared_ptr<TTolvanBaseSession> FindSharedHandle(std::string_view Name);
  void AddDatabase(TTolvanDatabase* Database);
  void RemoveDatabase(TTolvanDatabase* Database) noexcept;
  int32_t DatabaseCount();
  TTolvanDatabase* Databases(int32_t I);

  // "Cannot perform this operation on an active session" when active.
  void CheckInactive();
  // For every other session among Owner's components: refused when Enabling, or when that
  // session names itself automatically. Self is the session asking (nil while it is made).
  static void CheckAutoSessionNameAllowed(TComponent* Owner, bool Enabling,
                                          const TTolvanSession* Self);

protected:
  void Rename(const AnsiString& NewName) override;
  void OwnerNotification(TComponent* Component, TOperation Operation) override;
  void BeforeDestruction() override;
  void AfterLoading() override;

private:
  friend class TTolvanSessionList;

  void ChangeActiveState(bool Value);
  void UpdateAutoSessionName();
  void PropagateSessionName();
  // Shutdown: drops every database and leaves the list for good.
  void DetachForShutdown() noexcept;

  TTolvanSessionComponentManager* FEngineContext = nullptr;
  TTolvanEngineContext FOwnContext;
  std::vector<TTolvanDatabase*> FDatabases;
  bool FStreamedActive = false;
  bool FKeepConnections = true;
  bool FIsDefault = false;
  bool FAutoSessionName = false;
  bool FRenaming = false;
  bool FListed = false;
  AnsiString FSessionName;
  int32_t FAutoNumber = -1;
  int32_t FLockDepth = 0;
  TNotifyEvent FOnStartup;
};

// Holds a session's Lock for the life of the scope.
class TSessionLockHold {
public:
  explicit TSessionLockHold(TTolvanSession& Session) : FSession(Session) { FSession.Lock(); }
  ~TSessionLockHold() {
    try {
      FSession.Unlock();
    } catch (...) {
    }
  }
  TSessionLockHold(const TSessionLockHold&) = delete;
  TSessionLockHold& operator=(const TSessionLockHold&) = delete;

private:
  TTolvanSession& FSession;
};

} // namespace tolvan
