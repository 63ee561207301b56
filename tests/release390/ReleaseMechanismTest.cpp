// The release profile, its slots and the guard on selecting while the engine runs.
#include <gtest/gtest.h>

#include "components/TolvanComponentStartup.h"
#include "foundation/TolvanExcept.h"
#include "foundation/TolvanRelease.h"
#include "release390/TolvanRelease390.h"
#include "storage/TolvanDatabaseData.h"
#include "tests/release390/support/ReleaseScope.h"

using namespace tolvan;
using namespace tolvan::test;

namespace {

struct TProbe {
  virtual ~TProbe() = default;
  virtual int Answer() const = 0;
};
struct TProbe400 final : TProbe {
  int Answer() const override { return 400; }
};
struct TProbe390 final : TProbe {
  int Answer() const override { return 390; }
};
const TProbe400 Probe400;
const TProbe390 Probe390;

int32_t CodeOf(auto&& F) {
  try {
    F();
  } catch (const ETolvanException& E) {
    return E.NativeError();
  }
  return 0;
}

} // namespace

TEST(ReleaseProfile, BothProfiles) {
  struct TRow {
    TTolvanReleaseId Id;
    const char* Name;
    int16_t Keywords;
    double Written, MaxRead, Engine;
    bool Switches;
  };
  const TRow Rows[] = {
      {TTolvanReleaseId::tr400, "4.00", 292, 4.0, 4.0001, 4.0, false},
      {TTolvanReleaseId::tr390, "3.90", 288, 3.9, 3.9001, 3.9, true},
  };
  for (const TRow& R : Rows) {
    TReleaseScope Scope(R.Id, false);
    const TTolvanReleaseProfile& P = Release();
    EXPECT_STREQ(P.Name, R.Name);
    EXPECT_EQ(P.KeywordCount, R.Keywords);
    EXPECT_EQ(NoKeywordId(), R.Keywords);
    EXPECT_EQ(P.TableStreamVersion, R.Written);
    EXPECT_EQ(P.TableStreamMaxVersion, R.MaxRead);
    EXPECT_EQ(P.EngineVersion, R.Engine);
    for (bool Switch :
         {P.TokenLineIsStatementNumber, P.ComparisonKeepsNullOperand, P.LastAutoIncWithoutDatabase,
          P.MemoryStreamExactSize, P.MemoryTableGrowsByAllocBy, P.MemorySessionIdZero,
          P.NoDatabaseStreams, P.DeleteClosedDesignTables, P.InMemoryByDatabaseName,
          P.FetchPropagatesEngineErrors})
      EXPECT_EQ(Switch, R.Switches) << R.Name;
  }
  EXPECT_STREQ(Release().Name, "4.00") << "the scope restores 4.00";
}

TEST(ReleaseProfile, SelectingWhileTheRegistryLivesRaises) {
  TComponentRegistriesScope Running;
  ASSERT_TRUE(StorageStarted());
  EXPECT_EQ(CodeOf([] { SelectRelease(TTolvanReleaseId::tr390); }), ErrReleaseSelectedWhileLive);
  EXPECT_STREQ(Release().Name, "4.00");
  // Even selecting the active release is refused: the choice is fixed while the engine runs.
  EXPECT_EQ(CodeOf([] { SelectRelease(TTolvanReleaseId::tr400); }), ErrReleaseSelectedWhileLive);
  {
    TReleaseScope Scope; // stops, switches and restarts the registries
    EXPECT_STREQ(Release().Name, "3.90");
    EXPECT_TRUE(ComponentRegistriesExist());
  }
  EXPECT_STREQ(Release().Name, "4.00");
  EXPECT_TRUE(ComponentRegistriesExist()) << "what ran before the scope runs again";
  FreeComponentRegistries();
  SelectRelease(TTolvanReleaseId::tr400);
}

TEST(ReleaseVariant, ActiveImplementationAndEmptySlot) {
  TTolvanReleaseVariant<TProbe> Slot("Probe", Probe400);
  EXPECT_EQ(Slot->Answer(), 400);
  {
    TReleaseScope Scope(TTolvanReleaseId::tr390, false);
    // Never a fall-back to 4.00 code.
    try {
      Slot.Active();
      FAIL() << "an empty 3.90 slot answered";
    } catch (const ETolvanException& E) {
      EXPECT_EQ(E.NativeError(), ErrReleaseSlotEmpty);
      EXPECT_NE(E.Message().find("Release 3.90 has no implementation of 'Probe'"),
                std::string::npos)
          << E.Message();
    }
    Slot.Install390(&Probe390);
    EXPECT_EQ(Slot->Answer(), 390);
  }
  EXPECT_EQ(Slot->Answer(), 400) << "4.00 never reads the 3.90 slot";
}

TEST(ReleaseVariant, NotInReleaseNamesTheOperation) {
  TReleaseScope Scope(TTolvanReleaseId::tr390, false);
  try {
    RaiseNotInRelease("SaveDatabaseToStream");
    FAIL();
  } catch (const ETolvanException& E) {
    EXPECT_EQ(E.NativeError(), ErrNotInRelease);
    EXPECT_EQ(E.Message(), "Operation 'SaveDatabaseToStream' is not available in release 3.90 - "
                           "Native error: 30407");
  }
}
