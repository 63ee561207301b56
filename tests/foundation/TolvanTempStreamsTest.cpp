#include "foundation/TolvanTempStreams.h"
#include "tests/foundation/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include <sys/resource.h>

#include "foundation/TolvanExcept.h"

using namespace tolvan;
using tolvan::test::Raised;
using tolvan::test::Contents;
namespace fs = std::filesystem;

namespace {


std::vector<uint8_t> Pattern(size_t N, uint32_t Seed = 1) {
  std::vector<uint8_t> V(N);
  for (size_t I = 0; I < N; ++I) {
    Seed = Seed * 1103515245u + 12345u;
    V[I] = static_cast<uint8_t>((Seed >> 16) | 1); // never zero, so zeros show
  }
  return V;
}

std::string OsFileBytes(const WideString& Name) {
  std::ifstream In(WideToUtf8(Name), std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(In), {});
}

constexpr int64_t MiB = 1048576;

// The reference: a byte vector and a position with the streams' rules (unclamped seeks, zero
// gaps, growth by writes). ClampOnSetSize: the temporary stream pulls the position back to the
// new size, the temporary file stream does not.
struct TModel {
  std::vector<uint8_t> Bytes;
  int64_t Pos = 0;
  bool ClampOnSetSize;

  int64_t Size() const { return int64_t(Bytes.size()); }
};

// Random seek / read / write / set-size, with sizes that cross 1 MiB, checked step by step
// against the model. Returns the number of operations run.
void RunAgainstModel(TStream& S, bool ClampOnSetSize, uint32_t Seed, int Ops,
                     const std::function<void()>& AfterSetSize = {}) {
  std::mt19937 Rng(Seed);
  auto Uniform = [&](int64_t Lo, int64_t Hi) {
    return std::uniform_int_distribution<int64_t>(Lo, Hi)(Rng);
  };
  TModel M{{}, 0, ClampOnSetSize};
  std::vector<uint8_t> Buf;
  for (int Op = 0; Op < Ops; ++Op) {
    SCOPED_TRACE(testing::Message() << "seed " << Seed << " op " << Op);
    const int Kind = int(Uniform(0, 99));
    if (Kind < 20) { // seek, now and then past the end
      const int Origin = int(Uniform(0, 2));
      const int64_t Target = Uniform(0, M.Size() + (Uniform(0, 9) == 0 ? 100000 : 0));
      const int64_t Offset = Origin == 0   ? Target
                             : Origin == 1 ? Target - M.Pos
                                           : Target - M.Size();
      ASSERT_EQ(S.Seek(Offset, TSeekOrigin(Origin)), Target);
      M.Pos = Target;
    } else if (Kind < 50) { // write: mostly small, sometimes blocks and more
      const int64_t Len =
          Uniform(0, 3) ? Uniform(1, 300) : Uniform(1, Uniform(0, 5) ? 40000 : 200000);
      Buf = Pattern(size_t(Len), uint32_t(Op * 7919 + Seed));
      ASSERT_EQ(S.Write(Buf.data(), Len), Len);
      if (M.Pos + Len > M.Size())
        M.Bytes.resize(size_t(M.Pos + Len), 0);
      std::copy(Buf.begin(), Buf.end(), M.Bytes.begin() + M.Pos);
      M.Pos += Len;
    } else if (Kind < 80) { // read
      const int64_t Len = Uniform(0, 3) ? Uniform(0, 300) : Uniform(0, 100000);
      Buf.assign(size_t(Len), 0xCC);
      const int64_t Want = M.Pos >= M.Size() ? 0 : std::min(Len, M.Size() - M.Pos);
      ASSERT_EQ(S.Read(Buf.data(), Len), Want);
      ASSERT_TRUE(std::equal(Buf.begin(), Buf.begin() + Want, M.Bytes.begin() + M.Pos));
      M.Pos += Want;
    } else if (Kind < 92) { // set size: near the end, anywhere, or across 1 MiB
      int64_t NewSize;
      switch (Uniform(0, 2)) {
      case 0:
        NewSize = std::max<int64_t>(0, M.Size() + Uniform(-40000, 40000));
        break;
      case 1:
        NewSize = Uniform(0, M.Size() + 1);
        break;
      default:
        NewSize = Uniform(MiB - 70000, 2 * MiB + 70000);
      }
      S.SetSize(NewSize);
      M.Bytes.resize(size_t(NewSize), 0);
      if (M.ClampOnSetSize && M.Pos > NewSize)
        M.Pos = NewSize;
      if (AfterSetSize)
        AfterSetSize();
    } else if (Kind < 95) { // everything, through the stream
      ASSERT_EQ(Contents(S), M.Bytes);
    } else { // keep sizes in reach now and then
      const int64_t NewSize = Uniform(0, 70000);
      S.SetSize(NewSize);
      M.Bytes.resize(size_t(NewSize), 0);
      if (M.ClampOnSetSize && M.Pos > NewSize)
        M.Pos = NewSize;
    }
    ASSERT_EQ(S.Size(), M.Size());
    ASSERT_EQ(S.Position(), M.Pos);
  }
  ASSERT_EQ(Contents(S), M.Bytes);
}

} // namespace

TEST(TolvanTempFileStream, AgreesWithAByteVector) {
  for (uint32_t Seed : {1u, 2u, 3u}) {
    WideString Name;
    {
      TTolvanTempFileStream S;
      Name = S.FileName();
      EXPECT_TRUE(fs::exists(WideToUtf8(Name)));
      RunAgainstModel(S, false, Seed, 1500);
      // What the file holds, once flushed, is the stream.
      S.Flush();
      const std::string Disk = OsFileBytes(Name);
      const std::vector<uint8_t> OnDisk(Disk.begin(), Disk.end());
      std::vector<uint8_t> All = Contents(S);
      ASSERT_LE(OnDisk.size(), All.size());
      All.resize(OnDisk.size());
      EXPECT_EQ(OnDisk, All);
    }
    EXPECT_FALSE(fs::exists(WideToUtf8(Name)));
  }
}

TEST(TolvanTemporaryStream, AgreesWithAByteVector) {
  for (uint32_t Seed : {11u, 12u, 13u}) {
    WideString Name;
    bool WasInMemoryAtLarge = false;
    {
      TTolvanTemporaryStream S;
      auto Check = [&] {
        if (S.InMemory() && S.Size() > S.Threshold())
          WasInMemoryAtLarge = true;
        if (!S.InMemory())
          Name = S.FileStream()->FileName();
      };
      RunAgainstModel(S, true, Seed, 1500, Check);
      EXPECT_FALSE(S.InMemory());
      EXPECT_FALSE(WasInMemoryAtLarge);
    }
    ASSERT_FALSE(Name.empty());
    EXPECT_FALSE(fs::exists(WideToUtf8(Name)));
  }
}

TEST(TolvanTemporaryStream, WritesNeverLeaveMemory) {
  TTolvanTemporaryStream S;
  EXPECT_EQ(S.BlockSize(), 32768);
  EXPECT_EQ(S.Threshold(), 1048576);
  const std::vector<uint8_t> Data = Pattern(5 * MiB);
  for (int64_t Off = 0; Off < 5 * MiB; Off += MiB)
    ASSERT_EQ(S.Write(Data.data() + Off, MiB), MiB);
  EXPECT_TRUE(S.InMemory());
  EXPECT_EQ(S.FileStream(), nullptr);
  EXPECT_EQ(S.Size(), 5 * MiB);
  // Copies and clearing go through SetSize but stay in memory too.
  TTolvanTemporaryStream Copy;
  Copy.CopyFromStream(S, 0, 3 * MiB);
  EXPECT_TRUE(Copy.InMemory());
  EXPECT_EQ(Contents(Copy), std::vector<uint8_t>(Data.begin(), Data.begin() + 3 * MiB));
  S.SetSize(0);
  EXPECT_TRUE(S.InMemory());
  EXPECT_EQ(S.MemoryStream()->Capacity(), 0);
}

TEST(TolvanTemporaryStream, SizingBeyondTheThresholdMovesToAFile) {
  WideString Name;
  {
    TTolvanTemporaryStream S;
    const std::vector<uint8_t> Data = Pattern(100);
    ASSERT_EQ(S.Write(Data.data(), 100), 100);
    S.SetPosition(37);
    S.SetSize(S.Threshold()); // the threshold itself is still memory
    EXPECT_TRUE(S.InMemory());
    S.SetSize(2 * MiB);
    ASSERT_FALSE(S.InMemory());
    EXPECT_EQ(S.MemoryStream(), nullptr);
    Name = S.FileStream()->FileName();
    EXPECT_EQ(Name.rfind(TempDirectory() + u"ACR", 0), 0u);
    EXPECT_TRUE(fs::exists(WideToUtf8(Name)));
    EXPECT_EQ(fs::file_size(WideToUtf8(Name)), uint64_t(2 * MiB));
    EXPECT_EQ(S.Position(), 37);
    EXPECT_EQ(S.Size(), 2 * MiB);
    std::vector<uint8_t> Expect(2 * MiB, 0);
    std::copy(Data.begin(), Data.end(), Expect.begin());
    EXPECT_EQ(Contents(S), Expect);
    S.SetPosition(3 * MiB);
    S.SetSize(10); // on disk from now on, whatever the size; the position follows the cut
    EXPECT_FALSE(S.InMemory());
    EXPECT_EQ(S.Position(), 10);
    EXPECT_EQ(Contents(S), std::vector<uint8_t>(Data.begin(), Data.begin() + 10));
  }
  EXPECT_FALSE(fs::exists(WideToUtf8(Name)));
}

TEST(TolvanTempFileStream, CacheWritesWholeBlocksAndKeepsTheLastOne) {
  TTolvanTempFileStream S;
  EXPECT_EQ(S.BlockSize(), 32768);
  const std::vector<uint8_t> A = Pattern(20, 5);
  ASSERT_EQ(S.Write(A.data(), 10), 10);
  ASSERT_EQ(S.Write(A.data() + 10, 10), 10);
  EXPECT_EQ(S.DirtyBlock(), 0);
  EXPECT_EQ(OsFileBytes(S.FileName()), ""); // still cached
  // Touching a block further on sends block 0 to the file.
  S.SetPosition(100000);
  uint8_t B = 1;
  ASSERT_EQ(S.Write(&B, 1), 1);
  EXPECT_EQ(S.DirtyBlock(), 100000 / 32768);
  EXPECT_EQ(OsFileBytes(S.FileName()), std::string(A.begin(), A.end()));
  uint8_t Back[20];
  S.SetPosition(0);
  ASSERT_EQ(S.Read(Back, 20), 20);
  EXPECT_TRUE(std::equal(A.begin(), A.end(), Back));
  EXPECT_EQ(S.BufferBlock(), 0);

  // A whole block at a block boundary goes out at once.
  TTolvanTempFileStream W;
  const std::vector<uint8_t> Block = Pattern(32768, 6);
  ASSERT_EQ(W.Write(Block.data(), 32768), 32768);
  EXPECT_EQ(W.DirtyBlock(), -1);
  EXPECT_EQ(fs::file_size(WideToUtf8(W.FileName())), 32768u);

  // Reads stop at the size.
  TTolvanTempFileStream R;
  ASSERT_EQ(R.Write(Block.data(), 100), 100);
  R.SetPosition(0);
  std::vector<uint8_t> Big(1000);
  EXPECT_EQ(R.Read(Big.data(), 1000), 100);
  EXPECT_EQ(R.Read(Big.data(), 1000), 0);
}

TEST(TolvanTempFileStream, SetSizeKeepsTheCacheInLine) {
  TTolvanTempFileStream S;
  const std::vector<uint8_t> Data = Pattern(40000, 8);
  ASSERT_EQ(S.Write(Data.data(), 40000), 40000);
  EXPECT_EQ(S.DirtyBlock(), 1);
  S.SetSize(33000); // cuts into the cached block
  EXPECT_EQ(S.DirtyBlock(), -1);
  EXPECT_EQ(S.BufferValid(), 33000 - 32768);
  S.SetSize(40000);
  std::vector<uint8_t> Expect(Data.begin(), Data.begin() + 33000);
  Expect.resize(40000, 0);
  EXPECT_EQ(Contents(S), Expect);
  EXPECT_EQ(S.Position(), 40000); // the file stream itself does not move its position
  S.SetSize(0);
  EXPECT_EQ(S.Position(), 40000);
  uint8_t B;
  EXPECT_EQ(S.Read(&B, 1), 0);
  EXPECT_EQ(S.Seek(-1, soBeginning), -1);
  EXPECT_EQ(S.Write(&B, 1), 0); // nothing at a negative position
  EXPECT_THROW(S.SetSize(-1), EOSError);
}

// A file that may not grow past 64 KiB: write-backs fail, and the streams say so.
TEST(TolvanTempFileStream, WriteFailuresAreReported) {
  struct rlimit Old;
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &Old), 0);
  auto OldHandler = std::signal(SIGXFSZ, SIG_IGN);
  TTolvanTempFileStream Sized; // its length is set while the file may still grow
  Sized.SetSize(300000);
  struct rlimit Small = Old;
  Small.rlim_cur = 65536;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &Small), 0);
  {
    // A read that starts in the cached dirty block and goes on into the next: the write-back
    // fails before anything is delivered, and the position stays.
    const uint8_t Ten[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    Sized.SetPosition(131072);
    ASSERT_EQ(Sized.Write(Ten, 10), 10);
    Sized.SetPosition(131072 + 32760);
    uint8_t Out[100];
    EXPECT_EQ(Raised([&] { Sized.Read(Out, 100); }).NativeError(), 11698);
    EXPECT_EQ(Sized.Position(), 131072 + 32760);

    TTolvanTempFileStream S;
    const std::vector<uint8_t> Data = Pattern(102400);
    const int64_t Written = S.Write(Data.data(), 102400);
    EXPECT_LT(Written, 102400); // the third block could not be written
    EXPECT_GE(Written, 65536);
    S.SetPosition(0);
    uint8_t Buf[16];
    auto E = Raised([&] { S.Read(Buf, 16); });
    EXPECT_EQ(E.NativeError(), 11698);
    EXPECT_EQ(E.Message(),
              "Cannot write to stream. Position = 0, Stream size = " + std::to_string(Written) +
                  ", Block size = 32768, Bytes Write = 0 - Native error: 11698");
    EXPECT_EQ(Raised([&] { S.SetSize(10); }).NativeError(), 11698);

    // A temporary stream that cannot get its file's length stays in memory.
    TTolvanTemporaryStream T;
    ASSERT_EQ(T.Write(Data.data(), 100), 100);
    EXPECT_THROW(T.SetSize(2 * MiB), EOSError);
    EXPECT_TRUE(T.InMemory());
    EXPECT_EQ(Contents(T), std::vector<uint8_t>(Data.begin(), Data.begin() + 100));
  }
  setrlimit(RLIMIT_FSIZE, &Old);
  std::signal(SIGXFSZ, OldHandler);
}
