#include "storage/TolvanPage.h"
#include "tests/storage/StorageTestSupport.h"

#include <gtest/gtest.h>

#include "storage/TolvanPageStores.h"

using namespace tolvan;
using namespace tolvan::test;

namespace {

TEST(TolvanPage, StartsWithoutNumberOrBuffer) {
  TTolvanMemoryPageManager Store;
  TTolvanPage P(Store);
  EXPECT_EQ(&P.Manager(), &Store);
  EXPECT_EQ(P.PageNo(), -1);
  EXPECT_EQ(P.Buffer(), nullptr);
  EXPECT_TRUE(P.OwnsBuffer());
  EXPECT_FALSE(P.Dirty());
  EXPECT_EQ(P.UseCount(), 0);
  EXPECT_EQ(P.OwnerList(), nullptr);
  EXPECT_EQ(P.PageSize(), PS);
  EXPECT_EQ(P.Kind(), 2);
  EXPECT_EQ(NativeCodeOf([&] { P.MakeWritable(PS); }), 20038);
  EXPECT_EQ(NativeCodeOf([&] { P.InitHeader(); }), 20038);
}

TEST(TolvanPage, FreshPrivateBufferHoldsTheGenericHeaderThenZeros) {
  TTolvanMemoryPageManager Store;
  TTolvanPage P(Store);
  P.AllocBuffer();
  ASSERT_NE(P.Buffer(), nullptr);
  EXPECT_TRUE(P.OwnsBuffer());
  EXPECT_EQ(P.BufferSize(), PS);
  EXPECT_EQ(Hex(P.Buffer(), 32),
            "41435350" "00000000" "0000" "ffffffff" "00000000" "00000000" "ffffffff"
            "ffffffff" "0000");
  for (int32_t I = 32; I < PS; ++I)
    ASSERT_EQ(P.Buffer()[I], 0) << I;
  // A second private buffer replaces the first (the old one is freed, not leaked).
  P.Buffer()[100] = 7;
  P.AllocBuffer();
  EXPECT_EQ(P.Buffer()[100], 0);
}

// Copy-on-write from a buffer the memory store lends.
TEST(TolvanPage, MakeWritableCopiesABorrowedBlockAndLeavesTheStoreAlone) {
  TTolvanMemoryPageManager Store;
  TTolvanPage* P = Store.NewPage(1);
  FillPage(P, 5);
  uint8_t* Block = Store.Block(P->PageNo());
  ASSERT_EQ(P->Buffer(), Block);
  ASSERT_FALSE(P->OwnsBuffer());

  EXPECT_EQ(NativeCodeOf([&] { P->MakeWritable(PS - 1); }), 20039);
  EXPECT_EQ(P->Buffer(), Block);
  EXPECT_FALSE(P->OwnsBuffer());

  P->MakeWritable(PS);
  ASSERT_NE(P->Buffer(), Block);
  EXPECT_TRUE(P->OwnsBuffer());
  EXPECT_EQ(PageBytes(P->Buffer()), PagePattern(5));
  P->Buffer()[0] ^= 0xFF;
  EXPECT_EQ(PageBytes(Block), PagePattern(5));

  // Growing the private buffer keeps the page's bytes; the growth is zero.
  P->MakeWritable(PS + 100);
  EXPECT_EQ(P->BufferSize(), PS + 100);
  EXPECT_EQ(P->Buffer()[0], uint8_t(PagePattern(5)[0] ^ 0xFF));
  EXPECT_TRUE(std::equal(P->Buffer() + 1, P->Buffer() + PS, PagePattern(5).begin() + 1));
  for (int32_t I = PS; I < PS + 100; ++I)
    ASSERT_EQ(P->Buffer()[I], 0);

  // Only the first PageSize bytes reach the store.
  Store.ReleasePage(P);
  Store.Commit(1);
  EXPECT_EQ(Block[0], uint8_t(PagePattern(5)[0] ^ 0xFF));
  ReleaseAll(Store, 1, 100);
  Store.Close();
}

TEST(TolvanPage, FreeingABorrowingPageLeavesTheBlockInTheStore) {
  TTolvanMemoryPageManager Store;
  const int32_t N = NewFilledPage(Store, 1, 9);
  Store.Commit(1);
  {
    TTolvanPage P(Store);
    P.BorrowBuffer(Store.Block(N));
    EXPECT_FALSE(P.OwnsBuffer());
  }
  EXPECT_EQ(PageBytes(Store.Block(N)), PagePattern(9));
  ReleaseAll(Store, 1, 100);
  Store.Close();
}

TEST(TolvanPageController, ReachesTheWrappedPage) {
  TTolvanMemoryPageManager Store;
  TTolvanPage* P = Store.NewPage(1);
  {
    TTolvanPageController C(P);
    EXPECT_EQ(C.Page(), P);
    EXPECT_EQ(C.PageNo(), P->PageNo());
    EXPECT_EQ(C.PageSize(), PS);
    EXPECT_EQ(C.Buffer(), P->Buffer());
    C.SetDirty(false);
    EXPECT_FALSE(P->Dirty());
    C.SetDirty(true);
    EXPECT_TRUE(P->Dirty());
    C.MakeWritable(PS + 8);
    EXPECT_EQ(C.Buffer(), P->Buffer());
    EXPECT_TRUE(P->OwnsBuffer());
    // A page a list holds keeps its number: the list's index is keyed by it.
    EXPECT_EQ(NativeCodeOf([&] { C.SetPageNo(77); }), 20064);
    EXPECT_EQ(C.PageNo(), 0);
  }
  TTolvanPage Loose(Store);
  TTolvanPageController C(&Loose);
  C.SetPageNo(12);
  EXPECT_EQ(Loose.PageNo(), 12);
  Store.ReleasePage(P);
  Store.Rollback(1);
  Store.Close();
}

} // namespace
