#include "foundation/TolvanRelease.h"

#include "foundation/TolvanExcept.h"

namespace tolvan {

namespace {

// 3.90 lacks the last four reserved words of 4.00: DATABASE, FILE, PAGESIZE, MAXSESSIONSCOUNT.
constexpr TTolvanReleaseProfile Profiles[] = {
    {
        .Id = TTolvanReleaseId::tr400,
        .Name = "4.00",
        .KeywordCount = 292,
        .TableStreamVersion = 4.0,
        .TableStreamMaxVersion = 4.0001,
        .EngineVersion = 4.0,
        .TokenLineIsStatementNumber = false,
        .ComparisonKeepsNullOperand = false,
        .LastAutoIncWithoutDatabase = false,
        .MemoryStreamExactSize = false,
        .MemoryTableGrowsByAllocBy = false,
        .MemorySessionIdZero = false,
        .NoDatabaseStreams = false,
        .DeleteClosedDesignTables = false,
        .InMemoryByDatabaseName = false,
        .FetchPropagatesEngineErrors = false,
    },
    {
        .Id = TTolvanReleaseId::tr390,
        .Name = "3.90",
        .KeywordCount = 288,
        .TableStreamVersion = 3.9,
        .TableStreamMaxVersion = 3.9001,
        .EngineVersion = 3.9,
        .TokenLineIsStatementNumber = true,
        .ComparisonKeepsNullOperand = true,
        .LastAutoIncWithoutDatabase = true,
        .MemoryStreamExactSize = true,
        .MemoryTableGrowsByAllocBy = true,
        .MemorySessionIdZero = true,
        .NoDatabaseStreams = true,
        .DeleteClosedDesignTables = true,
        .InMemoryByDatabaseName = true,
        .FetchPropagatesEngineErrors = true,
    },
};

std::atomic<const TTolvanReleaseProfile*> Active{&Profiles[0]};
std::atomic<bool> RegistryLive{false};

} // namespace

const TTolvanReleaseProfile& Release() { return *Active.load(std::memory_order_acquire); }

bool Release390Active() { return Release().Id == TTolvanReleaseId::tr390; }

void SelectRelease(TTolvanReleaseId Id) {
  const TTolvanReleaseProfile& Wanted = Profiles[Id == TTolvanReleaseId::tr390 ? 1 : 0];
  if (RegistryLive.load(std::memory_order_acquire))
    throw ETolvanException::CreateFmt(ErrReleaseSelectedWhileLive, SReleaseSelectedWhileLive,
                                      Wanted.Name);
  Active.store(&Wanted, std::memory_order_release);
}

void MarkStorageRegistryLive(bool Live) noexcept {
  RegistryLive.store(Live, std::memory_order_release);
}

void RaiseReleaseSlotEmpty(const char* SlotName) {
  throw ETolvanException::CreateFmt(ErrReleaseSlotEmpty, SReleaseSlotEmpty, Release().Name,
                                    SlotName);
}

void RaiseNotInRelease(std::string_view Operation) {
  throw ETolvanException::CreateFmt(ErrNotInRelease, SNotInRelease, Operation, Release().Name);
}

} // namespace tolvan
