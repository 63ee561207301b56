// The cursor contract over the local cursor on an in-memory table of the "MEMORY" database.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>

#include "storage/TolvanDatabaseData.h"
#include "storage/local/TolvanLocalCursor.h"
#include "storage/local/TolvanLocalSession.h"
#include "tests/schema/support/CursorContract.h"

using namespace tolvan;
using namespace tolvan::test;

namespace {

// A local cursor that brings its own connected session and, when nothing had started the
// storage engine, starts it for its own life.
class TContractCursor : public TTolvanLocalCursor {
public:
  TContractCursor() : FStartedHere(!StorageStarted()) {
    StorageStartup();
    auto Session = std::make_unique<TTolvanLocalSession>();
    Session->SetDatabaseName("MEMORY");
    Session->SetFileName("MEMORY");
    Session->SetInMemory(true);
    Session->SetConnected(true);
    AdoptSession(std::move(Session));
    static std::atomic<int> Serial{0};
    SetTableName("Contract" + std::to_string(++Serial));
    SetInMemory(true);
  }
  ~TContractCursor() override {
    try {
      CloseTable();
      if (std::unique_ptr<TTolvanBaseSession> Session = ReleaseOwnedSession())
        Session->SetConnected(false);
    } catch (...) {
    }
    if (FStartedHere)
      StorageShutdown();
  }

private:
  bool FStartedHere;
};

std::unique_ptr<TTolvanCursor> MakeLocalCursor() { return std::make_unique<TContractCursor>(); }

} // namespace

INSTANTIATE_TEST_SUITE_P(Local, CursorContract,
                         ::testing::Values(TCursorContractEnv{"Local", &MakeLocalCursor}),
                         CursorContractName);
