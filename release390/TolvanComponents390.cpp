// The database component of release 3.90: it names a database file instead of switching to
// memory, keeps the session name in step through SetSessionName, and lets a session keep the
// temporary databases it makes for datasets connected while KeepConnections is on.
#include <memory>
#include <string_view>

#include "components/TolvanDatabase.h"
#include "components/TolvanSession.h"
#include "foundation/TolvanTypes.h"
#include "release390/TolvanRelease390Parts.h"
#include "storage/local/TolvanLocalSession.h"

namespace tolvan {

namespace {

constexpr std::string_view ConstructionNamePrefix = "TolvanTableDB_";

class TTolvanDatabaseRoutines390 final : public TTolvanDatabaseRoutines {
public:
  bool Offers(TTolvanDatabaseOperation Operation) const override {
    return !IsInMemoryDatabaseOperation(Operation);
  }

  void NameNewDatabase(TTolvanDatabase& D) const override {
    D.SetSessionName(D.Session()->SessionName());
    StoreDatabaseName(D, MakeUniqueName(ConstructionNamePrefix));
  }

  // A connected database is not closed first: at run time the rename is refused.
  void SetDatabaseName(TTolvanDatabase& D, std::string_view Value) const override {
    if (Value == D.DatabaseName())
      return;
    if (!(D.ComponentState() & csLoading)) {
      // A database whose session went links to the default session now, so that a name clash
      // there is reported by this call.
      if (!D.Session() && SessionListExists())
        D.LinkSession(false);
      D.EnsureDisconnected();
      D.CheckUniqueName(Value);
    }
    StoreDatabaseName(D, Value);
  }

  void SetSessionName(TTolvanDatabase& D, std::string_view Value) const override {
    if (D.ComponentState() & csLoading) {
      StoreSessionName(D, Value);
      return;
    }
    D.EnsureDisconnected();
    if (Value == D.SessionName())
      return;
    StoreSessionName(D, Value);
    if (!(D.ComponentState() & csDestroying))
      D.LinkSession(false);
  }

  // The engine session finds its database by its names alone; it has no flags to set.
  std::shared_ptr<TTolvanBaseSession> CreateEngineSession(const TTolvanDatabase& D) const override {
    if (!D.LocalDatabase())
      return nullptr;
    auto Session = std::make_shared<TTolvanLocalSession>();
    Session->SetDatabaseName(D.DatabaseName());
    Session->SetFileName(D.DatabaseFileNameAnsi());
    Session->SetWideFileName(D.DatabaseFileNameUnicode());
    return Session;
  }

  // The departing session has already let go of its list: the database leaves it by pointer
  // only, closes and joins the default session. A name clash there leaves it closed and in no
  // session's list, with its names kept, so that its next Open or rename links it and raises
  // the clash to a caller who can handle it.
  void SessionDestroyed(TTolvanDatabase& D) const noexcept override {
    TTolvanSession* Going = D.Session();
    SetSessionPointer(D, nullptr);
    try {
      D.Close();
    } catch (...) {
      // The session's deactivation closed the database already; nothing may escape here.
    }
    try {
      StoreSessionName(D, "");
      if (!SessionListExists())
        return;
      TTolvanSession* Default = SessionList().FindSession("");
      if (!Default || Default == Going)
        return;
      TSessionCriticalSectionHold Hold;
      SetSessionPointer(D, Default);
      try {
        D.CheckUniqueName(D.DatabaseName());
      } catch (...) {
        SetSessionPointer(D, nullptr);
        return;
      }
      Default->AddDatabase(&D);
    } catch (...) {
      SetSessionPointer(D, nullptr);
    }
  }

  TTolvanDatabase* OpenFoundOrNew(TTolvanSession& Session, TTolvanDatabase* Database,
                                  std::string_view Name) const override {
    const bool Made = !Database;
    if (Made && !(Database = NewTemporaryDatabase(Session, Name, Session.KeepConnections())))
      return nullptr;
    bool Openable = false;
    try {
      Openable = (Database->LocalDatabase() && Database->DatabaseFileNameAnsi().empty()) ||
                 Database->DatabaseExists();
    } catch (...) {
    }
    if (!Openable) {
      if (Made)
        Database->Free();
      return nullptr;
    }
    return OpenForDataSet(Database, Made);
  }
};

const TTolvanDatabaseRoutines390 Routines390;

} // namespace

void InstallComponents390(bool Fill) { DatabaseRoutines.Install390(Fill ? &Routines390 : nullptr); }

} // namespace tolvan
