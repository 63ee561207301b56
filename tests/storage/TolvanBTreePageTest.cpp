#include <gtest/gtest.h>

#include <string>

#include "classlib/SysUtils.h"
#include "tests/storage/BTreeTestSupport.h"

using namespace tolvan;
using namespace tolvan::test;

namespace {

std::string PageHex(TTolvanBTree& Tree, int32_t PageNo, size_t Bytes) {
  TTolvanBTreePage P = Tree.GetBTreePage(Session, PageNo);
  return Hex(P.Buffer(), Bytes);
}

bool ZeroFrom(TTolvanBTree& Tree, int32_t PageNo, size_t From) {
  TTolvanBTreePage P = Tree.GetBTreePage(Session, PageNo);
  for (size_t I = From; I < size_t(PS); ++I)
    if (P.Buffer()[I])
      return false;
  return true;
}

} // namespace

// A root leaf with Integer keys 7 (record {3,0}) and 300 (record {1,0}), byte for byte; the rest
// of the page is zero.
TEST(TolvanBTreePage, RootLeafBytes) {
  TTreeHarness H({{"N", tftInteger}});
  H.Insert(H.Key().Value<int32_t>(300), RID(1));
  H.Insert(H.Key().Value<int32_t>(7), RID(3));
  H.Commit();
  EXPECT_EQ(PageHex(H.Tree, H.Tree.RootPageNo(), 40), "0101ffffffffffffffff0100050002000000"
                                                      "0007000000030000000000"
                                                      "002c010000010000000000");
  EXPECT_TRUE(ZeroFrom(H.Tree, H.Tree.RootPageNo(), 40));
}

// The first split of a root leaf: the root keeps its number and holds a zero key for the left
// half and the right half's first key; the halves are chained.
TEST(TolvanBTreePage, FirstRootSplitBytes) {
  TTreeHarness H({{"N", tftInteger}});
  for (int32_t I = 0; I < 370; ++I) // (4096 - 18) / 11 = 370 entries fit
    H.Insert(H.Key().Value<int32_t>(I), RID(I));
  EXPECT_EQ(H.LevelWidths(), std::vector<int32_t>({1}));
  H.Insert(H.Key().Value<int32_t>(370), RID(370));
  H.Commit();
  ASSERT_EQ(H.Tree.RootPageNo(), 0);
  EXPECT_EQ(PageHex(H.Tree, 0, 36), "0100ffffffffffffffff0100050002000000"
                                    "00000000000100000000b900000002000000");
  EXPECT_TRUE(ZeroFrom(H.Tree, 0, 36));
  EXPECT_EQ(PageHex(H.Tree, 1, 18), "0001ffffffff0200000001000500b9000000");
  EXPECT_EQ(PageHex(H.Tree, 2, 18), "000101000000ffffffff01000500ba000000");
  EXPECT_TRUE(ZeroFrom(H.Tree, 1, 18 + 185 * 11));
  H.Check();
}

// With an entry size of 16 a page holds 254 entries; the 255th splits it into 127 and 128 and the
// right page's first key goes up.
TEST(TolvanBTreePage, SplitOf255thEntry) {
  TTreeHarness H({{"A", tftInteger}, {"B", tftInteger}});
  for (int32_t I = 0; I < 255; ++I)
    H.Insert(H.Key().Value<int32_t>(I).Value<int32_t>(-I), RID(I));
  TTolvanBTreePage Root = H.Tree.GetRoot(Session);
  ASSERT_FALSE(Root.IsLeaf());
  ASSERT_EQ(Root.EntryCount(), 2);
  TTolvanBTreePage L = H.Tree.GetBTreePage(Session, Root.ChildAt(0));
  TTolvanBTreePage R = H.Tree.GetBTreePage(Session, Root.ChildAt(1));
  EXPECT_EQ(L.EntrySize(), 16);
  EXPECT_EQ(L.EntryCount(), 127);
  EXPECT_EQ(R.EntryCount(), 128);
  EXPECT_EQ(std::memcmp(Root.EntryPtr(1), R.EntryPtr(0), 10), 0);
  EXPECT_EQ(LoadLE<int32_t>(R.EntryPtr(0) + 1), 127);
}

// An equal key goes before the equal entry the binary search meets first.
TEST(TolvanBTreePage, EqualKeysGoBeforeTheFirstMet) {
  TTreeHarness H({{"N", tftInteger}});
  const TKey Five = H.Key().Value<int32_t>(5);
  for (int32_t I = 1; I <= 4; ++I)
    H.Insert(Five, RID(I));
  std::vector<int32_t> Order;
  for (const auto& [K, ID] : H.Entries())
    Order.push_back(ID.PageNo);
  // [1] -> [2 1] -> [3 2 1] (mid 0) -> [3 4 2 1] (mid 1)
  EXPECT_EQ(Order, std::vector<int32_t>({3, 4, 2, 1}));
}

TEST(TolvanBTreePage, HeaderAccessorsAndRanges) {
  TTreeHarness H({{"N", tftInteger}});
  H.Tree.CreateRoot(Session);
  TTolvanBTreePage P = H.Tree.GetRoot(Session);
  EXPECT_TRUE(P.IsRoot());
  EXPECT_TRUE(P.IsLeaf());
  EXPECT_EQ(P.Reserved(), 1);
  EXPECT_EQ(P.KeySize(), 5);
  EXPECT_EQ(P.HeaderSize(), 18);
  EXPECT_EQ(P.EntrySize(), 11);
  EXPECT_EQ(P.DataSize(), 6);
  EXPECT_THROW(P.SetEntryCount(65536), ERangeError);
  EXPECT_EQ(NativeCodeOf([&] { P.DeleteEntryAt(0); }), 20025);
  P.SetIsLeaf(false);
  EXPECT_EQ(P.EntrySize(), 9);
  P.ClearHeader();
  EXPECT_EQ(Hex(P.Buffer(), 18), "0000ffffffffffffffff0000000000000000");
  P.InitRoot();
}

TEST(TolvanKeyPath, LevelsCompareAndPosition) {
  TTolvanKeyPath P;
  for (int32_t I = 0; I < MaxKeyPathLevels; ++I)
    P.AddLevel(I, 0, 1);
  const ETolvanException E = Raised([&] { P.AddLevel(99, 1, 2); });
  EXPECT_EQ(E.NativeError(), 11660);
  EXPECT_NE(E.Message().find("invalid ItemNo = 32. PageNo = 99, EntryNo = 1, EntryCount = 2"),
            std::string::npos);
  EXPECT_TRUE(P.ContainsPage(31));
  EXPECT_FALSE(P.ContainsPage(32));
  EXPECT_EQ(CompareKeyPaths(P, P), 0);

  TTolvanKeyPath A, B;
  A.AddLevel(0, 1, 2);
  A.AddLevel(5, 2, 4);
  EXPECT_DOUBLE_EQ(A.ApproxPosition(), 0.75); // (1 x 4 + 2) / 8
  B.AddLevel(0, 1, 2);
  EXPECT_EQ(NativeCodeOf([&] { CompareKeyPaths(A, B); }), 20051);
  B.AddLevel(6, 0, 4);
  EXPECT_EQ(NativeCodeOf([&] { CompareKeyPaths(A, B); }), 20052); // same entry, other page
  B.Levels(0).EntryNo = 0;
  EXPECT_EQ(CompareKeyPaths(A, B), 1); // the first differing level decides; below it may differ
  EXPECT_EQ(CompareKeyPaths(B, A), -1);

  TTolvanKeyPath Leaf;
  Leaf.AddLevel(3, 2, 4);
  EXPECT_DOUBLE_EQ(Leaf.ApproxPosition(), 0.5);
  TTolvanKeyPath Copy = A;
  EXPECT_EQ(CompareKeyPaths(Copy, A), 0);
  Copy.RemoveLastLevel();
  EXPECT_EQ(Copy.Count(), 1);
  EXPECT_EQ(Copy.ItemNo(), 1);
  Copy.Clear();
  EXPECT_EQ(Copy.ApproxPosition(), 0);
}

TEST(TolvanKeyPath, Cache) {
  TTolvanKeyPathCache C;
  TTolvanKeyPath P, Got;
  P.AddLevel(4, 1, 3);
  EXPECT_EQ(NativeCodeOf([&] { C.StorePath(7, RID(1), P); }), 11630);
  C.GetPath(7, RID(1), false, Got); // first use: an entry and an empty path
  EXPECT_EQ(Got.Count(), 0);
  C.StorePath(7, RID(1, 2), P);
  C.GetPath(7, RID(1, 2), false, Got);
  EXPECT_EQ(Got.Count(), 1);
  EXPECT_EQ(Got.Levels(0).PageNo, 4);
  C.GetPath(7, RID(1, 3), false, Got); // another record: cleared
  EXPECT_EQ(Got.Count(), 0);
  C.StorePath(7, RID(1, 2), P);
  C.GetPath(7, RID(1, 2), true, Got); // reset
  EXPECT_EQ(Got.Count(), 0);
  C.GetPath(8, RID(0), false, Got);
  EXPECT_EQ(C.Count(), 2);
  C.RemoveSession(7);
  EXPECT_EQ(C.Count(), 1);
  const ETolvanException E = Raised([&] { C.StorePath(7, RID(9, 4), P); });
  EXPECT_NE(E.Message().find("SessionID = 7, RecordID.PageNo = 9, RecordID.PageItemNo = 4, "
                             "Items.Count = 1"),
            std::string::npos);
  C.RemoveSession(-1);
  EXPECT_EQ(C.Count(), 0);
}
