#include "foundation/TolvanStreams.h"
#include "tests/foundation/TestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include <unistd.h>

#include "foundation/TolvanExcept.h"
#include "foundation/TolvanMemory.h"
#include "foundation/TolvanTempStreams.h"

using namespace tolvan;
using tolvan::test::Contents;
using tolvan::test::NativeCodeOf;
using tolvan::test::Raised;
namespace fs = std::filesystem;

namespace {

// A private directory for the files of one test, removed with everything in it.
class TScratchDir {
public:
  TScratchDir() {
    std::string T = (fs::temp_directory_path() / "tolvan-streams-XXXXXX").string();
    if (!::mkdtemp(T.data()))
      throw std::runtime_error("mkdtemp");
    FPath = T;
  }
  ~TScratchDir() {
    std::error_code Ec;
    fs::remove_all(FPath, Ec);
  }
  std::string File(const std::string& Name) const { return (FPath / Name).string(); }
  const fs::path& Path() const { return FPath; }

private:
  fs::path FPath;
};

void WriteFile(const std::string& Path, const std::string& Bytes) {
  std::ofstream(Path, std::ios::binary | std::ios::trunc) << Bytes;
}

std::string ReadFile(const std::string& Path) {
  std::ifstream In(Path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(In), {});
}

std::vector<uint8_t> Pattern(size_t N, uint32_t Seed = 1) {
  std::vector<uint8_t> V(N);
  for (size_t I = 0; I < N; ++I) {
    Seed = Seed * 1103515245u + 12345u;
    V[I] = static_cast<uint8_t>(Seed >> 16);
  }
  return V;
}

void Fill(TStream& S, const std::vector<uint8_t>& Bytes) {
  ASSERT_EQ(S.Write(Bytes.data(), int64_t(Bytes.size())), int64_t(Bytes.size()));
}

void ExpectPercents(const std::vector<double>& Got, const std::vector<double>& Want) {
  ASSERT_EQ(Got.size(), Want.size());
  for (size_t I = 0; I < Got.size(); ++I)
    EXPECT_DOUBLE_EQ(Got[I], Want[I]) << "call " << I;
}

// A stream that takes at most Cap bytes in all: short writes on demand.
class TCappedStream : public TTolvanStream {
public:
  explicit TCappedStream(int64_t Cap) : FCap(Cap) {}
  void SetSize(int64_t NewSize) override { FMem.SetSize(NewSize); }
  int64_t Read(void* Buffer, int64_t Count) override { return FMem.Read(Buffer, Count); }
  int64_t Seek(int64_t Offset, TSeekOrigin Origin) override { return FMem.Seek(Offset, Origin); }
  int64_t Write(const void* Buffer, int64_t Count) override {
    const int64_t Room = FCap > FMem.Position() ? FCap - FMem.Position() : 0;
    return FMem.Write(Buffer, Count < Room ? Count : Room);
  }

private:
  int64_t FCap;
  TTolvanMemoryStream FMem;
};

} // namespace

// --- memory stream ---------------------------------------------------------------------------

TEST(TolvanMemoryStream, CapacityFollowsTheGrowthRules) {
  struct Case {
    const char* Name;
    int64_t Adopt; // >0: start from an adopted block of this many bytes
    std::vector<std::pair<int64_t, int64_t>> Steps; // SetSize value, expected capacity
  };
  const Case Cases[] = {
      {"first block at least 1024", 0, {{1, 1024}}},
      {"first block as asked when larger", 0, {{5000, 5000}}},
      {"shrink that frees a quantum", 0, {{20480, 20480}, {10000, 10000}}},
      {"shrink that frees less keeps the block", 0, {{20480, 20480}, {10300, 20480}}},
      {"growth by a quantum", 0, {{5000, 5000}, {5001, 6024}}},
      {"growth by more than a quantum", 0, {{1024, 1024}, {4000, 4000}}},
      {"growth rounded to a multiple of 4", 1001, {{1002, 2028}}},
      {"from capacity 4 to 1024", 4, {{5, 1024}}},
      {"shrunk to 4, then grown", 0, {{2048, 2048}, {4, 4}, {5, 1024}}},
      {"megabyte quantum", 0, {{2000000, 2000000}, {2000001, 3048576}}},
      {"half the capacity from 2 MiB on", 0, {{4000000, 4000000}, {4000001, 6000000}}},
      {"half the capacity in the larger classes", 0, {{20000000, 20000000}, {20000001, 30000000}}},
      {"size 0 releases the block", 0, {{3000, 3000}, {0, 0}, {1, 1024}}},
  };
  for (const Case& C : Cases) {
    SCOPED_TRACE(C.Name);
    void* Block = C.Adopt > 0 ? MemoryManager.GetMem(C.Adopt) : nullptr;
    TTolvanMemoryStream S(Block, -1);
    EXPECT_EQ(S.Capacity(), C.Adopt);
    for (auto [Size, Capacity] : C.Steps) {
      S.SetSize(Size);
      EXPECT_EQ(S.Size(), Size);
      EXPECT_EQ(S.Capacity(), Capacity);
      EXPECT_EQ(MemoryManager.GetMemSize(S.Memory()), Capacity);
      EXPECT_EQ(S.Memory() == nullptr, Capacity == 0);
    }
  }
}

TEST(TolvanMemoryStream, ByteWritesGrowInQuanta) {
  TTolvanMemoryStream S;
  std::set<int64_t> Seen;
  const std::vector<uint8_t> Bytes = Pattern(3000);
  for (uint8_t B : Bytes) {
    ASSERT_EQ(S.Write(&B, 1), 1);
    Seen.insert(S.Capacity());
  }
  EXPECT_EQ(Seen, (std::set<int64_t>{1024, 2048, 3072}));
  EXPECT_EQ(S.Position(), 3000);
  EXPECT_EQ(Contents(S), Bytes);
}

// Bytes that a stream gains without being written are zero, whichever way the block was kept.
TEST(TolvanMemoryStream, GapsAndRegrowthReadAsZero) {
  TTolvanMemoryStream S;
  const std::vector<uint8_t> Ones(3000, 0xAB);
  Fill(S, Ones);
  S.SetSize(2500); // block kept (slack below a quantum)
  EXPECT_EQ(S.Capacity(), 3000);
  S.SetSize(3000);
  S.SetPosition(5000); // past the end
  const uint8_t B = 7;
  ASSERT_EQ(S.Write(&B, 1), 1);
  EXPECT_EQ(S.Size(), 5001);
  std::vector<uint8_t> Expect(5001, 0);
  std::fill(Expect.begin(), Expect.begin() + 2500, 0xAB);
  Expect[5000] = 7;
  EXPECT_EQ(Contents(S), Expect);

  S.SetSize(100); // block reallocated smaller, then grown again
  EXPECT_EQ(S.Capacity(), 100);
  S.SetSize(300);
  Expect.resize(300);
  std::fill(Expect.begin() + 100, Expect.end(), 0);
  EXPECT_EQ(Contents(S), Expect);
}

// Bytes past the size may hold what was cut off; none of them may show when the stream regains
// them, by SetSize or by a write past the end, with or without a new block.
TEST(TolvanMemoryStream, SlackNeverShowsThroughGrowth) {
  TTolvanMemoryStream S;
  Fill(S, std::vector<uint8_t>(3000, 0xAB));
  S.SetSize(2000); // block kept: its slack holds 0xAB
  ASSERT_EQ(S.Capacity(), 3000);
  S.SetPosition(2800); // a gap within the capacity
  const uint8_t B = 9;
  ASSERT_EQ(S.Write(&B, 1), 1);
  std::vector<uint8_t> Expect(2801, 0);
  std::fill(Expect.begin(), Expect.begin() + 2000, 0xAB);
  Expect[2800] = 9;
  EXPECT_EQ(Contents(S), Expect);
  S.SetSize(2100);
  S.SetSize(2900); // regrown within the capacity
  Expect.resize(2900);
  std::fill(Expect.begin() + 2100, Expect.end(), 0);
  EXPECT_EQ(Contents(S), Expect);
  S.SetSize(2950);
  S.SetPosition(5000); // a gap into a new block
  ASSERT_EQ(S.Write(&B, 1), 1);
  Expect.resize(5001, 0);
  Expect[5000] = 9;
  EXPECT_EQ(Contents(S), Expect);
}

TEST(TolvanMemoryStream, ReserveGrowsTheBlockOnly) {
  TTolvanMemoryStream S;
  S.Reserve(100000); // from no block
  EXPECT_EQ(S.Capacity(), 100000);
  EXPECT_EQ(S.Size(), 0);
  const std::vector<uint8_t> Data = Pattern(5000);
  Fill(S, Data);
  S.SetPosition(10);
  S.Reserve(4000); // never shrinks
  EXPECT_EQ(S.Capacity(), 100000);
  S.Reserve(200000);
  EXPECT_EQ(S.Capacity(), 200000);
  EXPECT_EQ(MemoryManager.GetMemSize(S.Memory()), 200000);
  EXPECT_EQ(S.Size(), 5000);
  EXPECT_EQ(S.Position(), 10);
  EXPECT_EQ(Contents(S), Data);
  // Writes within the reserve keep the block.
  const uint8_t* const Block = S.Memory();
  S.SetPosition(5000);
  const std::vector<uint8_t> More = Pattern(150000);
  ASSERT_EQ(S.Write(More.data(), int64_t(More.size())), int64_t(More.size()));
  EXPECT_EQ(S.Memory(), Block);
  EXPECT_EQ(S.Size(), 155000);
  {
    TAllocationFailure Fail(1);
    EXPECT_THROW(S.Reserve(400000), ETolvanException);
  }
  EXPECT_EQ(S.Capacity(), 200000); // a refused reserve changes nothing
  EXPECT_EQ(S.Size(), 155000);
}

TEST(TolvanMemoryStream, ReadWriteAndSeekBounds) {
  TTolvanMemoryStream S;
  const std::vector<uint8_t> Data = Pattern(8);
  Fill(S, Data);
  uint8_t Buf[16] = {};
  S.SetPosition(5);
  EXPECT_EQ(S.Read(Buf, 10), 3);
  EXPECT_EQ(S.Position(), 8);
  EXPECT_EQ(S.Read(Buf, 10), 0);
  S.SetPosition(0);
  EXPECT_EQ(S.Read(Buf, 0), 0);
  EXPECT_EQ(S.Read(Buf, -1), 0);
  EXPECT_EQ(S.Write(Buf, -1), 0);
  EXPECT_EQ(S.Seek(-2, soEnd), 6);
  EXPECT_EQ(S.Seek(1, soCurrent), 7);
  EXPECT_EQ(S.Seek(100, soEnd), 108); // not clamped
  S.SetSize(8);                       // same size: nothing changes, the position included
  EXPECT_EQ(S.Position(), 108);
  S.SetSize(4);
  EXPECT_EQ(S.Position(), 4); // a cut pulls the position in

  // A negative position transfers nothing and harms nothing.
  EXPECT_EQ(S.Seek(-3, soBeginning), -3);
  EXPECT_EQ(S.Write(Buf, 4), 0);
  EXPECT_EQ(S.Read(Buf, 4), 0);
  EXPECT_EQ(S.Size(), 4);

  // Positions that cannot be represented are refused and the position stays.
  EXPECT_EQ(S.Seek(INT64_MAX, soBeginning), INT64_MAX);
  EXPECT_EQ(S.Seek(1, soCurrent), -1);
  EXPECT_EQ(S.Position(), INT64_MAX);
  EXPECT_EQ(S.Write(Buf, 1), 0);
  EXPECT_EQ(S.Seek(INT64_MIN, soCurrent), -1);
  EXPECT_EQ(S.Size(), 4);
}

TEST(TolvanMemoryStream, AdoptsAnEngineBlock) {
  {
    uint8_t* Block = static_cast<uint8_t*>(MemoryManager.GetMem(100));
    for (int I = 0; I < 100; ++I)
      Block[I] = uint8_t(I);
    TTolvanMemoryStream S(Block, -1);
    EXPECT_EQ(S.Size(), 100);
    EXPECT_EQ(S.Capacity(), 100);
    EXPECT_EQ(S.Position(), 0);
    uint8_t B;
    S.SetPosition(42);
    ASSERT_EQ(S.Read(&B, 1), 1);
    EXPECT_EQ(B, 42);
  } // the stream frees the block
  {
    TTolvanMemoryStream S(MemoryManager.GetMem(100), 10);
    EXPECT_EQ(S.Size(), 10);
    EXPECT_EQ(S.Capacity(), 10);
  }
  { TTolvanMemoryStream S(MemoryManager.GetMem(16), 0); } // an empty view still frees its block
  // The block's bytes past the adopted size are not the stream's: growth shows them as zero.
  for (int32_t Adopted : {0, 10}) {
    SCOPED_TRACE(Adopted);
    void* Dirty = MemoryManager.GetMem(100);
    std::memset(Dirty, 0xFF, 100);
    TTolvanMemoryStream S(Dirty, Adopted);
    S.SetPosition(50);
    const uint8_t B = 7;
    ASSERT_EQ(S.Write(&B, 1), 1);
    std::vector<uint8_t> Expect(51, 0);
    std::fill(Expect.begin(), Expect.begin() + Adopted, 0xFF);
    Expect[50] = 7;
    EXPECT_EQ(Contents(S), Expect);
  }
  void* Block = MemoryManager.GetMem(50);
  EXPECT_THROW(TTolvanMemoryStream(Block, 51), ERangeError); // more than the block has
  MemoryManager.FreeAndNillMem(Block);                       // refused: still the caller's
}

// --- block copies ----------------------------------------------------------------------------

namespace {

struct TProgressLog {
  std::vector<double> Calls;
  double CancelAbove = 1000;
  void Attach(TTolvanStream& S) {
    S.SetOnProgress([this](TTolvanStream&, bool& Cancel, double Percent) {
      Calls.push_back(Percent);
      if (Percent > CancelAbove)
        Cancel = true;
    });
  }
};

} // namespace

TEST(TolvanStreamCopy, SaveToStreamCopiesInBlocksAndRestoresPositions) {
  TTolvanMemoryStream Src;
  const std::vector<uint8_t> Data = Pattern(250000);
  Fill(Src, Data);
  Src.SetPosition(123);
  TTolvanMemoryStream Dest;
  Fill(Dest, std::vector<uint8_t>(7, 0xEE));
  TProgressLog Log;
  Log.Attach(Src);

  Src.SaveToStream(Dest);
  EXPECT_EQ(Src.Position(), 123);
  EXPECT_EQ(Dest.Position(), 7);
  ExpectPercents(Log.Calls, {0, 40.96, 81.92, 100, 100});
  std::vector<uint8_t> Expect(7 + Data.size(), 0xEE);
  std::copy(Data.begin(), Data.end(), Expect.begin() + 7);
  EXPECT_EQ(Contents(Dest), Expect);

  TTolvanMemoryStream Empty, Dest2;
  TProgressLog Log2;
  Log2.Attach(Empty);
  Empty.SaveToStream(Dest2);
  EXPECT_EQ(Log2.Calls, (std::vector<double>{0, 100}));
  EXPECT_EQ(Dest2.Size(), 0);
}

TEST(TolvanStreamCopy, CancelStopsAfterTheCurrentBlockQuietly) {
  TTolvanMemoryStream Src, Dest;
  Fill(Src, Pattern(250000));
  Src.SetPosition(9);
  TProgressLog Log;
  Log.CancelAbove = 0;
  Log.Attach(Src);
  Src.SaveToStream(Dest);
  EXPECT_EQ(Log.Calls.size(), 2u); // 0 and the first block; no 100
  EXPECT_TRUE(Src.Cancel());
  EXPECT_EQ(Dest.Size(), 102400);
  EXPECT_EQ(Src.Position(), 9);
  EXPECT_EQ(Dest.Position(), 0);
}

TEST(TolvanStreamCopy, CopyFromStreamTakesARange) {
  TTolvanMemoryStream Src;
  const std::vector<uint8_t> Data = Pattern(1000);
  Fill(Src, Data);
  Src.SetPosition(17);
  TTolvanMemoryStream S;
  Fill(S, Pattern(5000, 9));
  S.SetBlockSize(128);
  TProgressLog Log;
  Log.Attach(S);
  S.CopyFromStream(Src, 100, 300);
  EXPECT_EQ(Contents(S), std::vector<uint8_t>(Data.begin() + 100, Data.begin() + 400));
  EXPECT_EQ(Src.Position(), 17);
  // Progress is Source's absolute position against its size.
  ExpectPercents(Log.Calls, {0, 22.8, 35.6, 40, 100});

  S.CopyFromStream(Src, 10, 0);
  EXPECT_EQ(S.Size(), 0);

  S.LoadFromStream(Src);
  EXPECT_EQ(Contents(S), Data);
}

TEST(TolvanStreamCopy, FailuresRaiseTheirCodesAndRestorePositions) {
  TTolvanMemoryStream Src, S;
  Fill(Src, Pattern(1000));
  Src.SetPosition(3);
  auto E = Raised([&] { S.CopyFromStream(Src, 900, 200); });
  EXPECT_EQ(E.NativeError(), 10148);
  EXPECT_EQ(E.Message(), "Cannot read from stream. Position = 900, Stream size = 1000, Block "
                         "size = 200, Bytes Read = 100 - Native error: 10148");
  EXPECT_EQ(Src.Position(), 3);

  S.SetBlockSize(0);
  E = Raised([&] { S.SaveToStream(Src); });
  EXPECT_EQ(E.Message(), "Stream block size = 0 is not allowed - Native error: 10418");
  E = Raised([&] { S.CopyFromStream(Src, 0, 10); });
  EXPECT_EQ(E.Message(), "Stream block size = 0 is not allowed - Native error: 10419");

  // A destination that takes nothing: a file opened for reading.
  TScratchDir Dir;
  const std::string Path = Dir.File("ro");
  WriteFile(Path, "12345");
  TTolvanFileStream ReadOnly(Path, fmOpenRead | fmShareDenyNone);
  ReadOnly.SetPosition(2);
  TTolvanMemoryStream Ten;
  Fill(Ten, Pattern(10));
  Ten.SetBlockSize(4);
  E = Raised([&] { Ten.SaveToStream(ReadOnly); });
  EXPECT_EQ(E.Message(), "Cannot write to stream. Position = 2, Stream size = 5, Block size = 4, "
                         "Bytes Write = 0 - Native error: 10147");
  EXPECT_EQ(ReadOnly.Position(), 2);
  EXPECT_EQ(Ten.Position(), 10);

  TTolvanFileStream WriteOnly(Path, fmOpenWrite | fmShareDenyNone);
  E = Raised([&] { S.SetBlockSize(100), S.CopyFromStream(WriteOnly, 0, 5); });
  EXPECT_EQ(E.NativeError(), 10148);
  TCappedStream Capped(3);
  E = Raised([&] { Capped.CopyFromStream(Ten, 0, 10); });
  EXPECT_EQ(E.Message(), "Cannot write to stream. Position = 0, Stream size = 3, Block size = "
                         "10, Bytes Write = 3 - Native error: 10149");
}

// --- checked I/O -----------------------------------------------------------------------------

TEST(TolvanCheckedIO, ShortTransfersRaiseTheCallersCode) {
  TTolvanMemoryStream S;
  const std::vector<uint8_t> Data = Pattern(8);
  WriteStreamBuffer(Data.data(), 8, S, 11111);
  SetStreamPosition(S, 0, 11112);
  uint8_t Buf[10];
  ReadStreamBuffer(Buf, 8, S, 11113);
  EXPECT_TRUE(std::equal(Data.begin(), Data.end(), Buf));

  SetStreamPosition(S, 5, 11114);
  auto E = Raised([&] { ReadStreamBuffer(Buf, 10, S, 12345); });
  EXPECT_EQ(E.NativeError(), 12345);
  EXPECT_EQ(E.Message(), "Cannot read from stream. Position = 5, Stream size = 8, Block size = "
                         "10, Bytes Read = 3 - Native error: 12345");
  SetStreamPosition(S, 1000, 11115); // a memory stream may stand past its end

  TScratchDir Dir;
  const std::string Path = Dir.File("f");
  WriteFile(Path, "12345");
  TTolvanFileStream F(Path, fmOpenRead);
  SetStreamPosition(F, 2, 11116);
  E = Raised([&] { WriteStreamBuffer(Buf, 4, F, 23456); });
  EXPECT_EQ(E.Message(), "Cannot write to stream. Position = 2, Stream size = 5, Block size = 4, "
                         "Bytes Write = 0 - Native error: 23456");
  F.SetPosition(3);
  E = Raised([&] { SetStreamPosition(F, -1, 34567); });
  EXPECT_EQ(E.Message(),
            "Cannot set stream position to -1. Position = 3, Size = 5 - Native error: 34567");
}

TEST(TolvanCheckedIO, ScalarsAreLittleEndianAndChecked) {
  TTolvanMemoryStream S;
  WriteStreamValue<int32_t>(S, 0x01020304, 1);
  WriteStreamValue<uint8_t>(S, 0xFF, 2);
  WriteStreamValue<int64_t>(S, -2, 3);
  EXPECT_EQ(Contents(S), (std::vector<uint8_t>{4, 3, 2, 1, 0xFF, 0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                               0xFF, 0xFF}));
  S.SetPosition(0);
  EXPECT_EQ(ReadStreamValue<int32_t>(S, 4), 0x01020304);
  EXPECT_EQ(ReadStreamValue<uint8_t>(S, 5), 0xFF);
  EXPECT_EQ(ReadStreamValue<int64_t>(S, 6), -2);
  EXPECT_EQ(NativeCodeOf([&] { ReadStreamValue<int16_t>(S, 10189); }), 10189);
}

// --- file streams ----------------------------------------------------------------------------

TEST(TolvanFileStream, CreateOpenReadWrite) {
  TScratchDir Dir;
  const std::string Path = Dir.File("data");
  WriteFile(Path, "old contents, longer");
  {
    TTolvanFileStream F(Path, fmCreate);
    EXPECT_EQ(F.Size(), 0); // replaced
    EXPECT_EQ(F.Write("hello", 5), 5);
    EXPECT_EQ(F.FileName(), Path);
    EXPECT_TRUE(F.WideFileName().empty());
    EXPECT_EQ(F.Mode(), fmCreate);
  }
  EXPECT_EQ(ReadFile(Path), "hello");
  {
    TTolvanFileStream F(Utf8ToWide(Path), fmOpenReadWrite);
    EXPECT_TRUE(F.FileName().empty());
    EXPECT_EQ(F.Seek(0, soEnd), 5);
    EXPECT_EQ(F.Write(" world", 6), 6);
    F.SetPosition(0);
    char Buf[32];
    EXPECT_EQ(F.Read(Buf, 32), 11);
  }
  EXPECT_EQ(ReadFile(Path), "hello world");
  {
    TTolvanFileStream R(Path, fmOpenRead | fmShareDenyNone);
    EXPECT_EQ(R.Write("x", 1), 0);
    TTolvanFileStream W(Path, fmOpenWrite | fmShareDenyNone);
    char C;
    EXPECT_EQ(W.Read(&C, 1), 0);
  }
  // A name that is not UTF-8-clean as narrow bytes passes through unchanged.
  const std::string Odd = Dir.File("caf\xE9");
  { TTolvanFileStream F(Odd, fmCreate); }
  EXPECT_TRUE(fs::exists(fs::path(Odd)));
}

TEST(TolvanFileStream, RefusalsRaiseCreateOrOpenErrors) {
  TScratchDir Dir;
  const std::string Missing = Dir.File("missing");
  const std::string Existing = Dir.File("existing");
  WriteFile(Existing, "x");
  const std::string NoDir = Dir.File("no/such/dir");
  struct Case {
    std::string Name;
    bool Wide;
    uint16_t Mode;
    std::string Message;
  };
  const Case Cases[] = {
      {Missing, false, fmOpenRead, "Cannot open file. FileName = " + Missing + ", Mode = 0"},
      {Missing, true, fmOpenReadWrite, "Cannot open file. FileName = " + Missing + ", Mode = 2"},
      {Existing, false, 3, "Cannot open file. FileName = " + Existing + ", Mode = 3"},
      {Existing, false, 0x50, "Cannot open file. FileName = " + Existing + ", Mode = 80"},
      {Dir.Path().string(), false, fmOpenRead,
       "Cannot open file. FileName = " + Dir.Path().string() + ", Mode = 0"},
      {NoDir, false, fmCreate, "Cannot create file. FileName = " + NoDir},
      {NoDir, true, fmCreate, "Cannot create file. FileName = " + NoDir},
      {Dir.Path().string(), false, fmCreate,
       "Cannot create file. FileName = " + Dir.Path().string()},
  };
  for (const Case& C : Cases) {
    SCOPED_TRACE(C.Message);
    auto E = Raised([&] {
      if (C.Wide)
        TTolvanFileStream(Utf8ToWide(C.Name), C.Mode);
      else
        TTolvanFileStream(C.Name, C.Mode);
    });
    EXPECT_EQ(E.Message(),
              C.Message + " - Native error: " + (C.Mode == fmCreate ? "10104" : "10105"));
  }
  // By wide name the same mode words are read as flags and open.
  TTolvanFileStream A(Utf8ToWide(Existing), 3);
  EXPECT_EQ(A.Write("y", 1), 1);
}

// Sharing among the engine's own streams: each row opens the file twice.
TEST(TolvanFileStream, SharingFollowsTheModeWord) {
  TScratchDir Dir;
  const std::string Path = Dir.File("shared");
  WriteFile(Path, "shared bytes");
  struct Open {
    bool Wide;
    uint16_t Mode;
  };
  struct Case {
    const char* Name;
    Open First, Second;
    bool SecondOpens;
  };
  const Case Cases[] = {
      {"two readers that share reading", {false, 0x20}, {false, 0x20}, true},
      {"a writer where only reading is shared", {false, 0x20}, {false, 0x41}, false},
      {"narrow $30 shares writing", {false, 0x30}, {false, 0x41}, true},
      {"narrow $30 refuses a reader", {false, 0x30}, {false, 0x40}, false},
      {"wide $30 shares nothing", {true, 0x30}, {false, 0x41}, false},
      {"wide $00 shares both", {true, 0x00}, {false, 0x42}, true},
      {"narrow $00 shares nothing", {false, 0x00}, {false, 0x40}, false},
      {"exclusive", {false, 0x10}, {true, 0x40}, false},
      {"deny none both ways", {false, 0x42}, {true, 0x42}, true},
      {"create while open", {false, 0x40}, {false, fmCreate}, false},
      {"open while created", {false, fmCreate}, {false, 0x40}, false},
  };
  for (const Case& C : Cases) {
    SCOPED_TRACE(C.Name);
    auto OpenIt = [&](const Open& O) {
      return O.Wide ? std::make_unique<TTolvanFileStream>(Utf8ToWide(Path), O.Mode)
                    : std::make_unique<TTolvanFileStream>(Path, O.Mode);
    };
    {
      auto First = OpenIt(C.First);
      if (C.SecondOpens) {
        EXPECT_NO_THROW(OpenIt(C.Second));
      } else {
        auto E = Raised([&] { OpenIt(C.Second); });
        EXPECT_EQ(E.NativeError(), C.Second.Mode == fmCreate ? 10104 : 10105);
      }
      if (C.First.Mode == fmCreate)
        First->Write("shared bytes", 12);
    }
    EXPECT_EQ(ReadFile(Path), "shared bytes"); // a refused create empties nothing
    EXPECT_NO_THROW(OpenIt(C.Second));         // free again once the first is closed
    WriteFile(Path, "shared bytes");
  }
}

TEST(TolvanFileStream, SetSizeMovesTheEndOfFile) {
  TScratchDir Dir;
  const std::string Path = Dir.File("f");
  {
    TTolvanFileStream F(Path, fmCreate);
    F.Write("0123456789", 10);
    F.SetPosition(8);
    F.SetSize(5);
    EXPECT_EQ(F.Size(), 5);
    EXPECT_EQ(F.Position(), 5); // was beyond the new end
    F.SetPosition(2);
    F.SetSize(8);
    EXPECT_EQ(F.Position(), 2);
    EXPECT_THROW(F.SetSize(-1), EOSError);
    EXPECT_EQ(F.Size(), 8);
  }
  EXPECT_EQ(ReadFile(Path), std::string("01234\0\0\0", 8));
  TTolvanFileStream R(Path, fmOpenRead);
  try {
    R.SetSize(1);
    ADD_FAILURE() << "a read-only file changed its size";
  } catch (const EOSError& E) {
    EXPECT_NE(E.ErrorCode(), 0);
    EXPECT_EQ(E.Message().rfind("System Error.  Code: ", 0), 0u) << E.Message();
  }
  EXPECT_EQ(R.Size(), 8);
}

TEST(TolvanFileStream, SaveToFileWritesTheWholeStream) {
  TScratchDir Dir;
  const std::string Path = Dir.File("saved.dat");
  WriteFile(Path, std::string(300000, 'z'));
  TTolvanMemoryStream S;
  const std::vector<uint8_t> Data = Pattern(250000);
  Fill(S, Data);
  S.SetPosition(77);
  S.SaveToFile(Path);
  EXPECT_EQ(S.Position(), 77);
  EXPECT_EQ(ReadFile(Path), std::string(Data.begin(), Data.end()));
  TTolvanMemoryStream Back;
  TTolvanFileStream F(Path, fmOpenRead);
  Back.LoadFromStream(F);
  EXPECT_EQ(Contents(Back), Data);
}

TEST(TolvanFileStream, FileExistsEx) {
  TScratchDir Dir;
  const std::string Path = Dir.File("here");
  WriteFile(Path, "x");
  EXPECT_FALSE(FileExistsEx("", u""));
  EXPECT_TRUE(FileExistsEx(Path, u""));
  EXPECT_TRUE(FileExistsEx("", Utf8ToWide(Path)));
  EXPECT_FALSE(FileExistsEx(Dir.File("gone"), u""));
  EXPECT_FALSE(FileExistsEx(Path, Utf8ToWide(Dir.File("gone")))); // the wide name decides
  EXPECT_FALSE(FileExistsEx(Dir.Path().string(), u""));           // a directory
  {
    TTolvanFileStream Held(Path, fmOpenRead | fmShareExclusive);
    EXPECT_FALSE(FileExistsEx(Path, u""));
  }
  {
    TTolvanFileStream Held(Path, fmOpenReadWrite | fmShareDenyNone);
    EXPECT_TRUE(FileExistsEx(Path, u""));
  }
}

// --- temporary names and the lock ------------------------------------------------------------

TEST(TolvanTempNames, MakeTempFileNameCreatesAnEmptyAcrFile) {
  const WideString& Dir = TempDirectory();
  ASSERT_FALSE(Dir.empty());
  EXPECT_EQ(Dir.back(), u'/');
  EXPECT_EQ(Dir, GetTempDirectory());
  const WideString A = MakeTempFileName(), B = MakeTempFileName();
  ASSERT_FALSE(A.empty());
  EXPECT_NE(A, B);
  for (const WideString& N : {A, B}) {
    EXPECT_EQ(N.rfind(Dir + u"ACR", 0), 0u);
    EXPECT_EQ(N.substr(N.size() - 4), u".tmp");
    const fs::path P = WideToUtf8(N);
    EXPECT_TRUE(fs::is_regular_file(P));
    EXPECT_EQ(fs::file_size(P), 0u);
    fs::remove(P);
  }
}

TEST(TolvanTempNames, NoDirectoryMeansNoTemporaryFiles) {
  const WideString Saved = TempDirectory();
  SetTempDirectory(u"");
  EXPECT_TRUE(MakeTempFileName().empty());
  auto E = Raised([] { TTolvanTempFileStream S; });
  EXPECT_EQ(E.Message(), "Cannot create file. FileName =  - Native error: 10104");
  SetTempDirectory(u"/no/such/directory/");
  EXPECT_TRUE(MakeTempFileName().empty());
  SetTempDirectory(Saved);
}

TEST(TolvanStreamLock, LockTakesTheStreamsOwnLock) {
  TTolvanMemoryStream S;
  S.Lock(true);
  S.Lock(false); // re-entrant
  EXPECT_EQ(S.ThreadSync().State(), -1);
  S.Unlock();
  S.Unlock();
  S.Lock(false);
  EXPECT_EQ(S.ThreadSync().State(), 1);
  S.Unlock();
  EXPECT_EQ(S.ThreadSync().State(), 0);
  EXPECT_EQ(S.ThreadSync().Owner(), &S);
  EXPECT_EQ(S.ThreadSync().OwnerName(), "TTolvanMemoryStream");
}
