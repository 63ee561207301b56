// BTreeTestSupport.h: a table of key columns, key bytes written by hand, a tree over a memory page
// store, and an order of keys written independently of the engine's comparators (values decoded
// from the key bytes, text through the collation), for the B-tree tests.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "classlib/ByteOrder.h"
#include "classlib/Collation.h"
#include "schema/TolvanIndexDef.h"
#include "schema/TolvanMetaObjectDefs.h"
#include "storage/TolvanPageStores.h"
#include "storage/btree/TolvanBTree.h"
#include "storage/btree/TolvanBTreeCheck.h"
#include "tests/storage/PageAccounting.h"
#include "tests/storage/StorageTestSupport.h"

namespace tolvan::test {

using TKey = std::vector<uint8_t>;

struct TColumnSpec {
  const char* Name;
  TTolvanFieldType Type;
  int32_t Size = 0; // characters or bytes for the text and byte types
  bool Descending = false;
  bool CaseInsensitive = false;
};

// Fields named by the specs, in order, and an index "IX" over all of them.
class TKeyTable {
public:
  TKeyTable(const std::vector<TColumnSpec>& Columns, bool Build = true) {
    for (const TColumnSpec& C : Columns) {
      TTolvanFieldDef& F = Fields.AddNew();
      F.SetName(C.Name);
      F.SetType(C.Type, C.Size);
    }
    Fields.CalcLayout();
    Def.SetName("IX");
    Def.SetColumnCount(int32_t(Columns.size()));
    int32_t I = 0;
    for (const TColumnSpec& C : Columns) {
      Def.Columns(I).SetName(C.Name);
      Def.Columns(I).SetDescending(C.Descending);
      Def.Columns(I).SetCaseInsensitive(C.CaseInsensitive);
      ++I;
    }
    if (Build)
      KeyRef.Build(Def, &Fields);
  }

  TTolvanFieldDefs Fields;
  TTolvanIndexDef Def;
  TTolvanBTreeKeyRef KeyRef;
};

// Key bytes column by column, in the layout of KeyRef.
class TKeyWriter {
public:
  explicit TKeyWriter(const TTolvanBTreeKeyRef& KeyRef)
      : FKeyRef(KeyRef), FKey(size_t(KeyRef.KeySize())) {}

  TKeyWriter& Null() {
    Part()[0] = 1;
    ++FColumn;
    return *this;
  }
  // Raw value bytes (at most the column's DataSize).
  TKeyWriter& Bytes(const void* Data, size_t N) {
    uint8_t* P = Part();
    std::memcpy(P + 1, Data, std::min(N, size_t(FKeyRef.Columns(FColumn).Size - 1)));
    ++FColumn;
    return *this;
  }
  template <class T> TKeyWriter& Value(T V) {
    uint8_t B[sizeof(T)];
    StoreLE<T>(B, V);
    return Bytes(B, sizeof B);
  }
  TKeyWriter& Text(std::string_view S) { return Bytes(S.data(), S.size()); }
  TKeyWriter& Wide(std::u16string_view S) { return Bytes(S.data(), S.size() * 2); }
  TKey Key() const { return FKey; }
  operator TKey() const { return FKey; }

private:
  uint8_t* Part() { return FKey.data() + FKeyRef.Columns(FColumn).KeyOffset; }

  const TTolvanBTreeKeyRef& FKeyRef;
  TKey FKey;
  int32_t FColumn = 0;
};

inline TTolvanRecordID RID(int32_t PageNo, uint16_t Item = 0) {
  return TTolvanRecordID{PageNo, Item};
}

// --- The model order
// ------------------------------------------------------------------------------

// One column of two keys, compared from the decoded values, NULL first.
inline int ModelCompareColumn(const TTolvanBTreeKeyColumn& C, const uint8_t* A, const uint8_t* B) {
  const bool NA = A[0] != 0, NB = B[0] != 0;
  if (NA || NB)
    return NA == NB ? 0 : NA ? -1 : 1;
  const uint8_t* VA = A + 1;
  const uint8_t* VB = B + 1;
  const size_t N = size_t(C.Size - 1);
  auto Sign = [](auto X, auto Y) { return X < Y ? -1 : Y < X ? 1 : 0; };
  auto Float = [](long double X, long double Y) {
    if (std::isnan(X) || std::isnan(Y))
      return std::isnan(X) && std::isnan(Y) ? 0 : std::isnan(X) ? -1 : 1;
    return X < Y ? -1 : Y < X ? 1 : 0;
  };
  switch (C.DataType) {
  case tvtChar:
  case tvtString: {
    auto TextOf = [N](const uint8_t* V) {
      const std::string_view S(reinterpret_cast<const char*>(V), N);
      return S.substr(0, S.find('\0'));
    };
    const std::string_view SA = TextOf(VA), SB = TextOf(VB);
    const int R = CompareAnsi(SA, SB, C.CaseInsensitive);
    return Sign(R, 0);
  }
  case tvtWideChar:
  case tvtWideString: {
    auto WideOf = [N](const uint8_t* V) {
      std::u16string S;
      for (size_t I = 0; I + 1 < N; I += 2) {
        const char16_t Unit = char16_t(V[I] | V[I + 1] << 8);
        if (!Unit)
          break;
        S += Unit;
      }
      return S;
    };
    const std::u16string SA = WideOf(VA), SB = WideOf(VB);
    return Sign(CompareWide(SA, SB, C.CaseInsensitive), 0);
  }
  case tvtSignedInt8:
    return Sign(int8_t(VA[0]), int8_t(VB[0]));
  case tvtUnsignedInt8:
    return Sign(VA[0], VB[0]);
  case tvtSignedInt16:
    return Sign(LoadLE<int16_t>(VA), LoadLE<int16_t>(VB));
  case tvtUnsignedInt16:
    return Sign(LoadLE<uint16_t>(VA), LoadLE<uint16_t>(VB));
  case tvtInteger:
  case tvtDate:
  case tvtTime:
    return Sign(LoadLE<int32_t>(VA), LoadLE<int32_t>(VB));
  case tvtUnsignedInt32:
    return Sign(int64_t(LoadLE<uint32_t>(VA)), int64_t(LoadLE<uint32_t>(VB)));
  case tvtSignedInt64:
    return Sign(LoadLE<int64_t>(VA), LoadLE<int64_t>(VB));
  case tvtSingle:
    return Float(LoadLE<float>(VA), LoadLE<float>(VB));
  case tvtFloat:
  case tvtCurrency:
    return Float(LoadLE<double>(VA), LoadLE<double>(VB));
  case tvtExtended: {
    long double XA = 0, XB = 0;
    std::memcpy(&XA, VA, 10);
    std::memcpy(&XB, VB, 10);
    return Float(XA, XB);
  }
  case tvtDateTime: {
    const int R = Sign(LoadLE<int32_t>(VA), LoadLE<int32_t>(VB));
    return R ? R : Sign(LoadLE<int32_t>(VA + 4), LoadLE<int32_t>(VB + 4));
  }
  case tvtLogical:
    return Sign(LoadLE<int16_t>(VA) != 0, LoadLE<int16_t>(VB) != 0);
  default:
    ADD_FAILURE() << "no model order for type " << int(C.DataType);
    return 0;
  }
}

inline int ModelCompare(const TTolvanBTreeKeyRef& KeyRef, const uint8_t* A, const uint8_t* B,
                        int32_t Columns = -1) {
  const int32_t Count = Columns < 0 ? KeyRef.ColumnTotal() : Columns;
  for (int32_t I = 0; I < Count; ++I) {
    const TTolvanBTreeKeyColumn& C = KeyRef.Columns(I);
    const int R = ModelCompareColumn(C, A + C.KeyOffset, B + C.KeyOffset);
    if (R)
      return C.Descending ? -R : R;
  }
  return 0;
}

struct TModelLess {
  const TTolvanBTreeKeyRef* KeyRef;
  bool operator()(const TKey& A, const TKey& B) const {
    return ModelCompare(*KeyRef, A.data(), B.data()) < 0;
  }
};

// --- A tree over a page store
// ---------------------------------------------------------------------

inline constexpr int32_t Session = 1;

// Holds a tree of the table's index in Store (its own memory store unless one is given).
class TTreeHarness {
public:
  explicit TTreeHarness(const std::vector<TColumnSpec>& Columns,
                        TTolvanPageManager* AStore = nullptr)
      : Table(Columns), Store(AStore ? *AStore : OwnStore), Tree(Store, Table.KeyRef) {}
  ~TTreeHarness() {
    try {
      Store.Rollback(Session);
      Tree.FreePages(Session);
      Store.Commit(Session);
    } catch (...) {
    }
  }

  const TTolvanBTreeKeyRef& KeyRef() const { return Table.KeyRef; }
  TKeyWriter Key() const { return TKeyWriter(Table.KeyRef); }

  void Insert(const TKey& K, const TTolvanRecordID& ID) { Tree.InsertKey(Session, K.data(), ID); }
  bool Delete(const TKey& K, const TTolvanRecordID& ID) {
    return Tree.DeleteKey(Session, K.data(), ID);
  }
  void Commit() { Store.Commit(Session); }
  void Check() { CheckTree(Tree, Session); }

  // The entries in leaf order, by walking the sibling chain from the first leaf.
  std::vector<std::pair<TKey, TTolvanRecordID>> Entries() {
    std::vector<std::pair<TKey, TTolvanRecordID>> V;
    TTolvanKeyPath Path;
    if (!Tree.GoFirstPath(Session, Path))
      return V;
    for (int32_t PageNo = Path.Last().PageNo; PageNo != -1;) {
      TTolvanBTreePage Leaf = Tree.GetBTreePage(Session, PageNo);
      for (int32_t I = 0; I < Leaf.EntryCount(); ++I)
        V.emplace_back(TKey(Leaf.EntryPtr(I), Leaf.EntryPtr(I) + Leaf.KeySize()),
                       Leaf.RecordIDAt(I));
      PageNo = Leaf.NextPageNo();
    }
    return V;
  }

  // Tree depth and pages per level, from the root down the first children and along each level.
  std::vector<int32_t> LevelWidths() {
    std::vector<int32_t> W;
    int32_t First = Tree.RootPageNo();
    while (First != -1) {
      int32_t Count = 0;
      int32_t Down = -1;
      for (int32_t PageNo = First; PageNo != -1; ++Count) {
        TTolvanBTreePage P = Tree.GetBTreePage(Session, PageNo);
        if (Count == 0 && !P.IsLeaf() && P.EntryCount() > 0)
          Down = P.ChildAt(0);
        PageNo = P.NextPageNo();
      }
      W.push_back(Count);
      First = Down;
    }
    return W;
  }

  TKeyTable Table;
  TTolvanMemoryPageManager OwnStore;
  TTolvanPageManager& Store;
  TTolvanBTree Tree;
};

// The pages below the root, counted by a walk over the children.
inline int32_t ReachablePages(TTolvanBTree& Tree, int32_t PageNo) {
  if (PageNo == -1)
    return 0;
  TTolvanBTreePage P = Tree.GetBTreePage(Session, PageNo);
  int32_t N = 1;
  if (!P.IsLeaf())
    for (int32_t I = 0; I < P.EntryCount(); ++I)
      N += ReachablePages(Tree, P.ChildAt(I));
  return N;
}

// A filter standing for a result bitmap: the record ids it holds.
class TSetFilter : public TTolvanBTreeRecordFilter {
public:
  bool AcceptRecord(const TTolvanRecordID& ID) override { return Members.count(Pack(ID)) > 0; }
  void RemoveRecord(const TTolvanRecordID& ID) override { Members.erase(Pack(ID)); }
  void Add(const TTolvanRecordID& ID) { Members.insert({Pack(ID), 1}); }
  static int64_t Pack(const TTolvanRecordID& ID) {
    return int64_t(ID.PageNo) << 16 | ID.PageItemNo;
  }
  std::map<int64_t, int> Members;
};

// A tree driven next to a std::multimap ordered by the model order: every change goes to both, and
// Verify compares them.
class TModelTree {
public:
  using TModel = std::multimap<TKey, TTolvanRecordID, TModelLess>;

  explicit TModelTree(TTreeHarness& Harness)
      : H(Harness), Model(TModelLess{&Harness.Table.KeyRef}) {}

  void Insert(const TKey& K) {
    const TTolvanRecordID ID = RID(NextID / 65536, uint16_t(NextID % 65536));
    ++NextID;
    H.Insert(K, ID);
    Model.emplace(K, ID);
  }
  // Deletes the model's entry at position I (of Model.size()).
  void DeleteAt(size_t I) {
    auto It = std::next(Model.begin(), std::ptrdiff_t(I));
    ASSERT_TRUE(H.Delete(It->first, It->second));
    Model.erase(It);
  }
  // The tree's entries equal the model's: the same keys in order, and each run of equal keys
  // with the same record ids (in any order).
  void VerifyEntries() {
    const auto Entries = H.Entries();
    ASSERT_EQ(Entries.size(), Model.size());
    auto It = Model.begin();
    size_t I = 0;
    while (I < Entries.size()) {
      size_t J = I;
      std::vector<int64_t> Tree, Mine;
      while (J < Entries.size() &&
             ModelCompare(H.KeyRef(), Entries[I].first.data(), Entries[J].first.data()) == 0) {
        ASSERT_EQ(ModelCompare(H.KeyRef(), It->first.data(), Entries[J].first.data()), 0)
            << "entry " << J;
        Tree.push_back(TSetFilter::Pack(Entries[J].second));
        Mine.push_back(TSetFilter::Pack(It->second));
        ++J;
        ++It;
      }
      std::sort(Tree.begin(), Tree.end());
      std::sort(Mine.begin(), Mine.end());
      ASSERT_EQ(Tree, Mine) << "run from entry " << I;
      I = J;
    }
  }
  void Verify() {
    ASSERT_NO_THROW(H.Check());
    VerifyEntries();
  }
  // After a commit the store's bookkeeping holds and every allocated page is in the tree.
  void VerifyStore(const TTolvanMemoryPageManager& Store) {
    H.Commit();
    ASSERT_EQ(PageAccountingFaults(Store), "");
    ASSERT_EQ(Store.AllocatedCount(), ReachablePages(H.Tree, H.Tree.RootPageNo()));
  }

  TTreeHarness& H;
  TModel Model;
  int32_t NextID = 1;
};

} // namespace tolvan::test
