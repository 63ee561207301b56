#include <gtest/gtest.h>

namespace tolvan {
int SqlLayerVersion();
}

TEST(TolvanSqlLayer, Links) { EXPECT_EQ(tolvan::SqlLayerVersion(), 1); }
