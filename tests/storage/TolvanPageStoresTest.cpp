#include "storage/TolvanPageStores.h"
#include "tests/storage/StorageTestSupport.h"

#include <gtest/gtest.h>

#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

#include "classlib/ByteOrder.h"
#include "foundation/TolvanConst.h"

using namespace tolvan;
using namespace tolvan::test;

namespace {

// Sets TempPageCacheSize for the stores a test creates.
class TTempLimit {
public:
  explicit TTempLimit(int32_t Limit) : FSaved(TempPageCacheSize.load()) {
    TempPageCacheSize = Limit;
  }
  ~TTempLimit() { TempPageCacheSize = FSaved; }

private:
  int32_t FSaved;
};

std::string HexOf(const std::vector<uint8_t>& V, size_t From, size_t N) {
  return Hex(V.data() + From, N);
}

// Allocates, writes, releases and commits, then frees everything and closes: what a store must
// still do after a load, successful or refused.
void ExpectUsable(TTolvanPageManager& Store, int32_t Limit) {
  TTolvanPage* P = Store.NewPage(7);
  FillPage(P, 123);
  const int32_t N = P->PageNo();
  Store.ReleasePage(P);
  Store.Commit(7);
  EXPECT_TRUE(Store.PageAllocated(N));
  ReleaseAll(Store, 7, std::max(Limit, N + 1));
  EXPECT_EQ(Store.AllocatedCount(), 0);
  Store.Close();
}

// --- Memory store -------------------------------------------------------------------------------

TEST(TolvanMemoryPageManager, GrowsFiftySlotsAtATime) {
  TTolvanMemoryPageManager Store;
  EXPECT_EQ(Store.Capacity(), 0);
  EXPECT_EQ(NewFilledPage(Store, 1, 0), 0);
  EXPECT_EQ(Store.Capacity(), 50);
  EXPECT_EQ(Store.AllocationMap().BitCount(), 50);
  EXPECT_NE(Store.Block(49), nullptr);
  EXPECT_THROW(Store.Block(50), std::out_of_range);
  for (int32_t I = 1; I < 50; ++I)
    NewFilledPage(Store, 1, uint32_t(I));
  EXPECT_EQ(Store.Capacity(), 50);
  EXPECT_EQ(NewFilledPage(Store, 1, 50), 50);
  EXPECT_EQ(Store.Capacity(), 100);
  EXPECT_EQ(Store.HighestPageNo(), 50);
  Store.Commit(1);
  for (int32_t I = 0; I <= 50; ++I)
    ASSERT_EQ(PageBytes(Store.Block(I)), PagePattern(uint32_t(I))) << I;
  ReleaseAll(Store, 1, 100);
  Store.Close();
  EXPECT_EQ(Store.Capacity(), 0);
}

TEST(TolvanMemoryPageManager, FreedNumberIsAllocatedFirstWithItsBytes) {
  TTolvanMemoryPageManager Store;
  for (int32_t I = 0; I < 10; ++I)
    NewFilledPage(Store, 1, uint32_t(I));
  Store.Commit(1);
  Store.RemovePage(1, 3);
  Store.RemovePage(1, 6);
  Store.Commit(1);
  TTolvanPage* P = Store.NewPage(2);
  EXPECT_EQ(P->PageNo(), 3);
  EXPECT_EQ(PageBytes(P->Buffer()), PagePattern(3));
  TTolvanPage* Q = Store.NewPage(2);
  EXPECT_EQ(Q->PageNo(), 6);
  Store.ReleasePage(P);
  Store.ReleasePage(Q);
  Store.Commit(2);
  EXPECT_EQ(Store.HighestPageNo(), 9);
  ReleaseAll(Store, 1, 50);
  Store.Close();
}

TEST(TolvanMemoryPageManager, SavesItsExactForm) {
  TTolvanMemoryPageManager Store;
  const auto Empty = SavedForm(Store);
  EXPECT_EQ(HexOf(Empty, 0, Empty.size()),
            "00000000" "00000000" "32000000" "0010" "0000" "00000000" "00000000" "00000000");

  NewFilledPage(Store, 1, 42);
  Store.Commit(1);
  const auto Form = SavedForm(Store);
  ASSERT_EQ(Form.size(), 20u + 15u + 50u * PS);
  EXPECT_EQ(HexOf(Form, 0, 20), "32000000" "00000000" "32000000" "0010" "0000" "01000000");
  EXPECT_EQ(HexOf(Form, 20, 15), "32000000" "01000000" "01000000000000");
  EXPECT_EQ(std::vector<uint8_t>(Form.begin() + 35, Form.begin() + 35 + PS), PagePattern(42));
  for (size_t I = 35 + PS; I < Form.size(); ++I)
    ASSERT_EQ(Form[I], 0) << I;
  ReleaseAll(Store, 1, 50);
  Store.Close();
}

TEST(TolvanMemoryPageManager, UnallocatedNumbersAreNeitherReadNorWritten) {
  TTolvanMemoryPageManager Store;
  NewFilledPage(Store, 1, 1);
  Store.Commit(1);
  EXPECT_EQ(NativeCodeOf([&] { Store.GetPage(1, 1, nullptr); }), 10392);
  EXPECT_EQ(NativeCodeOf([&] { Store.GetPage(1, 5000, nullptr); }), 10392);
  TTolvanPage Loose(Store);
  Loose.SetPageNo(2);
  Loose.AllocBuffer();
  EXPECT_EQ(NativeCodeOf([&] { Store.WritePage(Loose); }), 10393);
  EXPECT_EQ(NativeCodeOf([&] { Store.ReadPage(Loose); }), 10392);
  ReleaseAll(Store, 1, 50);
  Store.Close();
}

// --- Temporary store ----------------------------------------------------------------------------

TEST(TolvanTemporaryPageManager, KeepsNumbersBelowTheLimitInMemoryAndSpillsTheRest) {
  TTempLimit Limit(2);
  TTolvanTemporaryPageManager Store;
  EXPECT_EQ(Store.MemoryLimit(), 2);
  std::vector<TTolvanPage*> P;
  for (int I = 0; I < 4; ++I)
    P.push_back(Store.NewPage(1));
  for (int I = 0; I < 4; ++I)
    EXPECT_EQ(P[size_t(I)]->PageNo(), I);
  EXPECT_EQ(P[0]->Buffer(), Store.InnerStore().Block(0));
  EXPECT_EQ(P[1]->Buffer(), Store.InnerStore().Block(1));
  for (int I = 2; I < 4; ++I) {
    EXPECT_TRUE(P[size_t(I)]->OwnsBuffer());
    EXPECT_EQ(Hex(P[size_t(I)]->Buffer(), 4), "41435350");
  }
  ASSERT_NE(Store.SpillStream(), nullptr);
  EXPECT_EQ(Store.SpillStream()->Size(), 0);
  for (int I = 0; I < 4; ++I) {
    FillPage(P[size_t(I)], uint32_t(I));
    Store.ReleasePage(P[size_t(I)]);
  }
  Store.Commit(1);
  const auto Spill = Contents(*Store.SpillStream());
  ASSERT_EQ(Spill.size(), size_t(2 * PS));
  EXPECT_EQ(std::vector<uint8_t>(Spill.begin(), Spill.begin() + PS), PagePattern(2));
  EXPECT_EQ(std::vector<uint8_t>(Spill.begin() + PS, Spill.end()), PagePattern(3));
  EXPECT_TRUE(Store.SpillStream()->InMemory());

  // Spilled numbers are never allocated again, and inner ones are not once the limit is reached.
  Store.RemovePage(1, 2);
  Store.RemovePage(1, 0);
  Store.Commit(1);
  EXPECT_EQ(NewFilledPage(Store, 1, 4), 4);
  // A page written earlier reads back from the spill stream after later ones were added.
  Store.Commit(1);
  Store.ClearCache();
  TTolvanPage* Three = Store.GetPage(1, 3, nullptr);
  EXPECT_EQ(PageBytes(Three->Buffer()), PagePattern(3));
  Store.ReleasePage(Three);
  TTolvanPage* Four = Store.GetPage(1, 4, nullptr);
  EXPECT_EQ(PageBytes(Four->Buffer()), PagePattern(4));
  Store.ReleasePage(Four);
  EXPECT_EQ(PageAccountingFaults(Store), "");

  EXPECT_EQ(NativeCodeOf([&] { Store.GetPage(1, 2, nullptr); }), 10396);
  EXPECT_EQ(NativeCodeOf([&] { Store.GetPage(1, 0, nullptr); }), 10396);
  TTolvanPage Loose(Store);
  Loose.SetPageNo(2);
  Loose.AllocBuffer();
  EXPECT_EQ(NativeCodeOf([&] { Store.WritePage(Loose); }), 10397);
  ReleaseAll(Store, 1, 10);
  Store.Close();
}

// A reused number below the limit borrows the inner block; one above gets a buffer of its own.
TEST(TolvanTemporaryPageManager, ReusedPagesHaveBuffers) {
  TTempLimit Limit(2);
  TTolvanTemporaryPageManager Store;
  for (int I = 0; I < 4; ++I)
    NewFilledPage(Store, 1, uint32_t(I));
  Store.Commit(1);
  Store.RemovePage(1, 1);
  Store.RemovePage(1, 3);
  TTolvanPage* Above = Store.NewPage(1);
  TTolvanPage* Below = Store.NewPage(1);
  ASSERT_EQ(Above->PageNo(), 3);
  ASSERT_EQ(Below->PageNo(), 1);
  EXPECT_EQ(Below->Buffer(), Store.InnerStore().Block(1));
  EXPECT_EQ(PageBytes(Below->Buffer()), PagePattern(1));
  ASSERT_NE(Above->Buffer(), nullptr);
  EXPECT_TRUE(Above->OwnsBuffer());
  EXPECT_EQ(Hex(Above->Buffer(), 4), "41435350");
  FillPage(Above, 30);
  FillPage(Below, 10);
  Store.ReleasePage(Above);
  Store.ReleasePage(Below);
  EXPECT_EQ(PageAccountingFaults(Store), "");
  Store.Commit(1);
  Store.ClearCache();
  for (auto [N, Seed] : {std::pair{1, 10u}, {3, 30u}}) {
    TTolvanPage* P = Store.GetPage(1, N, nullptr);
    EXPECT_EQ(PageBytes(P->Buffer()), PagePattern(Seed)) << N;
    Store.ReleasePage(P);
  }
  ReleaseAll(Store, 1, 10);
  Store.Close();
}

// Spilled pages own their buffers, so rolling their changes back restores them.
TEST(TolvanTemporaryPageManager, SpilledChangesRollBack) {
  TTempLimit Limit(0);
  TTolvanTemporaryPageManager Store;
  NewFilledPage(Store, 1, 1);
  Store.Commit(1);
  TTolvanPage* P = Store.GetPage(1, 0, nullptr);
  FillPage(P, 2);
  Store.ReleasePage(P);
  Store.Rollback(1);
  P = Store.GetPage(1, 0, nullptr);
  EXPECT_EQ(PageBytes(P->Buffer()), PagePattern(1));
  Store.ReleasePage(P);
  ReleaseAll(Store, 1, 10);
  Store.Close();
}

TEST(TolvanTemporaryPageManager, SavesItsExactForm) {
  TTempLimit Limit(2);
  TTolvanTemporaryPageManager Store;
  for (int I = 0; I < 4; ++I) {
    TTolvanPage* P = Store.NewPage(1);
    P->Buffer()[100] = uint8_t(0xA0 + I);
    P->SetDirty(true);
    Store.ReleasePage(P);
  }
  Store.Commit(1);
  const auto Form = SavedForm(Store);
  TTolvanMemoryPageManager& Inner = const_cast<TTolvanMemoryPageManager&>(Store.InnerStore());
  const auto InnerForm = SavedForm(Inner);
  ASSERT_EQ(Form.size(), InnerForm.size() + 9 + 16 + 8 + 2 * size_t(PS));
  EXPECT_EQ(std::vector<uint8_t>(Form.begin(), Form.begin() + long(InnerForm.size())), InnerForm);
  EXPECT_EQ(HexOf(InnerForm, 0, 35),
            "32000000" "01000000" "32000000" "0010" "0000" "02000000"
            "32000000" "02000000" "03000000000000");
  size_t At = InnerForm.size();
  EXPECT_EQ(HexOf(Form, At, 9), "04000000" "04000000" "0f");
  EXPECT_EQ(HexOf(Form, At + 9, 16), "04000000" "02000000" "0010" "0000" "04000000");
  EXPECT_EQ(LoadLE<int64_t>(Form.data() + At + 25), 8192);
  At += 33;
  for (int I = 2; I < 4; ++I, At += PS) {
    EXPECT_EQ(HexOf(Form, At, 32),
              "41435350" "00000000" "0000" "ffffffff" "00000000" "00000000" "ffffffff"
              "ffffffff" "0000");
    EXPECT_EQ(Form[At + 100], 0xA0 + I);
  }
  ReleaseAll(Store, 1, 10);
  Store.Close();
}

TEST(TolvanTemporaryPageManager, WithoutSpilledPagesSavesNoSpillBytes) {
  TTempLimit Limit(5);
  TTolvanTemporaryPageManager Store;
  NewFilledPage(Store, 1, 1);
  Store.Commit(1);
  const auto Form = SavedForm(Store);
  EXPECT_EQ(LoadLE<int64_t>(Form.data() + Form.size() - 8), 0);
  TTolvanTemporaryPageManager Loaded;
  LoadForm(Loaded, Form);
  EXPECT_EQ(Loaded.SpillStream(), nullptr);
  EXPECT_EQ(SavedForm(Loaded), Form);
  ReleaseAll(Store, 1, 10);
  Store.Close();
  ReleaseAll(Loaded, 1, 10);
  Loaded.Close();
}

// --- Both stores --------------------------------------------------------------------------------

TEST(TolvanPageStores, CloseRefusesWhilePagesAreAllocated) {
  TTolvanMemoryPageManager Memory;
  TTolvanTemporaryPageManager Temporary;
  for (TTolvanPageManager* Store : {static_cast<TTolvanPageManager*>(&Memory),
                                    static_cast<TTolvanPageManager*>(&Temporary)}) {
    SCOPED_TRACE(Store->ClassName());
    const int32_t Code = Store == &Memory ? 20023 : 20036;
    NewFilledPage(*Store, 1, 1); // uncommitted too: the store's check comes first
    const ETolvanException E = Raised([&] { Store->Close(); });
    EXPECT_EQ(E.NativeError(), Code);
    EXPECT_EQ(E.Message(), "Index pages are not released - Native error: " + std::to_string(Code));
    Store->Commit(1);
    EXPECT_EQ(NativeCodeOf([&] { Store->Close(); }), Code);
    ReleaseAll(*Store, 1, 10);
    Store->Close();
  }
}

// A saved store loads into a new one with the same pages and saves to the same bytes.
TEST(TolvanPageStores, FormsRoundTrip) {
  TTempLimit Limit(3);
  TTolvanMemoryPageManager Memory;
  TTolvanTemporaryPageManager Temporary;
  for (TTolvanPageManager* Store : {static_cast<TTolvanPageManager*>(&Memory),
                                    static_cast<TTolvanPageManager*>(&Temporary)}) {
    SCOPED_TRACE(Store->ClassName());
    for (int I = 0; I < 60; ++I)
      NewFilledPage(*Store, 1, uint32_t(I));
    Store->Commit(1);
    for (int32_t N : {1, 4, 33})
      Store->RemovePage(1, N);
    Store->Commit(1);
    const auto Form = SavedForm(*Store);
    std::unique_ptr<TTolvanPageManager> Loaded;
    if (Store == &Memory)
      Loaded = std::make_unique<TTolvanMemoryPageManager>();
    else
      Loaded = std::make_unique<TTolvanTemporaryPageManager>();
    LoadForm(*Loaded, Form);
    EXPECT_EQ(SavedForm(*Loaded), Form);
    EXPECT_EQ(Loaded->AllocatedCount(), 57);
    for (int32_t N = 0; N < 60; ++N) {
      if (N == 1 || N == 4 || N == 33) {
        EXPECT_FALSE(Loaded->PageAllocated(N));
        continue;
      }
      TTolvanPage* P = Loaded->GetPage(1, N, nullptr);
      ASSERT_EQ(PageBytes(P->Buffer()), PagePattern(uint32_t(N))) << N;
      Loaded->ReleasePage(P);
    }
    if (Store == &Memory)
      EXPECT_EQ(PageAccountingFaults(static_cast<TTolvanMemoryPageManager&>(*Loaded)), "");
    else
      EXPECT_EQ(PageAccountingFaults(static_cast<TTolvanTemporaryPageManager&>(*Loaded)), "");
    // A store with pages refuses to be loaded over.
    EXPECT_EQ(NativeCodeOf([&] { LoadForm(*Loaded, Form); }), Store == &Memory ? 20023 : 20036);
    ExpectUsable(*Loaded, 100);
    ReleaseAll(*Store, 1, 100);
    Store->Close();
  }
}

// --- Damaged forms ------------------------------------------------------------------------------

// Where each field of a saved form lies and which code a cut inside it raises.
struct TFieldSpan {
  size_t From;
  size_t To;
  int32_t Code;
};

// The memory-store form at Offset with MapBytes bytes of map and Capacity blocks.
void AddMemoryFields(std::vector<TFieldSpan>& Spans, size_t Offset, size_t MapBytes,
                     size_t Capacity) {
  const std::pair<size_t, int32_t> Fields[] = {{4, 10369}, {4, 10370}, {4, 10371}, {2, 10372},
                                               {2, 10373}, {4, 10374}, {4, 10401}, {4, 10426},
                                               {MapBytes, 10428}};
  for (auto [Width, Code] : Fields) {
    Spans.push_back({Offset, Offset + Width, Code});
    Offset += Width;
  }
  Spans.push_back({Offset, Offset + Capacity * PS, 10375});
}

// Loads every cut of Form (all lengths, except inside long runs of page bytes, where block edges
// and a few lengths between stand for the rest) and expects the code of the field cut; the store
// that refused stays usable.
template <class TStore>
void CutEverywhere(const std::vector<uint8_t>& Form, const std::vector<TFieldSpan>& Spans) {
  std::vector<size_t> Lengths;
  for (const TFieldSpan& F : Spans) {
    if (F.To - F.From <= 64) {
      for (size_t L = F.From; L < F.To; ++L)
        Lengths.push_back(L);
      continue;
    }
    for (size_t L = F.From; L < F.To; L += PS)
      for (size_t D : {size_t(0), size_t(1), size_t(PS / 2), size_t(PS - 1)})
        if (L + D < F.To)
          Lengths.push_back(L + D);
  }
  ASSERT_EQ(Spans.back().To, Form.size());
  for (size_t L : Lengths) {
    const auto Span =
        std::find_if(Spans.begin(), Spans.end(), [&](auto& F) { return L >= F.From && L < F.To; });
    TStore Store;
    const std::vector<uint8_t> Cut(Form.begin(), Form.begin() + long(L));
    ASSERT_EQ(NativeCodeOf([&] { LoadForm(Store, Cut); }), Span->Code) << "cut at " << L;
    EXPECT_EQ(PageAccountingFaults(Store), "");
    ExpectUsable(Store, 10);
  }
  TStore Whole;
  LoadForm(Whole, Form);
  ExpectUsable(Whole, 200);
}

TEST(TolvanPageStores, CutFormsNameTheFieldCut) {
  {
    SCOPED_TRACE("memory");
    TTolvanMemoryPageManager Store;
    for (int I = 0; I < 3; ++I)
      NewFilledPage(Store, 1, uint32_t(I));
    Store.Commit(1);
    std::vector<TFieldSpan> Spans;
    AddMemoryFields(Spans, 0, 7, 50);
    CutEverywhere<TTolvanMemoryPageManager>(SavedForm(Store), Spans);
    ReleaseAll(Store, 1, 50);
    Store.Close();
  }
  {
    SCOPED_TRACE("temporary");
    TTempLimit Limit(2);
    TTolvanTemporaryPageManager Store;
    for (int I = 0; I < 5; ++I)
      NewFilledPage(Store, 1, uint32_t(I));
    Store.Commit(1);
    std::vector<TFieldSpan> Spans;
    AddMemoryFields(Spans, 0, 7, 50);
    size_t At = Spans.back().To;
    const std::pair<size_t, int32_t> Fields[] = {{4, 10401}, {4, 10426}, {1, 10428}, {4, 11202},
                                                 {4, 11203}, {2, 11204}, {2, 11205}, {4, 11206},
                                                 {8, 11207}, {3 * PS, 11207}};
    for (auto [Width, Code] : Fields) {
      Spans.push_back({At, At + Width, Code});
      At += Width;
    }
    CutEverywhere<TTolvanTemporaryPageManager>(SavedForm(Store), Spans);
    ReleaseAll(Store, 1, 10);
    Store.Close();
  }
}

// One count field of a saved form replaced by another value.
struct TCorruption {
  size_t Offset;
  int Width; // 2, 4 or 8 bytes
  std::vector<int32_t> Codes; // what a refusal may raise
};

// Every value either is refused with one of the field's codes or loads a store that works.
template <class TStore>
void CorruptEachField(const std::vector<uint8_t>& Form, const std::vector<TCorruption>& Fields) {
  for (const TCorruption& F : Fields) {
    std::vector<int64_t> Values = {0, 1, -1, 2, 4095, 4097, 32767, 65535, INT32_MAX, INT32_MIN};
    int64_t Original = 0;
    std::memcpy(&Original, Form.data() + F.Offset, size_t(F.Width));
    for (int64_t D : {-2, -1, 1, 2, 50})
      Values.push_back(Original + D);
    if (F.Width == 8)
      Values.push_back(INT64_MAX);
    for (int64_t V : Values) {
      SCOPED_TRACE(testing::Message() << "offset " << F.Offset << " value " << V);
      std::vector<uint8_t> Bad = Form;
      std::memcpy(Bad.data() + F.Offset, &V, size_t(F.Width));
      TStore Store;
      const int32_t Code = NativeCodeOf([&] { LoadForm(Store, Bad); });
      if (Code != 0) {
        EXPECT_NE(std::find(F.Codes.begin(), F.Codes.end(), Code), F.Codes.end()) << Code;
      }
      EXPECT_EQ(PageAccountingFaults(Store), "");
      ExpectUsable(Store, 200);
    }
  }
}

std::vector<TCorruption> MemoryFieldCorruptions(size_t At) {
  return {{At + 0, 4, {10369}},  {At + 4, 4, {10370}},  {At + 8, 4, {10371}},
          {At + 12, 2, {10372}}, {At + 14, 2, {}},      {At + 16, 4, {10374}},
          {At + 20, 4, {10428, 10429, 10369}},          {At + 24, 4, {10429}}};
}

TEST(TolvanPageStores, DamagedCountsAreRefusedOrConsistent) {
  {
    SCOPED_TRACE("memory");
    TTolvanMemoryPageManager Store;
    for (int I = 0; I < 3; ++I)
      NewFilledPage(Store, 1, uint32_t(I));
    Store.Commit(1);
    CorruptEachField<TTolvanMemoryPageManager>(SavedForm(Store), MemoryFieldCorruptions(0));
    ReleaseAll(Store, 1, 50);
    Store.Close();
  }
  {
    SCOPED_TRACE("temporary");
    TTempLimit Limit(2);
    TTolvanTemporaryPageManager Store;
    for (int I = 0; I < 5; ++I)
      NewFilledPage(Store, 1, uint32_t(I));
    Store.Commit(1);
    const auto Form = SavedForm(Store);
    const size_t At = 35 + 50 * PS;
    auto Fields = MemoryFieldCorruptions(0);
    const std::vector<TCorruption> Outer = {
        {At, 4, {10428, 10429, 11202}}, {At + 4, 4, {10429}},       {At + 9, 4, {11202}},
        {At + 13, 4, {11203}},          {At + 17, 2, {11204}},      {At + 19, 2, {}},
        {At + 21, 4, {11206}},          {At + 25, 8, {11207}}};
    Fields.insert(Fields.end(), Outer.begin(), Outer.end());
    CorruptEachField<TTolvanTemporaryPageManager>(Form, Fields);
    ReleaseAll(Store, 1, 10);
    Store.Close();
  }
}

// The temporary form of an empty store with SlotCount numbers handed out, none allocated,
// MemoryLimit 0.
std::vector<uint8_t> SpilledSlotsForm(int32_t SlotCount) {
  TTolvanMemoryStream S;
  TTolvanMemoryPageManager Inner;
  Inner.SaveToStream(S);
  TTolvanBitsArray Map;
  Map.SetSize(SlotCount);
  Map.SaveToStream(S);
  const int32_t Ints[] = {SlotCount, 0};
  S.Write(Ints, 8);
  const uint16_t Shorts[] = {uint16_t(PS), 0};
  S.Write(Shorts, 4);
  const int32_t Allocated = 0;
  S.Write(&Allocated, 4);
  const int64_t N = 0;
  S.Write(&N, 8);
  return Contents(S);
}

// Spill offsets are kept within 31 bits.
TEST(TolvanTemporaryPageManager, SpillOffsetsStayWithin31Bits) {
  TTolvanTemporaryPageManager Store;
  LoadForm(Store, SpilledSlotsForm(MaxSpillSlot));
  TTolvanPage* Last = Store.NewPage(1);
  EXPECT_EQ(Last->PageNo(), MaxSpillSlot);
  Store.ReleasePage(Last);
  Store.Rollback(1);
  EXPECT_EQ(Store.SlotCount(), MaxSpillSlot + 1);
  EXPECT_THROW(Store.NewPage(1), EIntOverflow);
  EXPECT_EQ(Store.SlotCount(), MaxSpillSlot + 1);
  EXPECT_EQ(Store.AllocatedCount(), 0);
  EXPECT_EQ(PageAccountingFaults(Store), "");
  Store.Close();

  TTolvanTemporaryPageManager TooMany;
  EXPECT_EQ(NativeCodeOf([&] { LoadForm(TooMany, SpilledSlotsForm(MaxSpillSlot + 2)); }), 11203);
}

} // namespace
