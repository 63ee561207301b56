// The record store's stream block: its bytes, round trips, and damaged blocks.
#include <gtest/gtest.h>

#include <bit>
#include <cstring>
#include <random>
#include <vector>

#include "foundation/TolvanExcept.h"
#include "foundation/TolvanMemory.h"
#include "foundation/TolvanStreams.h"
#include "storage/memory/TolvanMemoryRecordManager.h"
#include "tests/foundation/TestSupport.h"
#include "tests/storage/TableTestSupport.h"

using namespace tolvan;
using namespace tolvan::test;

namespace {

using TBytes = std::vector<uint8_t>;

class MemoryRecordStream : public ::testing::Test {
protected:
  static constexpr int32_t Size = 3;

  std::unique_ptr<TTolvanMemoryRecordManager> Make(int32_t AllocBy = 10) {
    return std::make_unique<TTolvanMemoryRecordManager>(Table, Size, AllocBy);
  }

  static TBytes Rec(uint8_t V) { return {V, uint8_t(V + 1), uint8_t(V + 2)}; }

  static void Insert(TTolvanMemoryRecordManager& M, uint8_t V) {
    TTolvanRecordID ID{};
    ASSERT_TRUE(M.InsertRecord(Rec(V).data(), ID, -1));
  }

  // The live records in slot order, each preceded by its slot.
  static std::vector<std::pair<int32_t, TBytes>> Records(TTolvanMemoryRecordManager& M) {
    std::vector<std::pair<int32_t, TBytes>> Out;
    TBytes Buffer(Size);
    TTolvanNavState S;
    S.Mode = rmNext;
    S.Buffer = Buffer.data();
    S.AtBegin = 1;
    for (;;) {
      M.GetRecord(S);
      if (S.Result != rrOK)
        break;
      Out.emplace_back(int32_t(S.RecordID.PageNo), Buffer);
    }
    return Out;
  }

  // What the table stream writes: the block, then the live records in slot order.
  static TBytes Save(TTolvanMemoryRecordManager& M) {
    TTolvanMemoryStream S;
    M.SaveToStream(S);
    for (const auto& [ID, R] : Records(M))
      WriteStreamBuffer(R.data(), Size, S, 10197);
    return TBytes(S.Memory(), S.Memory() + S.Size());
  }

  // What the table stream reads back: the block for Count records, then the records.
  static void Load(TTolvanMemoryRecordManager& M, const TBytes& Bytes, int64_t Count) {
    TTolvanMemoryStream S;
    S.WriteBuffer(Bytes.data(), int64_t(Bytes.size()));
    S.SetPosition(0);
    M.LoadFromStream(S, Count);
    int32_t Position = -1;
    TBytes R(Size);
    for (int64_t I = 0; I < Count; ++I) {
      ReadStreamBuffer(R.data(), Size, S, ErrReadStoredRecord);
      M.AppendLoadedRecord(R.data(), Position);
    }
  }

  // Store and map agree: the live slots lie in [MinID, MaxID], the ends are live, the positions
  // map both ways as a count over the map says, and navigation visits every live slot.
  static void ExpectConsistent(TTolvanMemoryRecordManager& M) {
    std::vector<int32_t> Live;
    for (int32_t I = M.MinID(); I <= M.MaxID() && M.Capacity() > 0; ++I)
      if (!M.IsSlotDeleted(I))
        Live.push_back(I);
    ASSERT_EQ(int64_t(Live.size()), M.RecordCount());
    for (int32_t I = 0; I < M.MinID(); ++I)
      EXPECT_TRUE(M.IsSlotDeleted(I)) << I;
    for (size_t P = 0; P < Live.size(); ++P) {
      EXPECT_EQ(M.RecNoToRecordID(int64_t(P)), Live[P]);
      EXPECT_EQ(M.RecordIDToRecNo(Live[P]), int64_t(P) + 1);
      EXPECT_TRUE(M.RecordExists({Live[P], 0}, -1));
    }
    const auto Walk = Records(M);
    ASSERT_EQ(Walk.size(), Live.size());
    for (size_t P = 0; P < Live.size(); ++P)
      EXPECT_EQ(Walk[P].first, Live[P]);
  }

  TTestOwner Owner;
  TTestTableData Table{Owner, FakeIndexFactory()};
};

// Ten slots (a map of two bytes, the second partial), slots 1 and 8 deleted.
TEST_F(MemoryRecordStream, GoldenBytesAndRoundTrip) {
  auto M = Make();
  for (uint8_t V = 0; V < 10; ++V)
    Insert(*M, uint8_t(V * 10));
  ASSERT_TRUE(M->DeleteRecord({1, 0}, -1));
  ASSERT_TRUE(M->DeleteRecord({8, 0}, -1));
  const TBytes Bytes = Save(*M);
  TBytes Golden = {10, 0, 0, 0, 0x00, 0, 0, 0, 0, 9, 0, 0, 0, 0x02, 0x01};
  for (uint8_t Slot : {0, 2, 3, 4, 5, 6, 7, 9})
    for (uint8_t B : Rec(uint8_t(Slot * 10)))
      Golden.push_back(B);
  EXPECT_EQ(Bytes, Golden);

  // Loaded over a store holding other records: the same ids, the same bytes again.
  auto L = Make(4);
  Insert(*L, 200);
  Load(*L, Bytes, 8);
  EXPECT_EQ(L->Capacity(), 10);
  EXPECT_EQ(L->MinID(), 0);
  EXPECT_EQ(L->MaxID(), 9);
  EXPECT_FALSE(L->NoDeletions());
  EXPECT_EQ(Records(*L), Records(*M));
  ExpectConsistent(*L);
  EXPECT_EQ(Save(*L), Bytes);
  // Numbering goes on above the highest record; a delete of the highest hands its id back.
  TTolvanRecordID ID{};
  ASSERT_TRUE(L->InsertRecord(Rec(1).data(), ID, -1));
  EXPECT_EQ(ID.PageNo, 10);
  EXPECT_EQ(L->RecNoToRecordID(1), 2);
}

TEST_F(MemoryRecordStream, StoresWithoutDeletionsMinIDAboveZeroAndEmpty) {
  // Never a delete: NoDeletions is written as 0xFF and positions map straight to slots.
  auto M = Make();
  for (uint8_t V = 0; V < 5; ++V)
    Insert(*M, V);
  TBytes Bytes = Save(*M);
  EXPECT_EQ(TBytes(Bytes.begin(), Bytes.begin() + 15),
            (TBytes{10, 0, 0, 0, 0xFF, 0, 0, 0, 0, 4, 0, 0, 0, 0, 0}));
  auto L = Make();
  Load(*L, Bytes, 5);
  EXPECT_TRUE(L->NoDeletions());
  ExpectConsistent(*L);
  EXPECT_EQ(Save(*L), Bytes);

  // The lowest records deleted across a whole map byte: MinID 11.
  auto D = Make(4);
  for (uint8_t V = 0; V < 14; ++V)
    Insert(*D, V);
  for (int32_t I = 0; I < 11; ++I)
    ASSERT_TRUE(D->DeleteRecord({I, 0}, -1));
  Bytes = Save(*D);
  auto LD = Make();
  Load(*LD, Bytes, 3);
  EXPECT_EQ(LD->MinID(), 11);
  ExpectConsistent(*LD);
  EXPECT_EQ(Save(*LD), Bytes);

  // An empty store writes a block without a map and loads back empty.
  auto E = Make();
  Bytes = Save(*E);
  EXPECT_EQ(Bytes, (TBytes{0, 0, 0, 0, 0xFF, 0, 0, 0, 0, 0, 0, 0, 0}));
  auto LE = Make();
  Insert(*LE, 1);
  Load(*LE, Bytes, 0);
  EXPECT_EQ(LE->RecordCount(), 0);
  EXPECT_EQ(LE->Capacity(), 0);
  Insert(*LE, 2);
  EXPECT_EQ(Records(*LE).at(0).first, 0);
}

TEST_F(MemoryRecordStream, BlocksThatDisagreeAreRefused) {
  auto M = Make();
  for (uint8_t V = 0; V < 10; ++V)
    Insert(*M, V);
  ASSERT_TRUE(M->DeleteRecord({1, 0}, -1));
  ASSERT_TRUE(M->DeleteRecord({8, 0}, -1));
  const TBytes Good = Save(*M);
  const auto Patch = [&](size_t Offset, std::initializer_list<uint8_t> Bytes) {
    TBytes B = Good;
    std::copy(Bytes.begin(), Bytes.end(), B.begin() + ptrdiff_t(Offset));
    return B;
  };
  struct TCase {
    const char* What;
    TBytes Bytes;
    int64_t Count;
    int32_t Code;
  } Cases[] = {
      {"count above the map's live slots", Good, 9, 10453},
      {"count below the map's live slots", Good, 7, 10453},
      {"count beyond Int32", Good, int64_t(INT32_MAX) + 1, 10453},
      {"negative count", Good, -1, 10453},
      {"negative capacity", Patch(0, {0xFF, 0xFF, 0xFF, 0xFF}), 8, 10449},
      {"capacity at MaxID", Patch(0, {9, 0, 0, 0}), 8, 10452},
      {"NoDeletions neither 0 nor 0xFF", Patch(4, {0x01}), 8, 10450},
      {"NoDeletions over a deleted slot", Patch(4, {0xFF}), 8, 10450},
      {"MinID on a deleted slot", Patch(5, {1}), 8, 10451},
      {"MinID negative", Patch(5, {0xFF, 0xFF, 0xFF, 0xFF}), 8, 10451},
      {"MaxID below MinID", Patch(5, {5, 0, 0, 0, 4}), 8, 10452},
      {"MaxID on a deleted slot", Patch(9, {8}), 7, 10452},
      {"a live slot below MinID", Patch(5, {2}), 7, 10451},
      {"map cut", TBytes(Good.begin(), Good.begin() + 14), 8, 10453},
      {"records cut", TBytes(Good.begin(), Good.end() - 1), 8, 10201},
      {"a map beyond the stream", Patch(0, {0, 0, 0, 0x10}), 8, 10453},
      {"empty store promising records", TBytes{0, 0, 0, 0, 0xFF, 0, 0, 0, 0, 0, 0, 0, 0}, 1, 10453},
      {"empty store with MaxID", TBytes{0, 0, 0, 0, 0xFF, 0, 0, 0, 0, 1, 0, 0, 0}, 0, 10452},
  };
  for (const TCase& C : Cases) {
    auto L = Make(4);
    Insert(*L, 77);
    const TBytes Before = Save(*L);
    EXPECT_EQ(NativeCodeOf([&] { Load(*L, C.Bytes, C.Count); }), C.Code) << C.What;
    EXPECT_EQ(Save(*L), Before) << C.What;
  }

  // A store beyond the available memory is refused before anything is allocated.
  {
    TAvailableMemoryOverride Small(29);
    auto L = Make();
    EXPECT_EQ(NativeCodeOf([&] { Load(*L, Good, 8); }), 10449);
  }
  // More records than the block holds, and a position the store never gave.
  auto L = Make();
  Load(*L, Good, 8);
  int32_t Position = 9;
  EXPECT_EQ(NativeCodeOf([&] { L->AppendLoadedRecord(Rec(0).data(), Position); }), 10847);
  Position = -2;
  EXPECT_EQ(NativeCodeOf([&] { L->AppendLoadedRecord(Rec(0).data(), Position); }), 10847);
  EXPECT_EQ(L->RecordCount(), 8);
}

// Random inserts and deletes: every saved store loads back with the same ids and records, and
// saves to the same bytes.
TEST_F(MemoryRecordStream, RandomStoresRoundTrip) {
  std::mt19937 Rng(26);
  auto M = Make(5);
  for (int Step = 0; Step < 600; ++Step) {
    const auto Live = Records(*M);
    if (Live.empty() || Rng() % 3 != 0)
      Insert(*M, uint8_t(Rng()));
    else
      ASSERT_TRUE(M->DeleteRecord({Live[Rng() % Live.size()].first, 0}, -1));
    if (Step % 25 != 0)
      continue;
    const TBytes Bytes = Save(*M);
    auto L = Make();
    Load(*L, Bytes, M->RecordCount());
    ASSERT_EQ(Records(*L), Records(*M));
    ExpectConsistent(*L);
    ASSERT_EQ(Save(*L), Bytes);
  }
}

// Every cut and every bit flip of the block either is refused, leaving the store as it was, or
// loads a store whose map, bounds and count agree.
TEST_F(MemoryRecordStream, DamagedBlocksNeverLoadAnInconsistentStore) {
  auto M = Make(13);
  for (uint8_t V = 0; V < 13; ++V)
    Insert(*M, V);
  for (int32_t I : {0, 3, 9, 10})
    ASSERT_TRUE(M->DeleteRecord({I, 0}, -1));
  const TBytes Good = Save(*M);
  const size_t BlockSize = 13 + 2;
  auto Target = Make(4);
  Insert(*Target, 50);
  Insert(*Target, 60);
  const TBytes Before = Save(*Target);

  int Refused = 0, Loaded = 0;
  const auto Try = [&](const TBytes& Bytes, const std::string& What) {
    auto L = Make(4);
    Insert(*L, 50);
    Insert(*L, 60);
    try {
      Load(*L, Bytes, 9);
    } catch (const ETolvanException&) {
      ++Refused;
      EXPECT_EQ(Save(*L), Before) << What;
      return;
    }
    ++Loaded;
    EXPECT_EQ(L->RecordCount(), 9) << What;
    ExpectConsistent(*L);
  };
  for (size_t Cut = 0; Cut < Good.size(); ++Cut)
    Try(TBytes(Good.begin(), Good.begin() + ptrdiff_t(Cut)), "cut at " + std::to_string(Cut));
  for (size_t Byte = 0; Byte < BlockSize; ++Byte)
    for (int Bit = 0; Bit < 8; ++Bit) {
      TBytes B = Good;
      B[Byte] ^= uint8_t(1u << Bit);
      Try(B, "byte " + std::to_string(Byte) + " bit " + std::to_string(Bit));
    }
  // The map's bits above MaxID carry no meaning: flipping them loads the same store.
  EXPECT_GT(Loaded, 0);
  EXPECT_GT(Refused, 0);
}

} // namespace
