#include "storage/temp/TolvanTempEngine.h"

#include <gtest/gtest.h>

#include <fstream>
#include <random>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "foundation/TolvanExcept.h"
#include "foundation/TolvanMemory.h"
#include "tests/foundation/TestSupport.h"

using namespace tolvan;
using namespace tolvan::test;

namespace {

using TBytes = std::vector<uint8_t>;
using TManager = TTolvanTemporaryRecordManager;

// A record of Size bytes that tells its number: the number's 8 bytes, repeated.
TBytes Rec(int32_t Size, int64_t Number) {
  TBytes R(static_cast<size_t>(Size));
  for (size_t I = 0; I < R.size(); ++I)
    R[I] = uint8_t((Number >> (8 * (I % 8))) ^ I);
  return R;
}

bool FileExists(const WideString& Name) {
  struct stat St;
  return !Name.empty() && ::stat(WideToUtf8(Name).c_str(), &St) == 0;
}

TBytes FileBytes(const WideString& Name) {
  std::ifstream F(WideToUtf8(Name), std::ios::binary);
  return TBytes(std::istreambuf_iterator<char>(F), {});
}

// Temporary files go to Directory while it lives.
struct TTempDirectoryOverride {
  explicit TTempDirectoryOverride(const WideString& Directory) : Saved(TempDirectory()) {
    SetTempDirectory(Directory);
  }
  ~TTempDirectoryOverride() { SetTempDirectory(Saved); }
  WideString Saved;
};

// A manager of Size-byte records whose RecordLimit is Limit.
std::unique_ptr<TManager> Make(int32_t Size, int32_t Limit, int32_t GrowBy = 1000) {
  TAvailableMemoryOverride Memory(int64_t(Limit) * Size * 10);
  auto M = std::make_unique<TManager>(Size, 10, GrowBy);
  EXPECT_EQ(M->RecordLimit(), Limit);
  return M;
}

void Fill(TManager& M, int64_t Count) {
  for (int64_t N = M.RecordCount(); N < Count; ++N) {
    TTolvanRecordID ID{};
    ASSERT_TRUE(M.InsertRecord(Rec(M.RecordSize(), N).data(), ID, -1)) << N;
    ASSERT_EQ(TManager::RecordNumber(ID), N);
  }
}

TTolvanGetRecordResult Nav(TManager& M, TTolvanGetRecordMode Mode, int64_t From, bool AtBegin,
                           bool AtEnd, int64_t* Reached = nullptr, TBytes* Record = nullptr) {
  TBytes Buffer(size_t(M.RecordSize()));
  TTolvanNavState S;
  S.Mode = Mode;
  S.RecordID = TManager::RecordIDOf(From);
  S.Buffer = Buffer.data();
  S.AtBegin = AtBegin;
  S.AtEnd = AtEnd;
  M.GetRecord(S);
  if (S.Result == rrOK) {
    EXPECT_EQ(S.AtBegin, 0);
    EXPECT_EQ(S.AtEnd, 0);
  }
  if (Reached)
    *Reached = TManager::RecordNumber(S.RecordID);
  if (Record)
    *Record = Buffer;
  return S.Result;
}

TBytes Save(TManager& M) {
  TTolvanMemoryStream S;
  M.SaveToStream(S);
  return TBytes(S.Memory(), S.Memory() + S.Size());
}

void Load(TManager& M, const TBytes& Bytes) {
  TTolvanMemoryStream S;
  S.WriteBuffer(Bytes.data(), int64_t(Bytes.size()));
  S.SetPosition(0);
  M.LoadFromStream(S);
  EXPECT_EQ(S.Position(), int64_t(Bytes.size()));
}

// Every record reads back as Rec gave it, forwards, backwards and by number.
void ExpectRecords(TManager& M, int64_t Count) {
  ASSERT_EQ(M.RecordCount(), Count);
  int64_t N = -1;
  TBytes R;
  bool AtBegin = true;
  for (int64_t I = 0; I < Count; ++I) {
    ASSERT_EQ(Nav(M, rmNext, N, AtBegin, false, &N, &R), rrOK);
    AtBegin = false;
    ASSERT_EQ(N, I);
    ASSERT_EQ(R, Rec(M.RecordSize(), I)) << I;
  }
  EXPECT_EQ(Nav(M, rmNext, N, false, false), rrEndReached);
  bool AtEnd = true;
  for (int64_t I = Count - 1; I >= 0; --I) {
    ASSERT_EQ(Nav(M, rmPrior, N, false, AtEnd, &N, &R), rrOK);
    AtEnd = false;
    ASSERT_EQ(N, I);
    ASSERT_EQ(R, Rec(M.RecordSize(), I)) << I;
  }
  std::mt19937 Rng(7);
  for (int I = 0; I < 50 && Count > 0; ++I) {
    const int64_t K = int64_t(Rng() % uint64_t(Count));
    ASSERT_EQ(Nav(M, rmCurrent, K, false, false, nullptr, &R), rrOK);
    ASSERT_EQ(R, Rec(M.RecordSize(), K));
  }
}

TEST(TemporaryRecordManager, IdsAndNavigationEdges) {
  EXPECT_EQ(NativeCodeOf([] { TManager(0, 10, 1000); }), 10124);

  // 48-bit ids: PageNo the low 32 bits, PageItemNo the next 16.
  const TTolvanRecordID High = TManager::RecordIDOf((int64_t(3) << 32) | 0xFFFFFFF0);
  EXPECT_EQ(High.PageNo, int32_t(0xFFFFFFF0));
  EXPECT_EQ(High.PageItemNo, 3);
  EXPECT_EQ(TManager::RecordNumber(High), (int64_t(3) << 32) | 0xFFFFFFF0);

  auto M = Make(8, 100);
  EXPECT_EQ(Nav(*M, rmNext, 0, true, false), rrEndReached); // empty
  Fill(*M, 3);
  EXPECT_TRUE(M->RecordExists({0, 0}, -1));
  EXPECT_FALSE(M->RecordExists({3, 0}, -1));
  EXPECT_FALSE(M->RecordExists(High, -1));
  int64_t N = -1;
  EXPECT_EQ(Nav(*M, rmNext, 2, false, false), rrEndReached);
  EXPECT_EQ(Nav(*M, rmPrior, 0, false, false), rrBeginReached);
  EXPECT_EQ(Nav(*M, rmNext, 2, true, false, &N), rrOK);
  EXPECT_EQ(N, 0);
  EXPECT_EQ(Nav(*M, rmPrior, 0, false, true, &N), rrOK);
  EXPECT_EQ(N, 2);
  EXPECT_EQ(Nav(*M, rmPrior, 0, true, false), rrBeginReached);
  EXPECT_EQ(Nav(*M, rmNext, 0, false, true), rrEndReached);
  EXPECT_EQ(Nav(*M, rmCurrent, 0, true, false), rrMissing);
  EXPECT_EQ(Nav(*M, rmCurrent, 3, false, false), rrMissing);
  EXPECT_EQ(M->GetApproxRecNo({1, 0}, -1), 2);
  EXPECT_EQ(M->GetApproxRecNo({3, 0}, -1), -1);
  EXPECT_EQ(NativeCodeOf([&] { Nav(*M, rmCurrent, 1, false, false); }), 0);
  TTolvanNavState S;
  S.Mode = rmCurrent;
  EXPECT_EQ(NativeCodeOf([&] { M->GetRecord(S); }), 10127); // no buffer

  // Only appends: update and delete answer false and change nothing.
  const TBytes R = Rec(8, 99);
  EXPECT_FALSE(M->UpdateRecord(R.data(), {1, 0}, -1));
  EXPECT_FALSE(M->DeleteRecord({1, 0}, -1));
  ExpectRecords(*M, 3);
}

TEST(TemporaryRecordManager, MemoryGrowsToTheLimitThenRecordsSpill) {
  auto M = Make(100, 2500);
  std::vector<int32_t> Capacities;
  for (int64_t N = 0; N < 2500; ++N) {
    Fill(*M, N + 1);
    if (Capacities.empty() || Capacities.back() != M->MemoryCapacity())
      Capacities.push_back(M->MemoryCapacity());
  }
  EXPECT_EQ(Capacities, (std::vector<int32_t>{1000, 2000, 2500}));
  EXPECT_TRUE(M->SpillFileName().empty());

  Fill(*M, 2501);
  EXPECT_EQ(M->InMemoryCount(), 2500);
  ASSERT_FALSE(M->SpillFileName().empty());
  TBytes R(100);
  M->ReadRecord(R.data(), 2500);
  EXPECT_EQ(R, Rec(100, 2500));
  M->FlushWriteBuffer();
  EXPECT_EQ(M->SpillFileSize(), 100);
  EXPECT_EQ(FileBytes(M->SpillFileName()), Rec(100, 2500));
}

// The block grows by at least GrowByRecords and at least doubles, so N records cost O(N)
// copying, and it stops at the limit.
TEST(TemporaryRecordManager, MemoryDoublesUpToTheLimit) {
  struct TCase {
    int32_t Limit, GrowBy;
    std::vector<int32_t> Capacities;
  };
  const TCase Cases[] = {
      {40000, 1000, {1000, 2000, 4000, 8000, 16000, 32000, 40000}},
      {64000, 1000, {1000, 2000, 4000, 8000, 16000, 32000, 64000}},
      {100, 30, {30, 60, 100}},
      {10, 1000, {10}},
  };
  for (const TCase& Case : Cases) {
    SCOPED_TRACE(Case.Limit);
    auto M = Make(8, Case.Limit, Case.GrowBy);
    std::vector<int32_t> Capacities;
    for (int64_t N = 0; N < Case.Limit; ++N) {
      Fill(*M, N + 1);
      if (Capacities.empty() || Capacities.back() != M->MemoryCapacity())
        Capacities.push_back(M->MemoryCapacity());
    }
    EXPECT_EQ(Capacities, Case.Capacities);
    EXPECT_TRUE(M->SpillFileName().empty());
    Fill(*M, Case.Limit + 1);
    EXPECT_EQ(M->MemoryCapacity(), Case.Limit);
    EXPECT_FALSE(M->SpillFileName().empty());
    ExpectRecords(*M, Case.Limit + 1);
  }
}

TEST(TemporaryRecordManager, SpilledRecordsReadEveryWayAndTheFileGoes) {
  const int32_t Limit = 40;
  auto M = Make(24, Limit, 16);
  const int64_t Count = 3 * Limit + 7;
  Fill(*M, Count);
  EXPECT_EQ(M->MemoryCapacity(), Limit);
  EXPECT_LE(M->WriteBufferCount(), M->WriteBufferRecords());
  // Buffered records read back before they reach the file, and after.
  ExpectRecords(*M, Count);
  const WideString Name = M->SpillFileName();
  ASSERT_TRUE(FileExists(Name));
  M->FlushWriteBuffer();
  EXPECT_EQ(M->WriteBufferCount(), 0);
  EXPECT_EQ(M->SpillFileSize(), (Count - Limit) * 24);
  const TBytes File = FileBytes(Name);
  ASSERT_EQ(int64_t(File.size()), (Count - Limit) * 24);
  EXPECT_EQ(TBytes(File.begin() + 24 * 9, File.begin() + 24 * 10), Rec(24, Limit + 9));
  ExpectRecords(*M, Count);

  M->Clear(-1);
  EXPECT_FALSE(FileExists(Name));
  EXPECT_EQ(M->RecordCount(), 0);
  EXPECT_EQ(M->MemoryCapacity(), 0);
  Fill(*M, Limit + 3);
  const WideString Second = M->SpillFileName();
  ASSERT_TRUE(FileExists(Second));
  ExpectRecords(*M, Limit + 3);
  M.reset();
  EXPECT_FALSE(FileExists(Second));
}

TEST(TemporaryRecordManager, NoSpillFileMeansTheInsertAnswersFalse) {
  auto M = Make(16, 5);
  Fill(*M, 5);
  {
    TTempDirectoryOverride Missing(u"/no/such/directory/");
    TTolvanRecordID ID{7, 7};
    EXPECT_FALSE(M->InsertRecord(Rec(16, 5).data(), ID, -1));
    EXPECT_EQ(ID.PageNo, 7);
    EXPECT_EQ(M->RecordCount(), 5);
    EXPECT_TRUE(M->SpillFileName().empty());
  }
  Fill(*M, 8);
  ExpectRecords(*M, 8);

  // Memory that cannot be had for the block's growth: false, nothing changed.
  auto G = Make(16, 50, 10);
  Fill(*G, 10);
  {
    TAllocationFailure Fail(1);
    TTolvanRecordID ID{};
    EXPECT_FALSE(G->InsertRecord(Rec(16, 10).data(), ID, -1));
    EXPECT_TRUE(Fail.Fired());
  }
  EXPECT_EQ(G->MemoryCapacity(), 10);
  Fill(*G, 12);
  ExpectRecords(*G, 12);
}

TEST(TemporaryRecordManager, StreamRoundTripAndLayout) {
  const int32_t Limit = 30;
  auto M = Make(12, Limit, 8);
  Fill(*M, Limit + 13); // 13 spilled, some of them still buffered
  const TBytes Bytes = Save(*M);
  ASSERT_EQ(Bytes.size(), size_t(36 + Limit * 12 + 8 + 13 * 12));
  EXPECT_EQ(LoadLE<int32_t>(Bytes.data()), 12);
  EXPECT_EQ(LoadLE<int64_t>(Bytes.data() + 4), Limit + 13);
  EXPECT_EQ(LoadLE<int32_t>(Bytes.data() + 12), 10);
  EXPECT_EQ(LoadLE<int32_t>(Bytes.data() + 16), 120);
  EXPECT_EQ(LoadLE<int32_t>(Bytes.data() + 20), Limit);
  EXPECT_EQ(LoadLE<int32_t>(Bytes.data() + 24), Limit);
  EXPECT_EQ(LoadLE<int32_t>(Bytes.data() + 28), Limit);
  EXPECT_EQ(LoadLE<int32_t>(Bytes.data() + 32), 8);
  EXPECT_EQ(TBytes(Bytes.begin() + 36, Bytes.begin() + 48), Rec(12, 0));
  EXPECT_EQ(LoadLE<int64_t>(Bytes.data() + 36 + Limit * 12), 13 * 12);
  EXPECT_EQ(TBytes(Bytes.end() - 12, Bytes.end()), Rec(12, Limit + 12));

  // Loaded where the machine has other memory: the loaded limit holds, the bytes come back.
  // A spill file the store had before goes with the records it held.
  auto L = Make(12, 3);
  Fill(*L, 5);
  const WideString Old = L->SpillFileName();
  ASSERT_TRUE(FileExists(Old));
  Load(*L, Bytes);
  EXPECT_FALSE(FileExists(Old));
  EXPECT_TRUE(FileExists(L->SpillFileName()));
  EXPECT_EQ(L->RecordLimit(), Limit);
  EXPECT_EQ(L->GrowByRecords(), 8);
  ExpectRecords(*L, Limit + 13);
  EXPECT_EQ(Save(*L), Bytes);
  Fill(*L, Limit + 20);
  ExpectRecords(*L, Limit + 20);

  // Only in memory, with room to spare; and empty.
  auto Small = Make(12, 100, 8);
  Fill(*Small, 5);
  const TBytes SmallBytes = Save(*Small);
  EXPECT_EQ(SmallBytes.size(), size_t(36 + 5 * 12 + 8));
  auto LS = Make(12, 100);
  Load(*LS, SmallBytes);
  EXPECT_EQ(LS->MemoryCapacity(), 8);
  EXPECT_EQ(Save(*LS), SmallBytes);
  Fill(*LS, 9);
  ExpectRecords(*LS, 9);
  auto Empty = Make(12, 100);
  const TBytes EmptyBytes = Save(*Empty);
  EXPECT_EQ(EmptyBytes.size(), size_t(36 + 8));
  Load(*LS, EmptyBytes);
  ExpectRecords(*LS, 0);
  EXPECT_TRUE(LS->SpillFileName().empty());

  // Another record size is refused, naming the field.
  auto Other = Make(13, 100);
  EXPECT_EQ(NativeCodeOf([&] { Load(*Other, Bytes); }), 11217);
}

TEST(TemporaryRecordManager, BlocksThatDisagreeAreRefused) {
  auto M = Make(12, 100, 8);
  Fill(*M, 5); // capacity 8
  const TBytes Good = Save(*M);
  const auto Patch = [&](size_t Offset, int64_t Value, int Width) {
    TBytes B = Good;
    if (Width == 8)
      StoreLE<int64_t>(B.data() + Offset, Value);
    else
      StoreLE<int32_t>(B.data() + Offset, int32_t(Value));
    return B;
  };
  const size_t SField = 36 + 5 * 12;
  struct TCase {
    const char* What;
    TBytes Bytes;
    int32_t Code;
  } Cases[] = {
      {"negative count", Patch(4, -1, 8), 11218},
      {"count beyond 48 bits", Patch(4, int64_t(1) << 48, 8), 11218},
      {"count other than the records held", Patch(4, 6, 8), 11223},
      {"no write buffer", Patch(12, 0, 4), 11219},
      {"buffer bytes other than records x size", Patch(16, 121, 4), 11220},
      {"negative in-memory count", Patch(20, -1, 4), 11221},
      {"capacity below the records held", Patch(24, 4, 4), 11222},
      {"capacity beyond the available memory", Patch(24, INT32_MAX, 4), 11222},
      {"limit below the capacity", Patch(28, 7, 4), 11223},
      {"limit beyond a tenth of the largest memory", Patch(28, INT32_MAX / 120 + 1, 4), 11223},
      {"no growth step", Patch(32, 0, 4), 11224},
      {"more free slots than a step", Patch(32, 3, 4), 11224},
      {"spilled bytes without spilled records", Patch(SField, 12, 8), 11227},
      {"records cut", TBytes(Good.begin(), Good.begin() + 50), 11225},
  };
  for (const TCase& C : Cases) {
    auto L = Make(12, 100);
    Fill(*L, 2);
    const TBytes Before = Save(*L);
    EXPECT_EQ(NativeCodeOf([&] { Load(*L, C.Bytes); }), C.Code) << C.What;
    EXPECT_EQ(Save(*L), Before) << C.What;
  }
}

// Each cut and each flipped bit of the fields either is refused, leaving the store as it was,
// or loads a store that reads back every record it counts.
TEST(TemporaryRecordManager, DamagedBlocksAreRefusedOrConsistent) {
  const int32_t Limit = 6;
  auto M = Make(4, Limit, 4);
  Fill(*M, Limit + 3);
  const TBytes Good = Save(*M);
  const size_t SpillField = 36 + Limit * 4;

  auto Target = Make(4, 50);
  Fill(*Target, 3);
  const TBytes Before = Save(*Target);
  int Refused = 0, Loaded = 0;
  const auto Try = [&](const TBytes& Bytes, const std::string& What) {
    try {
      Load(*Target, Bytes);
    } catch (const ETolvanException&) {
      ++Refused;
      EXPECT_EQ(Save(*Target), Before) << What;
      return;
    }
    // Loaded: every record it counts can be read, in memory and from the file.
    ++Loaded;
    const int64_t Count = Target->RecordCount();
    EXPECT_EQ(Target->InMemoryCount(), std::min<int64_t>(Count, Target->RecordLimit())) << What;
    TBytes R(4);
    for (int64_t N = 0; N < Count; ++N)
      Target->ReadRecord(R.data(), N);
    Target = Make(4, 50);
    Fill(*Target, 3);
  };
  for (size_t Cut = 0; Cut < Good.size(); ++Cut)
    Try(TBytes(Good.begin(), Good.begin() + ptrdiff_t(Cut)), "cut at " + std::to_string(Cut));
  std::vector<size_t> Offsets;
  for (size_t I = 0; I < 36; ++I)
    Offsets.push_back(I);
  for (size_t I = SpillField; I < SpillField + 8; ++I)
    Offsets.push_back(I);
  for (size_t Byte : Offsets)
    for (int Bit = 0; Bit < 8; ++Bit) {
      TBytes B = Good;
      B[Byte] ^= uint8_t(1u << Bit);
      Try(B, "byte " + std::to_string(Byte) + " bit " + std::to_string(Bit));
    }
  // GrowByRecords may take other values.
  EXPECT_GT(Loaded, 0);
  EXPECT_GT(Refused, 0);
}

} // namespace
