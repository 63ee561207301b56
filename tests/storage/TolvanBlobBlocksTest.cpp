#include "storage/TolvanBlobBlocks.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include "classlib/ByteOrder.h"
#include "classlib/SysUtils.h"
#include "foundation/TolvanMemory.h"

using namespace tolvan;

namespace {

// A registered block of N data bytes, each Fill.
TTolvanBlobReference AddFilled(TTolvanBlobBlockTable& Table, int64_t N, uint8_t Fill) {
  uint8_t* Block = TTolvanBlobBlockTable::NewBlock(N);
  StoreLE<int32_t>(Block, 1);
  StoreLE<int64_t>(Block + 4, N);
  std::memset(Block + BlobBlockPrefixSize, Fill, size_t(N));
  return Table.Add(Block);
}

// The data bytes behind the reference, or -1 when the table refuses it; checks they are all alike.
int ReadFill(TTolvanBlobBlockTable& Table, const TTolvanBlobReference& Ref, int64_t N) {
  int Fill = -1;
  const bool Found = Table.Read(Ref, [&](std::span<const uint8_t> Bytes) {
    EXPECT_EQ(int64_t(Bytes.size()), BlobBlockPrefixSize + N);
    EXPECT_EQ(LoadLE<int64_t>(Bytes.data() + 4), N);
    Fill = N ? Bytes[BlobBlockPrefixSize] : 0;
    for (int64_t I = 0; I < N; ++I)
      if (Bytes[size_t(BlobBlockPrefixSize + I)] != Fill)
        ADD_FAILURE() << "mixed bytes";
  });
  return Found ? Fill : -1;
}

TEST(BlobBlocks, NewBlocksAreZeroFilledWithTheirPrefix) {
  uint8_t* Block = TTolvanBlobBlockTable::NewBlock(5);
  EXPECT_EQ(TTolvanMemoryManager::GetMemSize(Block), 17);
  for (int I = 0; I < 17; ++I)
    EXPECT_EQ(Block[I], 0);
  TTolvanMemoryManager::FreeAndNillMem(Block);
  EXPECT_THROW(TTolvanBlobBlockTable::NewBlock(-1), ERangeError);
  EXPECT_THROW(TTolvanBlobBlockTable::NewBlock(MemMaxBlockSize), ERangeError);
  TTolvanBlobBlockTable Table;
  EXPECT_THROW(Table.Add(nullptr), EInvalidPointer);
  EXPECT_EQ(Table.LiveCount(), 0);
}

TEST(BlobBlocks, StaleReferencesAreRefusedAfterFreeAndAfterReuse) {
  TTolvanBlobBlockTable Table;
  const TTolvanBlobReference A = AddFilled(Table, 10, 'a');
  const TTolvanBlobReference B = AddFilled(Table, 0, 0);
  EXPECT_NE(A.Handle, 0u);
  EXPECT_NE(A.Handle, B.Handle);
  EXPECT_EQ(A.Marker, BlobWrittenMarker);
  EXPECT_EQ(Table.LiveCount(), 2);
  EXPECT_EQ(ReadFill(Table, A, 10), 'a');
  EXPECT_EQ(ReadFill(Table, B, 0), 0);

  EXPECT_TRUE(Table.Free(A));
  EXPECT_EQ(Table.LiveCount(), 1);
  EXPECT_FALSE(Table.IsLive(A));
  EXPECT_EQ(ReadFill(Table, A, 10), -1);
  EXPECT_FALSE(Table.Free(A));
  EXPECT_EQ(Table.LiveCount(), 1);

  // The freed slot is taken again: same handle, another generation; the old reference still
  // names nothing.
  const TTolvanBlobReference C = AddFilled(Table, 3, 'c');
  EXPECT_EQ(C.Handle, A.Handle);
  EXPECT_NE(C.Generation, A.Generation);
  EXPECT_EQ(ReadFill(Table, A, 10), -1);
  EXPECT_FALSE(Table.Free(A));
  EXPECT_EQ(ReadFill(Table, C, 3), 'c');

  // Handles no block ever had, and handle 0.
  for (const TTolvanBlobReference Bad :
       {TTolvanBlobReference{0, C.Generation, 0}, TTolvanBlobReference{C.Handle + 100, 1, 0},
        TTolvanBlobReference{B.Handle, uint16_t(B.Generation + 1), 0}}) {
    EXPECT_FALSE(Table.IsLive(Bad));
    EXPECT_FALSE(Table.Free(Bad));
  }
  EXPECT_EQ(Table.LiveCount(), 2);
}

TEST(BlobBlocks, ASlotRetiresBeforeItsGenerationComesRound) {
  TTolvanBlobBlockTable Table;
  const TTolvanBlobReference First = AddFilled(Table, 1, 'x');
  TTolvanBlobReference Last = First;
  int Reuses = 0;
  for (;;) {
    ASSERT_TRUE(Table.Free(Last));
    const TTolvanBlobReference Next = AddFilled(Table, 1, 'x');
    if (Next.Handle != First.Handle) {
      EXPECT_EQ(Last.Generation, UINT16_MAX);
      Last = Next;
      break;
    }
    EXPECT_EQ(Next.Generation, uint16_t(Last.Generation + 1));
    Last = Next;
    ++Reuses;
  }
  EXPECT_EQ(Reuses, UINT16_MAX - First.Generation);
  EXPECT_FALSE(Table.IsLive(First));
  EXPECT_EQ(Table.LiveCount(), 1);
}

TEST(BlobBlocks, ClearMakesEveryReferenceStale) {
  TTolvanBlobBlockTable Table;
  std::vector<TTolvanBlobReference> Refs;
  for (int I = 0; I < 5; ++I)
    Refs.push_back(AddFilled(Table, I, uint8_t('0' + I)));
  Table.Clear();
  EXPECT_EQ(Table.LiveCount(), 0);
  for (int I = 0; I < 5; ++I)
    Refs.push_back(AddFilled(Table, I, uint8_t('5' + I)));
  for (int I = 0; I < 5; ++I) {
    EXPECT_FALSE(Table.IsLive(Refs[size_t(I)]));
    EXPECT_EQ(ReadFill(Table, Refs[size_t(I + 5)], I), I ? '5' + I : 0);
  }
  // Destroying the table frees the live blocks (LeakSanitizer watches).
}

// Threads add, read and free their own blocks and try each other's freed references.
TEST(BlobBlocks, ConcurrentUse) {
  TTolvanBlobBlockTable Table;
  constexpr int Threads = 4, Steps = 4000;
  std::atomic<int64_t> Kept{0};
  std::vector<std::thread> Workers;
  for (int T = 0; T < Threads; ++T)
    Workers.emplace_back([&, T] {
      std::mt19937 Random(uint32_t(T + 1));
      std::vector<std::pair<TTolvanBlobReference, int64_t>> Mine;
      std::vector<TTolvanBlobReference> Stale;
      for (int S = 0; S < Steps; ++S) {
        const uint32_t R = Random() % 4;
        if (R < 2 || Mine.empty()) {
          const int64_t N = Random() % 64;
          Mine.push_back({AddFilled(Table, N, uint8_t(T + 1)), N});
        } else if (R == 2) {
          const size_t I = Random() % Mine.size();
          if (ReadFill(Table, Mine[I].first, Mine[I].second) != (Mine[I].second ? T + 1 : 0))
            ADD_FAILURE() << "a live block changed";
        } else {
          const size_t I = Random() % Mine.size();
          if (!Table.Free(Mine[I].first))
            ADD_FAILURE() << "a live block was refused";
          Stale.push_back(Mine[I].first);
          Mine.erase(Mine.begin() + long(I));
        }
        if (!Stale.empty() && S % 7 == 0) {
          const TTolvanBlobReference& Old = Stale[Random() % Stale.size()];
          if (Table.Free(Old) || ReadFill(Table, Old, 0) != -1)
            ADD_FAILURE() << "a stale reference was taken";
        }
      }
      Kept += int64_t(Mine.size());
    });
  for (std::thread& W : Workers)
    W.join();
  EXPECT_EQ(Table.LiveCount(), Kept.load());
}

} // namespace
