// Shutdown with components and tables left behind: tables in "MEMORY", in a created database
// and in "TEMP", a connected client session and database. Shutdown runs first, the client
// components are freed afterwards; the process must end cleanly (exit 0, nothing leaked).
#include <cstdio>
#include <exception>

#include "components/TolvanComponentStartup.h"
#include "components/TolvanDatabase.h"
#include "components/TolvanSession.h"
#include "storage/TolvanDatabaseData.h"
#include "tests/components/ComponentTestSupport.h"
#include "tests/components/TempEngineStandIn.h"

using namespace tolvan;
using namespace tolvan::test;

namespace {

int Run() {
  EnsureTempEngine();
  InitComponentRegistries();

  TTolvanDatabase* Memory = TTolvanDatabase::Create(nullptr);
  Memory->Open();
  MakeTable(*Memory, "Left");
  InsertRow(*Memory, "Left", "a", 1);

  TTolvanDatabase* Made = TTolvanDatabase::Create(nullptr);
  Made->SetDatabaseName("Made");
  Made->CreateDatabase();
  Made->Open();
  MakeTable(*Made, "Left", true);
  InsertRow(*Made, "Left", "b");
  Made->Close();

  TTolvanSession* Client = TTolvanSession::Create(nullptr);
  Client->SetSessionName("Client");
  TTolvanDatabase* Temp = TTolvanDatabase::Create(Client);
  Temp->SetDatabaseName("Other");
  Temp->Open();
  TFakeClient User;
  if (!User.Use(*Client, "TEMP")) {
    std::fprintf(stderr, "TEMP did not open\n");
    return 1;
  }
  MakeTable(*User.Database, "Scratch");

  TTolvanDatabase* Connected = TTolvanDatabase::Create(nullptr);
  Connected->SetSessionName("Client");
  Connected->SetDatabaseName("Connected");
  Connected->Open();

  FreeComponentRegistries();
  if (StorageStarted() || SessionListExists()) {
    std::fprintf(stderr, "registries left\n");
    return 1;
  }
  if (Connected->Connected() || Memory->Connected() || Client->Active()) {
    std::fprintf(stderr, "components still connected\n");
    return 1;
  }
  // Freed after shutdown, they touch no registry.
  Connected->Free();
  Memory->Free();
  Made->Free();
  Client->Free();
  return 0;
}

} // namespace

int main() {
  try {
    return Run();
  } catch (const std::exception& E) {
    std::fprintf(stderr, "%s\n", E.what());
    return 1;
  }
}
