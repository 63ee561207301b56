#include "storage/memory/TolvanMemoryRecordManager.h"

#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <string>
#include <vector>

#include "foundation/TolvanExcept.h"
#include "tests/foundation/TestSupport.h"
#include "tests/storage/TableTestSupport.h"

using namespace tolvan;
using namespace tolvan::test;

namespace {

// A record of Size bytes, every byte Value.
std::vector<uint8_t> Rec(int32_t Size, uint8_t Value) {
  return std::vector<uint8_t>(size_t(Size), Value);
}

class MemoryRecordManager : public ::testing::Test {
protected:
  // A store of Size-byte records; the table data only answers that it has no BLOB columns.
  std::unique_ptr<TTolvanMemoryRecordManager> Make(int32_t Size, int32_t AllocBy = 1000) {
    return std::make_unique<TTolvanMemoryRecordManager>(Table, Size, AllocBy);
  }

  int32_t Insert(TTolvanMemoryRecordManager& M, uint8_t Value) {
    const auto R = Rec(M.RecordSize(), Value);
    TTolvanRecordID ID{-7, 7};
    EXPECT_TRUE(M.InsertRecord(R.data(), ID, -1));
    EXPECT_EQ(ID.PageItemNo, 0);
    return ID.PageNo;
  }

  bool Delete(TTolvanMemoryRecordManager& M, int32_t ID) { return M.DeleteRecord({ID, 0}, -1); }

  // Navigation from the given state; the result, and the slot reached (its first byte in Byte).
  TTolvanGetRecordResult Nav(TTolvanMemoryRecordManager& M, TTolvanGetRecordMode Mode, int32_t ID,
                             bool AtBegin, bool AtEnd, int32_t* Reached = nullptr,
                             uint8_t* Byte = nullptr) {
    std::vector<uint8_t> Buffer(size_t(M.RecordSize()), 0xEE);
    TTolvanNavState S;
    S.Mode = Mode;
    S.RecordID = {ID, 5};
    S.Buffer = Buffer.data();
    S.AtBegin = AtBegin;
    S.AtEnd = AtEnd;
    M.GetRecord(S);
    EXPECT_EQ(S.RecordID.PageItemNo, 0);
    if (S.Result == rrOK) {
      EXPECT_EQ(S.AtBegin, 0);
      EXPECT_EQ(S.AtEnd, 0);
    } else {
      EXPECT_EQ(S.RecordID.PageNo, ID);
      EXPECT_EQ(Buffer[0], 0xEE);
    }
    if (Reached)
      *Reached = S.RecordID.PageNo;
    if (Byte)
      *Byte = Buffer[0];
    return S.Result;
  }

  TTestOwner Owner;
  TTestTableData Table{Owner, FakeIndexFactory()};
};

TEST_F(MemoryRecordManager, ZeroRecordSizeIsRefused) {
  const ETolvanException E = Raised([&] { Make(0); });
  EXPECT_EQ(E.NativeError(), 10011);
  EXPECT_NE(std::string(E.what()).find("Invalid record size = 0"), std::string::npos);
}

TEST_F(MemoryRecordManager, FirstInsertAllocatesAllocBySlotsZeroFilled) {
  auto M = Make(10);
  EXPECT_EQ(M->Capacity(), 0);
  EXPECT_EQ(M->RecordBlock(), nullptr);
  EXPECT_EQ(Insert(*M, 0x41), 0);
  EXPECT_EQ(M->Capacity(), 1000);
  EXPECT_EQ(TTolvanMemoryManager::GetMemSize(M->RecordBlock()), 10000);
  EXPECT_EQ(TTolvanMemoryManager::GetMemSize(M->DeletedMap()), 125);
  // Bytes past the record and the whole map are zero, so a save is deterministic.
  for (int32_t I = 10; I < 10000; ++I)
    ASSERT_EQ(M->RecordBlock()[I], 0) << I;
  for (int32_t I = 0; I < 125; ++I)
    ASSERT_EQ(M->DeletedMap()[I], 0) << I;
  EXPECT_EQ(M->RecordCount(), 1);
  EXPECT_EQ(M->MinID(), 0);
  EXPECT_EQ(M->MaxID(), 0);
}

TEST_F(MemoryRecordManager, GrowthFollowsTheSizeClassAndTheStep) {
  struct TCase {
    int32_t RecordSize;
    int32_t AllocBy;
    int32_t Inserts;
    int32_t Capacity;
  };
  const TCase Cases[] = {
      {100, 1000, 1001, 1102},  // quantum 10 240 bytes of 100 = 102 slots more
      {100, 1000, 1000, 1000},  // full, not yet grown
      {10, 5, 6, 5 + 1024 / 10}, // small table: 1 KiB steps
      {5000, 2, 3, 4},          // 10 240 bytes hold two more records
      {20000, 1, 2, 2},         // a record larger than the quantum: the slot needed
      {8, 0, 1, 1},             // AllocBy <= 0: exactly the slots needed
      {8, 0, 3, 3},
      {8, -4, 2, 2},
  };
  for (const TCase& C : Cases) {
    auto M = Make(C.RecordSize, C.AllocBy);
    for (int32_t I = 0; I < C.Inserts; ++I)
      ASSERT_EQ(Insert(*M, uint8_t(I)), I);
    EXPECT_EQ(M->Capacity(), C.Capacity) << C.RecordSize << "/" << C.AllocBy << "/" << C.Inserts;
    EXPECT_EQ(TTolvanMemoryManager::GetMemSize(M->RecordBlock()),
              int64_t(C.Capacity) * C.RecordSize);
    EXPECT_EQ(TTolvanMemoryManager::GetMemSize(M->DeletedMap()), (C.Capacity + 7) / 8);
    // Every record kept its bytes through the reallocations; growth is zero.
    for (int32_t I = 0; I < C.Inserts; ++I)
      ASSERT_EQ(M->RecordBlock()[int64_t(I) * C.RecordSize], uint8_t(I));
    for (int64_t B = int64_t(C.Inserts) * C.RecordSize; B < int64_t(C.Capacity) * C.RecordSize;
         ++B)
      ASSERT_EQ(M->RecordBlock()[B], 0);
  }
}

TEST_F(MemoryRecordManager, InsertsAllocateOnlyWhenTheStoreGrows) {
  auto M = Make(100);
  const auto R = Rec(100, 1);
  TTolvanRecordID ID{};
  int64_t Growths = 0;
  TAllocationFailure Counter(0);
  for (int I = 0; I < 20000; ++I) {
    const int32_t Before = M->Capacity();
    ASSERT_TRUE(M->InsertRecord(R.data(), ID, -1));
    Growths += M->Capacity() != Before;
  }
  // Two blocks per growth, nothing else; and growth in size-class steps keeps it rare.
  EXPECT_EQ(Counter.Count(), 2 * Growths);
  EXPECT_LT(Growths, 60);
  for (int I = 0; I < 1000; ++I)
    ASSERT_TRUE(M->UpdateRecord(R.data(), {I, 0}, -1));
  EXPECT_EQ(Counter.Count(), 2 * Growths);
}

TEST_F(MemoryRecordManager, IdsComeBackOnlyAboveTheHighestLiveRecord) {
  auto M = Make(4, 3);
  for (int I = 0; I < 5; ++I)
    Insert(*M, uint8_t(I));
  // The highest goes: its id is given out again.
  EXPECT_TRUE(Delete(*M, 4));
  EXPECT_EQ(M->MaxID(), 3);
  EXPECT_EQ(Insert(*M, 40), 4);
  // One in the middle goes: never reused while higher records live.
  EXPECT_TRUE(Delete(*M, 2));
  EXPECT_EQ(Insert(*M, 50), 5);
  EXPECT_FALSE(M->RecordExists({2, 0}, -1));
  // Deleting down to the middle hole skips it: MaxID lands on 1.
  EXPECT_TRUE(Delete(*M, 5));
  EXPECT_TRUE(Delete(*M, 4));
  EXPECT_TRUE(Delete(*M, 3));
  EXPECT_EQ(M->MaxID(), 1);
  EXPECT_EQ(Insert(*M, 60), 2);
  // MinID moves up past deleted slots.
  EXPECT_TRUE(Delete(*M, 0));
  EXPECT_TRUE(Delete(*M, 1));
  EXPECT_EQ(M->MinID(), 2);
  EXPECT_EQ(M->RecordCount(), 1);
  // A deleted or unknown id is not deleted again.
  EXPECT_FALSE(Delete(*M, 1));
  EXPECT_FALSE(Delete(*M, 3));
  EXPECT_FALSE(Delete(*M, -1));
  // The last record goes: both blocks are freed and numbering restarts.
  EXPECT_TRUE(Delete(*M, 2));
  EXPECT_EQ(M->RecordCount(), 0);
  EXPECT_EQ(M->Capacity(), 0);
  EXPECT_EQ(M->RecordBlock(), nullptr);
  EXPECT_EQ(M->DeletedMap(), nullptr);
  EXPECT_FALSE(M->NoDeletions());
  EXPECT_EQ(Insert(*M, 70), 0);
  EXPECT_EQ(M->Capacity(), 3);
}

TEST_F(MemoryRecordManager, UpdateReplacesOnlyLiveRecords) {
  auto M = Make(4);
  const auto New = Rec(4, 0x77);
  // An empty store has MinID = MaxID = 0 and no map: id 0 is not a record.
  EXPECT_FALSE(M->UpdateRecord(New.data(), {0, 0}, -1));
  Insert(*M, 1);
  Insert(*M, 2);
  Insert(*M, 3);
  Delete(*M, 1);
  EXPECT_FALSE(M->UpdateRecord(New.data(), {1, 0}, -1));
  EXPECT_FALSE(M->UpdateRecord(New.data(), {3, 0}, -1));
  EXPECT_FALSE(M->UpdateRecord(New.data(), {-1, 0}, -1));
  EXPECT_TRUE(M->UpdateRecord(New.data(), {2, 0}, -1));
  uint8_t Byte = 0;
  EXPECT_EQ(Nav(*M, rmCurrent, 2, false, false, nullptr, &Byte), rrOK);
  EXPECT_EQ(Byte, 0x77);
  EXPECT_EQ(Nav(*M, rmCurrent, 0, false, false, nullptr, &Byte), rrOK);
  EXPECT_EQ(Byte, 1);
}

TEST_F(MemoryRecordManager, NavigationEndsAndFlags) {
  auto M = Make(4);
  EXPECT_EQ(Nav(*M, rmNext, 0, true, false), rrEndReached);
  for (int I = 0; I < 6; ++I)
    Insert(*M, uint8_t(10 + I));
  Delete(*M, 0);
  Delete(*M, 3);
  Delete(*M, 5); // live: 1, 2, 4
  int32_t At = -1;
  uint8_t Byte = 0;
  struct TCase {
    TTolvanGetRecordMode Mode;
    int32_t From;
    bool AtBegin, AtEnd;
    TTolvanGetRecordResult Result;
    int32_t Reached;
  };
  const TCase Cases[] = {
      {rmNext, 99, true, false, rrOK, 1},           {rmPrior, 2, true, false, rrBeginReached, 2},
      {rmCurrent, 2, true, false, rrMissing, 2},    {rmPrior, 0, false, true, rrOK, 4},
      {rmNext, 2, false, true, rrEndReached, 2},    {rmCurrent, 2, false, true, rrMissing, 2},
      {rmNext, 2, false, false, rrOK, 4},           {rmNext, 4, false, false, rrEndReached, 4},
      {rmPrior, 4, false, false, rrOK, 2},          {rmPrior, 1, false, false, rrBeginReached, 1},
      {rmNext, -50, false, false, rrOK, 1},         {rmPrior, 1000, false, false, rrOK, 4},
      {rmPrior, INT32_MAX, false, false, rrOK, 4},  {rmNext, INT32_MIN, false, false, rrOK, 1},
      {rmCurrent, 3, false, false, rrMissing, 3},   {rmCurrent, 5, false, false, rrMissing, 5},
      {rmCurrent, 4, false, false, rrOK, 4},        {rmNext, 3, false, false, rrOK, 4},
      {TTolvanGetRecordMode(7), 4, false, false, rrMissing, 4},
  };
  for (const TCase& C : Cases) {
    EXPECT_EQ(Nav(*M, C.Mode, C.From, C.AtBegin, C.AtEnd, &At, &Byte), C.Result)
        << int(C.Mode) << " from " << C.From;
    EXPECT_EQ(At, C.Reached) << int(C.Mode) << " from " << C.From;
    if (C.Result == rrOK) {
      EXPECT_EQ(Byte, 10 + C.Reached);
    }
  }
  // A fetch needs somewhere to put the record.
  TTolvanNavState S;
  S.Mode = rmCurrent;
  S.RecordID = {1, 0};
  EXPECT_EQ(NativeCodeOf([&] { M->GetRecord(S); }), 10019);
}

TEST_F(MemoryRecordManager, PositionsOfTheSlots) {
  auto M = Make(4);
  for (int I = 0; I < 6; ++I)
    Insert(*M, uint8_t(I));
  EXPECT_TRUE(M->NoDeletions());
  EXPECT_EQ(M->RecNoToRecordID(3), 3);
  EXPECT_EQ(M->RecordIDToRecNo(3), 4);
  Delete(*M, 1);
  Delete(*M, 3);
  Delete(*M, 4); // live: 0, 2, 5
  EXPECT_FALSE(M->NoDeletions());
  EXPECT_EQ(M->RecordIDToRecNo(5), 3);
  EXPECT_EQ(M->RecordIDToRecNo(0), 1);
  EXPECT_EQ(M->RecordIDToRecNo(2), 2);
  EXPECT_EQ(M->RecNoToRecordID(0), 0);
  EXPECT_EQ(M->RecNoToRecordID(1), 2);
  EXPECT_EQ(M->RecNoToRecordID(2), 5);
  EXPECT_EQ(M->RecNoToRecordID(3), -1);
  EXPECT_EQ(M->RecNoToRecordID(-1), -1);
  EXPECT_EQ(M->RecordIDToRecNo(M->Capacity()), -1);
  EXPECT_EQ(M->RecordIDToRecNo(-1), -1);
}

TEST_F(MemoryRecordManager, ApproximatePositions) {
  auto M = Make(4);
  EXPECT_EQ(M->GetApproxRecNo({0, 0}, -1), -1);
  Insert(*M, 0);
  EXPECT_EQ(M->GetApproxRecNo({0, 0}, -1), 1);
  for (int I = 1; I < 10; ++I)
    Insert(*M, uint8_t(I));
  EXPECT_EQ(M->GetApproxRecNo({5, 0}, -1), 5); // Round(4.5) + 1, ties to even
  EXPECT_EQ(M->GetApproxRecNo({9, 0}, -1), 9); // Round(8.1) + 1
  EXPECT_EQ(M->GetApproxRecNo({0, 0}, -1), 1);
  EXPECT_EQ(M->GetApproxRecNo({10, 0}, -1), -1);
  EXPECT_EQ(M->GetApproxRecNo({-1, 0}, -1), -1);
}

TEST_F(MemoryRecordManager, AStoreThatCannotGrowAnswersFalseAndStaysAsItWas) {
  // Capacity x RecordSize beyond the largest block.
  auto Huge = Make(1 << 30, 1000);
  std::vector<uint8_t> One(1, 0);
  TTolvanRecordID ID{3, 0};
  // Only the size is looked at before the refusal: the buffer is never read.
  EXPECT_FALSE(Huge->InsertRecord(One.data(), ID, -1));
  EXPECT_EQ(ID.PageNo, 3);
  EXPECT_EQ(Huge->RecordCount(), 0);
  EXPECT_EQ(Huge->Capacity(), 0);

  // Memory that cannot be had, first for the record block, then for the map.
  auto M = Make(16, 2);
  Insert(*M, 1);
  Insert(*M, 2);
  for (int64_t Failing = 1; Failing <= 2; ++Failing) {
    const auto R = Rec(16, 9);
    {
      TAllocationFailure Fail(Failing);
      EXPECT_FALSE(M->InsertRecord(R.data(), ID, -1));
      EXPECT_TRUE(Fail.Fired());
    }
    EXPECT_EQ(M->RecordCount(), 2);
    EXPECT_EQ(M->Capacity(), 2);
    EXPECT_EQ(M->MaxID(), 1);
  }
  EXPECT_EQ(Insert(*M, 3), 2);
  uint8_t Byte = 0;
  EXPECT_EQ(Nav(*M, rmCurrent, 0, false, false, nullptr, &Byte), rrOK);
  EXPECT_EQ(Byte, 1);
}

// A table with an Integer and two BLOB columns whose FreeBlob logs the handles it frees.
class TBlobTable : public TTestTableData {
public:
  using TTestTableData::TTestTableData;
  void FreeBlob(uint8_t* Buffer, int32_t FieldNo) override {
    Freed.push_back(LoadBlobReference(Buffer, FieldDefs()->Items(FieldNo)).Handle);
    SetFieldNull(Buffer, FieldNo, true);
  }
  std::vector<uint32_t> Freed;
};

TEST_F(MemoryRecordManager, UpdateFreesTheBlobBlocksTheNewRecordDropped) {
  TTestOwner BlobOwner;
  TBlobTable BlobTable(BlobOwner, FakeIndexFactory());
  TTolvanFieldDefs Fields;
  TTolvanIndexDefs Indexes;
  TTolvanConstraintDefs Constraints;
  AddField(Fields, "I", tftInteger);
  AddField(Fields, "A", tftBLOB);
  AddField(Fields, "B", tftMemo);
  TTestCursor Maker(nullptr, 0);
  Maker.SetTableName("B");
  BlobTable.CreateTable(Maker, Fields, Indexes, Constraints);
  const TTolvanFieldDefs& Defs = *BlobTable.FieldDefs();
  const int32_t Size = BlobTable.RecordSize();
  TTolvanMemoryRecordManager M(BlobTable, Size, 10);

  // A record: column 1 and 2 either null or holding Handle with the given marker.
  auto Make = [&](std::optional<uint32_t> A, bool AWritten, std::optional<uint32_t> B,
                  bool BWritten) {
    std::vector<uint8_t> R(size_t(Size), 0);
    SetAllNull(R.data(), 3);
    const std::optional<uint32_t> Handles[2] = {A, B};
    const bool Written[2] = {AWritten, BWritten};
    for (int F = 1; F <= 2; ++F)
      if (Handles[F - 1]) {
        SetFieldNull(R.data(), F, false);
        StoreBlobReference(R.data(), Defs.Items(F),
                           {*Handles[F - 1], 1, Written[F - 1] ? BlobWrittenMarker
                                                               : BlobStoredMarker});
      }
    return R;
  };
  struct TCase {
    const char* Name;
    std::optional<uint32_t> StoredA, NewA;
    bool NewAWritten;
    std::vector<uint32_t> Freed;
  };
  const TCase Cases[] = {
      {"stored null, new written", std::nullopt, 7u, true, {}},
      {"stored value, new written", 5u, 7u, true, {5}},
      {"stored value, new null", 5u, std::nullopt, false, {5}},
      {"stored value kept", 5u, 5u, false, {}},
      {"both null", std::nullopt, std::nullopt, false, {}},
  };
  for (const TCase& C : Cases) {
    M.Clear(-1);
    BlobTable.Freed.clear();
    const auto Stored = Make(C.StoredA, false, 9u, false);
    TTolvanRecordID ID{};
    ASSERT_TRUE(M.InsertRecord(Stored.data(), ID, -1));
    const auto New = Make(C.NewA, C.NewAWritten, 9u, false);
    ASSERT_TRUE(M.UpdateRecord(New.data(), ID, -1)) << C.Name;
    EXPECT_EQ(BlobTable.Freed, C.Freed) << C.Name;
    // The stored record is the new one, its values owned by the store.
    const uint8_t* Slot = M.RecordBlock();
    EXPECT_EQ(IsFieldNull(Slot, 1), !C.NewA.has_value()) << C.Name;
    if (C.NewA) {
      EXPECT_EQ(LoadBlobReference(Slot, Defs.Items(1)).Handle, *C.NewA);
      EXPECT_FALSE(IsBlobWritten(Slot, Defs.Items(1))) << C.Name;
    }
    EXPECT_EQ(LoadBlobReference(Slot, Defs.Items(2)).Handle, 9u);
    // The caller's buffer is not touched.
    EXPECT_EQ(New, Make(C.NewA, C.NewAWritten, 9u, false));
  }
  BlobTable.DropIndexesAndClose();
}

// Random inserts and deletes against a vector of slots: contents, ends, walks in both
// directions and both position mappings, the latter against a count over the map itself.
TEST_F(MemoryRecordManager, RandomChangesAgreeWithAModel) {
  for (uint32_t Seed : {1u, 2u, 3u}) {
    std::mt19937 Rng(Seed);
    const int32_t AllocBy = int32_t(Rng() % 3) * 7 - 1; // -1, 6 or 13
    auto M = Make(6, AllocBy);
    std::vector<std::optional<uint8_t>> Model; // by slot
    auto Live = [&] {
      std::vector<int32_t> L;
      for (size_t I = 0; I < Model.size(); ++I)
        if (Model[I])
          L.push_back(int32_t(I));
      return L;
    };
    for (int Step = 0; Step < 1500; ++Step) {
      std::vector<int32_t> L = Live();
      const uint32_t Op = Rng() % 10;
      if (L.empty() || Op < 5) {
        const uint8_t V = uint8_t(Rng());
        const int32_t ID = Insert(*M, V);
        const int32_t Expected = L.empty() ? 0 : L.back() + 1;
        ASSERT_EQ(ID, Expected);
        Model.resize(size_t(ID) + 1);
        Model[size_t(ID)] = V;
      } else if (Op < 9) {
        const int32_t ID = L[Rng() % L.size()];
        ASSERT_TRUE(Delete(*M, ID));
        Model[size_t(ID)].reset();
        // Slots above the highest live one are free again.
        while (!Model.empty() && !Model.back())
          Model.pop_back();
      } else {
        const int32_t ID = L[Rng() % L.size()];
        const uint8_t V = uint8_t(Rng());
        const auto R = Rec(6, V);
        ASSERT_TRUE(M->UpdateRecord(R.data(), {ID, 0}, -1));
        Model[size_t(ID)] = V;
      }
      L = Live();
      ASSERT_EQ(M->RecordCount(), int64_t(L.size()));
      if (L.empty()) {
        ASSERT_EQ(M->Capacity(), 0);
        continue;
      }
      ASSERT_EQ(M->MinID(), L.front());
      ASSERT_EQ(M->MaxID(), L.back());
      if (Step % 25 != 0)
        continue;
      // Walks in both directions give the live slots with their contents.
      std::vector<int32_t> Forward, Backward;
      int32_t At = 0;
      uint8_t Byte = 0;
      for (bool First = true;; First = false) {
        if (Nav(*M, rmNext, At, First, false, &At, &Byte) != rrOK)
          break;
        ASSERT_EQ(Byte, *Model[size_t(At)]);
        Forward.push_back(At);
      }
      for (bool First = true;; First = false) {
        if (Nav(*M, rmPrior, At, false, First, &At) != rrOK)
          break;
        Backward.insert(Backward.begin(), At);
      }
      ASSERT_EQ(Forward, L);
      ASSERT_EQ(Backward, L);
      // Positions: the model's order, and a bit-by-bit count over the map.
      for (size_t P = 0; P < L.size(); ++P) {
        ASSERT_EQ(M->RecNoToRecordID(int64_t(P)), L[P]);
        int64_t Counted = 0;
        if (M->NoDeletions())
          Counted = L[P] + 1;
        else
          for (int32_t S = 0; S <= L[P]; ++S)
            Counted += M->IsSlotDeleted(S) ? 0 : 1;
        ASSERT_EQ(M->RecordIDToRecNo(L[P]), Counted);
        ASSERT_EQ(Counted, int64_t(P) + 1);
      }
      ASSERT_EQ(M->RecNoToRecordID(int64_t(L.size())), -1);
      for (int32_t S = 0; S < int32_t(Model.size()); ++S)
        ASSERT_EQ(M->RecordExists({S, 0}, -1), Model[size_t(S)].has_value());
    }
  }
}

} // namespace
