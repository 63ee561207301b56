#include "foundation/TolvanConst.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "classlib/SysUtils.h"
#include "foundation/TolvanRelease.h"

using namespace tolvan;

namespace {

// Restores the default release when a test switches it.
struct ReleaseGuard {
  ~ReleaseGuard() { SelectRelease(TTolvanReleaseId::tr400); }
};

} // namespace

TEST(Keywords, MatchTheFixture) {
  std::ifstream In(std::string(TOLVAN_TEST_FIXTURES) + "/keywords.txt");
  ASSERT_TRUE(In) << "missing keywords fixture";
  std::string Line;
  int N = 0;
  while (std::getline(In, Line)) {
    size_t Tab = Line.find('\t');
    ASSERT_NE(Tab, std::string::npos);
    int Id = std::stoi(Line.substr(0, Tab));
    ASSERT_EQ(Id, N);
    EXPECT_EQ(KeywordByIndex(static_cast<int16_t>(Id)), Line.substr(Tab + 1)) << Id;
    ++N;
  }
  EXPECT_EQ(N, 292);
}

TEST(Keywords, KeywordByIndexEdges) {
  EXPECT_EQ(KeywordByIndex(0), "ABSOLUTE");
  EXPECT_EQ(KeywordByIndex(74), "END-EXEC");
  EXPECT_EQ(KeywordByIndex(291), "MAXSESSIONSCOUNT");
  EXPECT_EQ(NoKeywordId(), 292);
  EXPECT_THROW(KeywordByIndex(292), ERangeError);
  EXPECT_THROW(KeywordByIndex(-1), ERangeError);
  EXPECT_THROW(KeywordByIndex(32767), ERangeError);
}

TEST(Keywords, TheOrderHasItsTwoKnownExceptions) {
  // Ids 0..235 are alphabetical but for CHAR_LENGTH before CHARACTER_LENGTH and HEX before
  // HAVING; a lookup therefore scans rather than bisects.
  int OutOfOrder = 0;
  for (int I = 1; I <= 235; ++I)
    if (SQLKeywords[I] < SQLKeywords[I - 1])
      ++OutOfOrder;
  EXPECT_EQ(OutOfOrder, 2);
}

TEST(Keywords, Release390HasTheFirst288) {
  ReleaseGuard G;
  SelectRelease(TTolvanReleaseId::tr390);
  EXPECT_EQ(Release().KeywordCount, 288);
  EXPECT_EQ(NoKeywordId(), 288);
  EXPECT_EQ(KeywordByIndex(287), "XOR");
  EXPECT_THROW(KeywordByIndex(288), ERangeError); // DATABASE is no keyword there
  SelectRelease(TTolvanReleaseId::tr400);
  EXPECT_EQ(KeywordByIndex(288), "DATABASE");
}

TEST(TuningConstants, Values) {
  EXPECT_EQ(PageCacheMaxPages, 200);
  EXPECT_EQ(MemoryPageSize, 4096);
  EXPECT_EQ(TemporaryPageSize, 4096);
  EXPECT_EQ(DefaultMemoryTableAllocBy, 1000);
  EXPECT_EQ(RowHashSeed, 0xF37ADE3Bu);
  EXPECT_EQ(ValueHashSeed, 0xDE3C6A08u);
  EXPECT_EQ(NullValueHash, 0x73B58EAFu);
  EXPECT_EQ(EmptyDateValue, -2147483647 - 1);
  EXPECT_EQ(HashValueSize, 4);
  EXPECT_EQ(HashValueBits, 32);
  EXPECT_EQ(HashPointerSize, 4);
  EXPECT_EQ(CRLF, "\r\n");
  EXPECT_EQ(TAB, "\t");
}
