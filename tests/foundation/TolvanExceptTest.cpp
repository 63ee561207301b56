#include "foundation/TolvanExcept.h"

#include <gtest/gtest.h>

#include "foundation/TolvanMessages.h"

using namespace tolvan;

TEST(TolvanException, CreateComposesTextAndCode) {
  ETolvanException E = ETolvanException::Create(30137, SMemoryOverrun);
  EXPECT_EQ(E.NativeError(), 30137);
  EXPECT_EQ(E.Message(), "Memory overrun detected - Native error: 30137");
  EXPECT_STREQ(E.what(), "Memory overrun detected - Native error: 30137");
}

TEST(TolvanException, CodesBelowFiveDigitsAreZeroPadded) {
  ETolvanException E(2011, "Some text");
  EXPECT_EQ(E.Message(), "Some text - Native error: 02011");
  EXPECT_EQ(ETolvanException(-7, "x").Message(), "x - Native error: -00007");
}

TEST(TolvanException, CreateFmtFillsTheTemplate) {
  auto E = ETolvanException::CreateFmt(30289, SUnknownDataType, "8");
  EXPECT_EQ(E.Message(), "Unknown DataType: '8' - Native error: 30289");
  auto F = ETolvanException::CreateFmt(10100, "%s at %d, %d", std::string("x"), 3, int64_t(4));
  EXPECT_EQ(F.Message(), "x at 3, 4 - Native error: 10100");
}

TEST(TolvanException, CreateFmtWithBadArgumentsKeepsTheTemplate) {
  auto E = ETolvanException::CreateFmt(30289, SUnknownDataType);
  EXPECT_EQ(E.NativeError(), 30289);
  EXPECT_EQ(E.Message(), "Unknown DataType: '%s' Arguments are invalid! - Native error: 30289");
  auto F = ETolvanException::CreateFmt(30001, "Count %d", "not a number");
  EXPECT_EQ(F.Message(), "Count %d Arguments are invalid! - Native error: 30001");
}

TEST(TolvanException, IsAnException) {
  try {
    throw ETolvanException(10001, "boom");
  } catch (const Exception& E) {
    EXPECT_EQ(E.Message(), "boom - Native error: 10001");
  }
}
