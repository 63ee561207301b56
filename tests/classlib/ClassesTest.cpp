#include "classlib/Classes.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

using namespace tolvan;

namespace {

// A minimal stream over a vector, enough to exercise the base class.
class TVectorStream : public TStream {
public:
  std::vector<char> Data;
  int64_t Pos = 0;
  int64_t Seeks = 0;
  void SetSize(int64_t N) override { Data.resize(N); }
  int64_t Read(void* B, int64_t C) override {
    int64_t N = std::max<int64_t>(0, std::min<int64_t>(C, int64_t(Data.size()) - Pos));
    if (N)
      std::memcpy(B, Data.data() + Pos, N);
    Pos += N;
    return N;
  }
  int64_t Write(const void* B, int64_t C) override {
    if (Pos + C > int64_t(Data.size()))
      Data.resize(Pos + C);
    std::memcpy(Data.data() + Pos, B, C);
    Pos += C;
    return C;
  }
  int64_t Seek(int64_t O, TSeekOrigin Or) override {
    ++Seeks;
    Pos = Or == soBeginning ? O : Or == soCurrent ? Pos + O : int64_t(Data.size()) + O;
    return Pos;
  }
};

} // namespace

TEST(Stream, SizeAndPositionGoThroughSeek) {
  TVectorStream S;
  S.WriteBuffer("hello", 5);
  S.SetPosition(2);
  EXPECT_EQ(S.Size(), 5);
  EXPECT_EQ(S.Position(), 2); // finding the size restored the position
  char B[3];
  S.ReadBuffer(B, 3);
  EXPECT_EQ(std::string(B, 3), "llo");
  EXPECT_THROW(S.ReadBuffer(B, 1), EReadError);
}

TEST(Stream, CopyFromCopiesAllOrAPart) {
  TVectorStream Src, Dst;
  std::vector<char> Big(200000);
  for (size_t I = 0; I < Big.size(); ++I)
    Big[I] = static_cast<char>(I * 7);
  Src.WriteBuffer(Big.data(), Big.size());
  EXPECT_EQ(Dst.CopyFrom(Src, 0), 200000);
  EXPECT_EQ(Dst.Data, Big);
  TVectorStream Part;
  Src.SetPosition(10);
  EXPECT_EQ(Part.CopyFrom(Src, 5), 5);
  EXPECT_EQ(std::vector<char>(Part.Data), std::vector<char>(Big.begin() + 10, Big.begin() + 15));
  Src.SetPosition(199999);
  EXPECT_THROW(Part.CopyFrom(Src, 2), EReadError);
}
