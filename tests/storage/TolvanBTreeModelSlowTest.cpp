// The differential test: per key kind, 20 000 random inserts, deletes, updates and searches on
// trees of up to about 2 000 keys, against a std::multimap (std::map for a unique index) in the
// model order.
#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "tests/storage/BTreeTestSupport.h"

using namespace tolvan;
using namespace tolvan::test;

namespace {

struct TKind {
  const char* Name;
  std::vector<TColumnSpec> Columns;
  bool Unique;
  std::function<TKey(TTreeHarness&, std::mt19937&)> Make;
};

std::string RandomText(std::mt19937& Rng, const char* Letters, size_t MaxLen) {
  std::string S(Rng() % (MaxLen + 1), ' ');
  for (char& C : S)
    C = Letters[Rng() % std::strlen(Letters)];
  return S;
}

const TKind Kinds[] = {
    {"Integer unique",
     {{"N", tftInteger}},
     true,
     [](TTreeHarness& H, std::mt19937& R) {
       return H.Key().Value<int32_t>(int32_t(R() % 6000) - 3000);
     }},
    {"Char(400)",
     {{"S", tftChar, 400}},
     false,
     [](TTreeHarness& H, std::mt19937& R) { return H.Key().Text(RandomText(R, "abcdefgh", 6)); }},
    {"few values",
     {{"N", tftSmallInt}},
     false,
     [](TTreeHarness& H, std::mt19937& R) { return H.Key().Value<int16_t>(int16_t(R() % 5)); }},
    {"NULLs",
     {{"N", tftInteger}, {"M", tftLargeInt}},
     false,
     [](TTreeHarness& H, std::mt19937& R) {
       TKeyWriter W = H.Key();
       if (R() % 3 == 0)
         W.Null();
       else
         W.Value<int32_t>(int32_t(R() % 50));
       if (R() % 3 == 0)
         W.Null();
       else
         W.Value<int64_t>(int64_t(R() % 7) - 3);
       return W.Key();
     }},
    {"descending",
     {{"D", tftDouble, 0, true}},
     false,
     [](TTreeHarness& H, std::mt19937& R) {
       const double V = R() % 50 == 0 ? std::nan("") : double(int(R() % 3000) - 1500) / 8;
       return H.Key().Value<double>(V);
     }},
    {"case-insensitive",
     {{"S", tftWideChar, 5, false, true}},
     false,
     [](TTreeHarness& H, std::mt19937& R) {
       const std::string S = RandomText(R, "aAbBcC", 5);
       return H.Key().Wide(std::u16string(S.begin(), S.end()));
     }},
    {"text and Integer descending",
     {{"S", tftChar, 6}, {"N", tftInteger, 0, true}},
     false,
     [](TTreeHarness& H, std::mt19937& R) {
       return H.Key().Text(RandomText(R, "xyz", 3)).Value<int32_t>(int32_t(R() % 40));
     }},
    {"largest key",
     {{"S", tftChar, 1351}},
     false,
     [](TTreeHarness& H, std::mt19937& R) { return H.Key().Text(RandomText(R, "pqrs", 6)); }},
};

class TDifferential {
public:
  TDifferential(const TKind& Kind, uint32_t Seed) : K(Kind), H(Kind.Columns), M(H), Rng(Seed) {}

  void Run(int32_t Ops) {
    for (int32_t Op = 0; Op < Ops && !::testing::Test::HasFailure(); ++Op) {
      const size_t N = M.Model.size();
      const uint32_t Dice = Rng() % 100;
      const uint32_t GrowShare = N < 1800 ? 55 : 35;
      if (N == 0 || Dice < GrowShare)
        Insert();
      else if (Dice < GrowShare + 25)
        Delete();
      else if (Dice < GrowShare + 32)
        Update();
      else
        Search();
      ASSERT_NO_THROW(H.Check()) << K.Name << " operation " << Op;
      if (M.Model.size() <= 256 || Op % 50 == 0)
        M.VerifyEntries();
      if (Op % 500 == 0)
        M.VerifyStore(H.OwnStore);
      ASSERT_FALSE(::testing::Test::HasFailure()) << K.Name << " operation " << Op;
    }
    while (!M.Model.empty())
      M.DeleteAt(Rng() % M.Model.size());
    M.Verify();
    const std::vector<int32_t> Widths = H.LevelWidths();
    EXPECT_EQ(std::count(Widths.begin(), Widths.end(), 1), int(Widths.size())) << K.Name;
    M.VerifyStore(H.OwnStore);
    H.Tree.FreePages(Session);
    H.Commit();
    EXPECT_EQ(H.OwnStore.AllocatedCount(), 0) << K.Name;
    H.Tree.SetRootPageNo(-1);
  }

private:
  TKey RandomKey() {
    if (!M.Model.empty() && Rng() % 2)
      return std::next(M.Model.begin(), std::ptrdiff_t(Rng() % M.Model.size()))->first;
    return K.Make(H, Rng);
  }

  void Insert() {
    const TKey Key = K.Make(H, Rng);
    const bool Unique = H.Tree.IsKeyUnique(Session, Key.data());
    ASSERT_EQ(Unique, M.Model.count(Key) == 0);
    if (K.Unique && !Unique)
      return;
    M.Insert(Key);
    CheckRecNo(std::prev(M.Model.upper_bound(Key)));
  }

  void Delete() {
    const size_t I = Rng() % M.Model.size();
    const auto It = std::next(M.Model.begin(), std::ptrdiff_t(I));
    TTolvanKeyPath Path;
    ASSERT_TRUE(H.Tree.FindKeyPath(Session, It->first.data(), It->second, Path));
    ASSERT_EQ(H.Tree.ReadRecordIDAt(Session, Path), It->second);
    const TKey Key = It->first;
    const TTolvanRecordID ID = It->second;
    M.DeleteAt(I);
    ASSERT_FALSE(H.Tree.FindKeyPath(Session, Key.data(), ID, Path));
    ASSERT_FALSE(H.Delete(Key, ID));
  }

  // An update as the index makes it: the old entry goes, the new key comes with the same id.
  void Update() {
    const auto It = std::next(M.Model.begin(), std::ptrdiff_t(Rng() % M.Model.size()));
    const TKey New = K.Make(H, Rng);
    if (K.Unique && M.Model.count(New))
      return;
    const TTolvanRecordID ID = It->second;
    ASSERT_TRUE(H.Delete(It->first, ID));
    M.Model.erase(It);
    H.Insert(New, ID);
    M.Model.emplace(New, ID);
  }

  // Record numbers invert, with and without a filter, and agree with the model's position.
  void CheckRecNo(TModelTree::TModel::iterator It) {
    const int64_t No = H.Tree.GetRecNo(Session, It->first.data(), It->second, nullptr);
    ASSERT_GE(No, 1);
    ASSERT_EQ(H.Tree.GetRecordIDByRecNo(Session, nullptr, No), It->second);
    const int64_t Before = std::distance(M.Model.begin(), M.Model.lower_bound(It->first));
    const int64_t Upto = std::distance(M.Model.begin(), M.Model.upper_bound(It->first));
    ASSERT_GT(No, Before);
    ASSERT_LE(No, Upto);
  }

  bool Satisfies(const TKey& Entry, const TTolvanBTreeCondition& C) {
    const int R = ModelCompare(H.KeyRef(), Entry.data(), C.Key, C.KeyFieldCount);
    switch (C.ConditionType) {
    case bctEqual:
      return R == 0;
    case bctLess:
      return R < 0;
    case bctGreater:
      return R > 0;
    case bctLessOrEqual:
      return R <= 0;
    case bctGreaterOrEqual:
      return R >= 0;
    default:
      return true;
    }
  }

  void Search() {
    switch (Rng() % 6) {
    case 0:
    case 1:
      return Scan();
    case 2: {
      const auto It = std::next(M.Model.begin(), std::ptrdiff_t(Rng() % M.Model.size()));
      CheckRecNo(It);
      return FilteredRecNo();
    }
    case 3:
      return Duplicates();
    case 4: {
      const TKey Key = RandomKey();
      ASSERT_EQ(H.Tree.IsKeyUnique(Session, Key.data()), M.Model.count(Key) == 0);
      return;
    }
    default: {
      const TKey A = RandomKey(), B = RandomKey();
      const TTolvanBTreeCondition Lo{uint8_t(bctGreater + 2 * (Rng() % 2)), A.data(), Columns()};
      const TTolvanBTreeCondition Hi{uint8_t(bctLess + 2 * (Rng() % 2)), B.data(), Columns()};
      const int64_t Total = int64_t(M.Model.size());
      const int64_t E = H.Tree.EstimateRangeCount(Session, Hi, Total, Lo);
      ASSERT_GE(E, 0);
      ASSERT_LE(E, Total);
      return;
    }
    }
  }

  int32_t Columns() { return 1 + int32_t(Rng() % uint32_t(H.KeyRef().ColumnTotal())); }

  // A scan with random conditions and direction, resumed half-way, against the entries the model
  // puts between the first entry satisfying the start and the last satisfying the end.
  void Scan() {
    IndexKeys();
    std::vector<const std::pair<const TKey, TTolvanRecordID>*> V;
    for (const auto& P : M.Model)
      V.push_back(&P);
    const bool Forward = Rng() % 2;
    if (!Forward)
      std::reverse(V.begin(), V.end());
    const TKey SK = RandomKey(), EK = RandomKey();
    TTolvanBTreeCondition Start{uint8_t(1 + Rng() % 5), SK.data(), Columns()};
    TTolvanBTreeCondition End{uint8_t(1 + Rng() % 5), EK.data(), Columns()};
    const bool HasStart = Rng() % 8 != 0, HasEnd = Rng() % 2;
    std::vector<int64_t> Expected;
    if (HasStart) {
      const TTolvanBTreeCondition& Last = HasEnd ? End : Start;
      size_t S = 0;
      while (S < V.size() && !Satisfies(V[S]->first, Start))
        ++S;
      size_t E = V.size();
      while (E > 0 && !Satisfies(V[E - 1]->first, Last))
        --E;
      for (size_t I = S; I < E; ++I)
        Expected.push_back(TSetFilter::Pack(V[I]->second));
      // An end that satisfies nothing empties the scan even when the start finds entries.
      if (E == 0)
        Expected.clear();
    } else {
      for (const auto* P : V)
        Expected.push_back(TSetFilter::Pack(P->second));
    }
    std::vector<int64_t> Got;
    std::vector<TTolvanRecordID> GotIDs;
    TTolvanBTreeScanState State;
    TTolvanRecordID ID{};
    bool First = true;
    const size_t ResumeAt = Rng() % 4 == 0 ? Rng() % (Expected.size() + 1) : size_t(-1);
    while (H.Tree.ScanNext(Session, First, Forward, HasStart ? &Start : nullptr,
                           HasEnd ? &End : nullptr, nullptr, ID, State)) {
      First = false;
      Got.push_back(TSetFilter::Pack(ID));
      GotIDs.push_back(ID);
      if (Got.size() == ResumeAt)
        break;
    }
    if (Got.size() == ResumeAt && ResumeAt > 0) {
      // A fresh state resumed after the last record given.
      const TKey& ResumeKey = KeyOf(GotIDs.back());
      TTolvanBTreeScanState Again;
      ID = GotIDs.back();
      while (H.Tree.ScanNext(Session, false, Forward, HasStart ? &Start : nullptr,
                             HasEnd ? &End : nullptr, ResumeKey.data(), ID, Again)) {
        Got.push_back(TSetFilter::Pack(ID));
        GotIDs.push_back(ID);
      }
    }
    ASSERT_EQ(Got.size(), Expected.size()) << "start " << int(Start.ConditionType) << " end "
                                           << int(End.ConditionType) << " forward " << Forward;
    for (size_t I = 1; I < GotIDs.size(); ++I) {
      const int C = ModelCompare(H.KeyRef(), KeyOf(GotIDs[I - 1]).data(), KeyOf(GotIDs[I]).data());
      ASSERT_TRUE(Forward ? C <= 0 : C >= 0) << "out of order at " << I;
    }
    std::sort(Got.begin(), Got.end());
    std::sort(Expected.begin(), Expected.end());
    ASSERT_EQ(Got, Expected);
  }

  // The model's key of a record; IndexKeys first.
  const TKey& KeyOf(const TTolvanRecordID& ID) {
    const auto It = Keys.find(TSetFilter::Pack(ID));
    static const TKey None;
    if (It == Keys.end()) {
      ADD_FAILURE() << "record not in the model";
      return None;
    }
    return *It->second;
  }
  void IndexKeys() {
    Keys.clear();
    for (const auto& P : M.Model)
      Keys[TSetFilter::Pack(P.second)] = &P.first;
  }

  std::unordered_map<int64_t, const TKey*> Keys;

  void FilteredRecNo() {
    IndexKeys();
    TSetFilter F;
    for (const auto& P : M.Model)
      if (Rng() % 3 == 0)
        F.Add(P.second);
    if (F.Members.empty())
      return;
    // Record number n of the filter is the n-th member in index order, and back.
    const int64_t Count = int64_t(F.Members.size());
    const int64_t No = 1 + int64_t(Rng() % uint64_t(Count));
    const TTolvanRecordID ID = H.Tree.GetRecordIDByRecNo(Session, &F, No);
    ASSERT_TRUE(F.AcceptRecord(ID));
    ASSERT_EQ(H.Tree.GetRecNo(Session, KeyOf(ID).data(), ID, &F), No);
    ASSERT_EQ(NativeCodeOf([&] { H.Tree.GetRecordIDByRecNo(Session, &F, Count + 1); }), 20075);
  }

  void Duplicates() {
    TSetFilter F;
    for (const auto& P : M.Model)
      if (Rng() % 2)
        F.Add(P.second);
    std::set<TKey, TModelLess> Distinct(TModelLess{&H.KeyRef()});
    for (const auto& P : M.Model)
      if (F.AcceptRecord(P.second))
        Distinct.insert(P.first);
    H.Tree.RemoveDuplicateKeys(Session, F);
    ASSERT_EQ(F.Members.size(), Distinct.size());
    std::set<TKey, TModelLess> Kept(TModelLess{&H.KeyRef()});
    for (const auto& P : M.Model) {
      if (F.AcceptRecord(P.second)) {
        ASSERT_TRUE(Kept.insert(P.first).second);
      }
    }
  }

  const TKind& K;
  TTreeHarness H;
  TModelTree M;
  std::mt19937 Rng;
};

} // namespace

class TolvanBTreeModelSlow : public ::testing::TestWithParam<int> {};

TEST_P(TolvanBTreeModelSlow, FollowsTheModel) {
  const TKind& Kind = Kinds[GetParam()];
  SCOPED_TRACE(Kind.Name);
  TDifferential D(Kind, 1000u + uint32_t(GetParam()));
  D.Run(20000);
}

INSTANTIATE_TEST_SUITE_P(Kinds, TolvanBTreeModelSlow, ::testing::Range(0, int(std::size(Kinds))));
