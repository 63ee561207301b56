#include "foundation/TolvanPPM.h"

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ostream>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

using namespace tolvan;

namespace {

using Bytes = std::vector<uint8_t>;

uint32_t Crc32(const uint8_t* p, size_t n) {
  static const std::array<uint32_t, 256> Table = [] {
    std::array<uint32_t, 256> t{};
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t c = i;
      for (int k = 0; k < 8; ++k)
        c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[i] = c;
    }
    return t;
  }();
  uint32_t c = 0xFFFFFFFFu;
  for (size_t i = 0; i < n; ++i)
    c = Table[(c ^ p[i]) & 255] ^ (c >> 8);
  return c ^ 0xFFFFFFFFu;
}
uint32_t Crc32(const Bytes& b) { return Crc32(b.data(), b.size()); }

// The inputs of the reference vectors.
Bytes Lcg(size_t n) {
  Bytes b(n);
  uint32_t x = 1;
  for (size_t k = 0; k < n; ++k) {
    x = 1103515245u * x + 12345u;
    b[k] = uint8_t(x >> 16);
  }
  return b;
}
Bytes Seq() {
  Bytes b;
  for (int r = 0; r < 16; ++r)
    for (int i = 0; i < 256; ++i)
      b.push_back(uint8_t(i));
  return b;
}
Bytes Pairs() {
  Bytes b;
  for (int i = 0; i < 256; ++i)
    for (int j = 0; j < 256; ++j) {
      b.push_back(uint8_t(i));
      b.push_back(uint8_t(j));
    }
  return b;
}
Bytes Numbers() {
  Bytes b;
  for (int i = 0; i < 200000; ++i) {
    for (char c : std::to_string(i))
      b.push_back(uint8_t(c));
    b.push_back(' ');
  }
  return b;
}
Bytes Words() {
  static const char* const Vocabulary[16] = {"the", "of", "and", "to",  "in",   "a",  "is", "that",
                                             "for", "it", "as",  "was", "with", "be", "by", "on"};
  Bytes b;
  uint32_t x = 1;
  for (int n = 1; b.size() < 1000000; ++n) {
    x = 1103515245u * x + 12345u;
    const uint32_t v = (x >> 16) & 0xFFFF;
    for (const char* p = Vocabulary[(v * v) >> 28]; *p; ++p)
      b.push_back(uint8_t(*p));
    b.push_back(n % 12 == 0 ? 0x0A : 0x20);
  }
  b.resize(1000000);
  return b;
}
Bytes Text(const char* s) { return Bytes(s, s + std::strlen(s)); }

Bytes Encode(const Bytes& In, int Order, int MiB) {
  Bytes Out(size_t(PPMEncodeCapacity(int64_t(In.size()))));
  const int32_t n =
      PPMEncodeBuffer(In.data(), int32_t(In.size()), Out.data(), Order, MiB, int32_t(Out.size()));
  Out.resize(size_t(n));
  return Out;
}

// Decodes with an output limit; the result has the length the decoder reported.
Bytes Decode(const uint8_t* In, size_t InSize, size_t Limit) {
  Bytes Out(Limit + 1);
  const int32_t n = PPMDecodeBuffer(In, int32_t(InSize), Out.data(), int32_t(Limit));
  Out.resize(size_t(n));
  return Out;
}
Bytes Decode(const Bytes& In, size_t Limit) { return Decode(In.data(), In.size(), Limit); }

struct TVector {
  const char* Id;
  Bytes (*Input)();
  int Order;
  int MiB;
  size_t CodedSize; // without the info word
  uint32_t CodedCrc;
  std::vector<uint8_t> Head, Tail; // known bytes at either end of the coded data
};

const TVector Vectors[] = {
    {"V1", [] { return Bytes(); }, 2, 2, 5, 0, {0xFF, 0x28, 0x2C, 0x1B, 0x00}, {}},
    {"V2", [] { return Bytes(); }, 16, 100, 5, 0, {0xFF, 0x86, 0x07, 0x8D, 0x00}, {}},
    {"V3", [] { return Bytes{0x41}; }, 2, 2, 5, 0, {0x5F, 0x27, 0xA8, 0x2D, 0x00}, {}},
    {"V4",
     [] { return Text("abracadabra"); },
     4,
     7,
     12,
     0,
     {0xB4, 0x1C, 0x9A, 0xFB, 0x0E, 0x53, 0x81, 0x47, 0x59, 0xAE, 0x31, 0x00},
     {}},
    {"V5",
     [] { return Text("abracadabra"); },
     2,
     2,
     12,
     0,
     {0x79, 0x98, 0x02, 0xB5, 0x18, 0x3F, 0xA9, 0xE0, 0x66, 0xC4, 0x70, 0x00},
     {}},
    {"V6",
     [] { return Bytes(1000000, 0x61); },
     2,
     2,
     374,
     0x88384874,
     {0x79, 0x93, 0x7F, 0xD7, 0x00, 0x00},
     {0x04, 0x2D, 0xFD, 0xE9, 0x00}},
    {"V7", Seq, 3, 3, 333, 0xEF4545E3, {}, {}},
    {"V8", Pairs, 2, 16, 123496, 0xC3513D9C, {}, {}},
    {"V9", Words, 5, 2, 149457, 0x4C717759, {}, {}},
    {"V10", Numbers, 7, 30, 352249, 0x0C97180D, {}, {}},
    {"V11", Numbers, 16, 2, 324990, 0xC89D07E7, {}, {}},
    {"V12", Words, 16, 2, 171730, 0x1D41373B, {}, {}},
    {"V13", [] { return Lcg(300000); }, 2, 2, 306908, 0xBF7FFDA1, {}, {}},
    {"V14", [] { return Lcg(300000); }, 8, 2, 306747, 0x4F36B252, {}, {}},
    {"V15", Pairs, 2, 2, 115324, 0x68829C60, {}, {}},
    {"V16", [] { return Lcg(3000000); }, 2, 6, 3086128, 0xF985873D, {}, {}},
};

void PrintTo(const TVector& V, std::ostream* os) { *os << V.Id; }

const TVector& VectorById(const char* Id) {
  for (const TVector& V : Vectors)
    if (std::strcmp(V.Id, Id) == 0)
      return V;
  throw std::invalid_argument(Id);
}

// The encoder reproduces the reference bytes, and the decoder gives the input back.
Bytes CheckVector(const TVector& V, const Bytes& In) {
  const Bytes Coded = Encode(In, V.Order, V.MiB);
  EXPECT_EQ(Coded.size(), 4 + V.CodedSize) << V.Id;
  if (Coded.size() != 4 + V.CodedSize)
    return Coded;
  const uint32_t Info = uint32_t(V.Order - 1) | uint32_t(V.MiB - 1) << 4 | 6u << 12;
  EXPECT_EQ(Coded[0], uint8_t(Info));
  EXPECT_EQ(Coded[1], uint8_t(Info >> 8));
  EXPECT_EQ(Coded[2], 0);
  EXPECT_EQ(Coded[3], 0);
  const Bytes Data(Coded.begin() + 4, Coded.end());
  if (V.CodedCrc) {
    EXPECT_EQ(Crc32(Data), V.CodedCrc) << V.Id;
  }
  EXPECT_EQ(Bytes(Data.begin(), Data.begin() + V.Head.size()), V.Head);
  EXPECT_EQ(Bytes(Data.end() - V.Tail.size(), Data.end()), V.Tail);
  // Success also means the stream was read exactly to its end.
  EXPECT_TRUE(Decode(Coded, In.size()) == In) << V.Id;
  return Coded;
}

// A stream cut by 1 to 4 bytes is refused; the decodes run side by side to save time.
void CheckCutStreams(const TVector& V, const Bytes& In, const Bytes& Coded) {
  size_t Results[4];
  std::vector<std::thread> Threads;
  for (size_t Cut = 1; Cut <= 4; ++Cut)
    Threads.emplace_back([&, Cut] {
      Results[Cut - 1] = Decode(Coded.data(), Coded.size() - Cut, In.size()).size();
    });
  for (auto& T : Threads)
    T.join();
  for (size_t Cut = 1; Cut <= 4; ++Cut)
    EXPECT_EQ(Results[Cut - 1], 0u) << V.Id << " cut by " << Cut;
}

class PPMVector : public testing::TestWithParam<TVector> {};
class PPMSmallVector : public testing::TestWithParam<TVector> {};

} // namespace

TEST(PPMCoder, GeneratedInputsMatchTheirChecksums) {
  EXPECT_EQ(Crc32(Text("123456789")), 0xCBF43926u);
  EXPECT_EQ(Crc32(Lcg(300000)), 0x8AEE4BE9u);
  EXPECT_EQ(Crc32(Lcg(3000000)), 0xE2057078u);
  EXPECT_EQ(Crc32(Seq()), 0xA2912082u);
  EXPECT_EQ(Crc32(Pairs()), 0x1D0245CFu);
  const Bytes N = Numbers();
  EXPECT_EQ(N.size(), 1288890u);
  EXPECT_EQ(Crc32(N), 0x5A4CFF8Fu);
  const Bytes W = Words();
  EXPECT_EQ(std::string(W.begin(), W.begin() + 39), "of a the it on a was is for the the the");
  EXPECT_EQ(W[39], 0x0A);
  EXPECT_EQ(Crc32(W), 0x8C723DC0u);
  EXPECT_EQ(Crc32(Bytes(1000000, 0x61)), 0xDC25BFBCu);
}

TEST_P(PPMVector, CodesLikeTheReferenceAndDecodesBack) {
  const TVector& V = GetParam();
  CheckVector(V, V.Input());
}

INSTANTIATE_TEST_SUITE_P(PPMCoder, PPMVector, testing::ValuesIn(Vectors, Vectors + 15),
                         [](const testing::TestParamInfo<TVector>& I) { return I.param.Id; });

// Cut streams are refused, and so is a stream that decodes past the caller's expected size.
TEST_P(PPMSmallVector, DamagedStreamsAreRefused) {
  const TVector& V = GetParam();
  const Bytes In = V.Input();
  const Bytes Coded = Encode(In, V.Order, V.MiB);
  ASSERT_EQ(Coded.size(), 4 + V.CodedSize);
  CheckCutStreams(V, In, Coded);
  if (!In.empty()) {
    EXPECT_EQ(Decode(Coded, In.size() - 1).size(), 0u);
  }
}

INSTANTIATE_TEST_SUITE_P(PPMCoder, PPMSmallVector, testing::ValuesIn(Vectors, Vectors + 7),
                         [](const testing::TestParamInfo<TVector>& I) { return I.param.Id; });

TEST(PPMCoderSlow, LargeVectorsCutShortAreRefused) {
  for (const TVector* V = Vectors + 7; V != Vectors + 15; ++V) {
    const Bytes In = V->Input();
    CheckCutStreams(*V, In, Encode(In, V->Order, V->MiB));
  }
}

TEST(PPMCoderSlow, LargestVector) {
  const TVector& V = VectorById("V16");
  const Bytes In = V.Input();
  const Bytes Coded = CheckVector(V, In);
  CheckCutStreams(V, In, Coded);
}

TEST(PPMCoder, InfoWordOfMode5) {
  const Bytes Coded = Encode(Text("abc"), 7, 30);
  ASSERT_GE(Coded.size(), 4u);
  EXPECT_EQ(Bytes(Coded.begin(), Coded.begin() + 4), (Bytes{0xD6, 0x61, 0x00, 0x00}));
  EXPECT_EQ(Decode(Coded, 3), Text("abc"));
}

TEST(PPMCoder, DecoderRefusesForeignInfoWords) {
  const Bytes Good = Encode(Text("abracadabra"), 4, 7);
  ASSERT_EQ(Decode(Good, 11), Text("abracadabra"));
  struct {
    uint32_t Info;
    const char* Why;
  } const Cases[] = {
      {0x5063, "variant F"}, {0x16063, "bits 16-31 set"}, {0x6060, "order 1"},
      {0x6643, "101 MiB"},   {0x6FF3, "256 MiB"},
  };
  for (const auto& C : Cases) {
    Bytes Bad = Good;
    std::memcpy(Bad.data(), &C.Info, 4);
    EXPECT_EQ(Decode(Bad, 100).size(), 0u) << C.Why;
  }
  for (size_t n = 0; n < 4; ++n)
    EXPECT_EQ(Decode(Good.data(), n, 100).size(), 0u) << n;
  EXPECT_EQ(Decode(Good.data(), 4, 100).size(), 0u) << "info word only";
}

TEST(PPMCoder, EncoderKeepsToItsParametersAndCapacity) {
  const Bytes In = Lcg(2000); // random data codes longer than it is
  Bytes Out(4000, 0xAA);
  EXPECT_EQ(PPMEncodeBuffer(In.data(), 2000, Out.data(), 1, 2, 4000), 0);
  EXPECT_EQ(PPMEncodeBuffer(In.data(), 2000, Out.data(), 17, 2, 4000), 0);
  EXPECT_EQ(PPMEncodeBuffer(In.data(), 2000, Out.data(), 2, 0, 4000), 0);
  EXPECT_EQ(PPMEncodeBuffer(In.data(), 2000, Out.data(), 2, 101, 4000), 0);
  EXPECT_EQ(PPMEncodeBuffer(In.data(), -1, Out.data(), 2, 2, 4000), 0);
  EXPECT_EQ(PPMEncodeBuffer(In.data(), 2000, Out.data(), 2, 2, 3), 0);

  const int32_t Need = PPMEncodeBuffer(In.data(), 2000, Out.data(), 2, 2, 4000);
  ASSERT_GT(Need, 2000);
  const Bytes Full(Out.begin(), Out.begin() + Need);
  for (int32_t Capacity : {Need - 1, Need - 5, 100, 4}) {
    std::fill(Out.begin(), Out.end(), 0xAA);
    EXPECT_EQ(PPMEncodeBuffer(In.data(), 2000, Out.data(), 2, 2, Capacity), 0) << Capacity;
    for (size_t i = size_t(Capacity); i < Out.size(); ++i)
      ASSERT_EQ(Out[i], 0xAA) << "written past the capacity at " << i;
  }
  EXPECT_EQ(PPMEncodeBuffer(In.data(), 2000, Out.data(), 2, 2, Need), Need);
  EXPECT_TRUE(Bytes(Out.begin(), Out.begin() + Need) == Full);
}

// Damaged and hostile streams end in 0 or in a result within the limit, never in a crash, a
// hang or a read past the input (the sanitizers watch the reads and writes).
TEST(PPMCoder, DamagedInputDecodesSafely) {
  std::mt19937 Rng(12345);
  const int Orders[] = {2, 3, 5, 8, 16};
  for (int Round = 0; Round < 300; ++Round) {
    const int Order = Orders[Round % 5];
    Bytes In(4 + Rng() % 3000);
    for (auto& b : In)
      b = uint8_t(Rng());
    const uint32_t Info = uint32_t(Order - 1) | (uint32_t(1 + Round % 2) << 4) | 6u << 12;
    std::memcpy(In.data(), &Info, 4);
    const size_t Limit = Rng() % 5000;
    EXPECT_LE(Decode(In, Limit).size(), Limit);
  }
  // Single damaged bytes in good streams.
  const Bytes Text1 = Words();
  const Bytes Source(Text1.begin(), Text1.begin() + 20000);
  for (int Order : {2, 6, 16}) {
    const Bytes Good = Encode(Source, Order, 2);
    for (int Round = 0; Round < 40; ++Round) {
      Bytes Bad = Good;
      Bad[4 + Rng() % (Bad.size() - 4)] ^= uint8_t(1 + Rng() % 255);
      EXPECT_LE(Decode(Bad, Source.size()).size(), Source.size());
    }
  }
}

TEST(PPMCoder, EmptyAndTinyBuffersRoundTrip) {
  for (int Order = 2; Order <= 16; ++Order) {
    for (const Bytes& In : {Bytes(), Bytes{0}, Bytes{0xFF, 0}, Text("aaaaaaaaaaaaaaaaaaaaab")}) {
      const Bytes Coded = Encode(In, Order, 1);
      ASSERT_GE(Coded.size(), 9u);
      EXPECT_TRUE(Decode(Coded, In.size()) == In) << Order;
    }
  }
}

// Every call has its own model: coding at once gives the bytes of coding one after another.
TEST(PPMCoder, ThreadsCodeIndependently) {
  const Bytes W = Words(), N = Numbers();
  const Bytes Inputs[4] = {Bytes(W.begin(), W.begin() + 150000),
                           Bytes(N.begin(), N.begin() + 150000), Lcg(40000),
                           Bytes(W.begin() + 500000, W.begin() + 600000)};
  const int Orders[4] = {5, 16, 2, 7};
  const int MiBs[4] = {2, 3, 2, 30};
  Bytes Serial[4], Parallel[4], Back[4];
  for (int i = 0; i < 4; ++i)
    Serial[i] = Encode(Inputs[i], Orders[i], MiBs[i]);
  std::vector<std::thread> Threads;
  for (int i = 0; i < 4; ++i)
    Threads.emplace_back([&, i] {
      Parallel[i] = Encode(Inputs[i], Orders[i], MiBs[i]);
      Back[i] = Decode(Parallel[i], Inputs[i].size());
    });
  for (auto& T : Threads)
    T.join();
  for (int i = 0; i < 4; ++i) {
    EXPECT_FALSE(Serial[i].empty());
    EXPECT_TRUE(Parallel[i] == Serial[i]) << i;
    EXPECT_TRUE(Back[i] == Inputs[i]) << i;
  }
}

// Speed on 1 MB of text at the orders and memory of modes 1, 5 and 9. Not part of the normal
// run: build without sanitizers and run with --gtest_also_run_disabled_tests.
TEST(PPMCoder, DISABLED_Benchmark) {
  const Bytes In = Words();
  struct {
    int Mode, Order, MiB;
  } const Modes[] = {{1, 2, 2}, {5, 7, 30}, {9, 16, 100}};
  for (const auto& M : Modes) {
    using Clock = std::chrono::steady_clock;
    double Enc = 1e9, Dec = 1e9;
    Bytes Coded, Back;
    for (int Rep = 0; Rep < 3; ++Rep) {
      auto t0 = Clock::now();
      Coded = Encode(In, M.Order, M.MiB);
      auto t1 = Clock::now();
      Back = Decode(Coded, In.size());
      auto t2 = Clock::now();
      Enc = std::min(Enc, std::chrono::duration<double>(t1 - t0).count());
      Dec = std::min(Dec, std::chrono::duration<double>(t2 - t1).count());
    }
    ASSERT_TRUE(Back == In);
    std::printf(
        "mode %d (order %d, %d MiB): %zu -> %zu bytes, encode %.2f MB/s, decode %.2f MB/s\n",
        M.Mode, M.Order, M.MiB, In.size(), Coded.size(), In.size() / Enc / 1e6,
        In.size() / Dec / 1e6);
  }
}
