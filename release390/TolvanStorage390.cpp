// TolvanStorage390.cpp: the storage layer's release 3.90 routines.
//
// A 3.90 session reaches only the databases that exist: it never makes one. A session named
// exactly "MEMORY" or "TEMP" (letter case counts) binds to the standing database of that name;
// any other binds to the registered database whose name equals its narrow file name, ignoring
// case. A session that finds none raises the session's not-found error and registers nothing.
#include <mutex>

#include "classlib/Strings.h"
#include "foundation/TolvanStreams.h"
#include "release390/TolvanRelease390Parts.h"
#include "storage/TolvanDatabaseData.h"
#include "storage/local/TolvanLocalSession.h"

namespace tolvan {

namespace {

class TSessionDatabases390 final : public TTolvanSessionDatabases {
public:
  TTolvanDatabaseData* FindDatabase(TTolvanLocalSession& Session) const override {
    TTolvanDatabaseRegistry& Registry = DatabaseRegistry();
    std::lock_guard Hold(Registry.Lock());
    for (int32_t I = 0; I < Registry.Count(); ++I) {
      TTolvanDatabaseData* Database = Registry.Items(I);
      if (Matches(Session, *Database))
        return Database;
    }
    return nullptr;
  }

  TTolvanDatabaseData* CreateDatabaseData(TTolvanLocalSession& Session) const override {
    Session.RaiseDatabaseNotFound();
  }

  bool DatabaseExists(TTolvanLocalSession& Session) const override {
    return FileExistsEx(Session.FileName(), Session.WideFileName());
  }

private:
  static bool Matches(const TTolvanLocalSession& Session, const TTolvanDatabaseData& Database) {
    const AnsiString& Name = Session.DatabaseName();
    if (Name == MemoryDatabaseName || Name == TemporaryDatabaseName)
      return AnsiSameText(Database.DatabaseName(), Name);
    return !Session.FileName().empty() && AnsiSameText(Database.DatabaseName(), Session.FileName());
  }
};

const TSessionDatabases390 SessionDatabases390;

} // namespace

void InstallStorage390(bool Fill) {
  SessionDatabases.Install390(Fill ? &SessionDatabases390 : nullptr);
}

} // namespace tolvan
