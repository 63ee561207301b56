#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "foundation/TolvanTypes.h"
#include "foundation/TolvanVariantOps.h"
#include "tests/storage/BTreeTestSupport.h"

using namespace tolvan;
using namespace tolvan::test;

namespace {

// A record buffer of the table's layout, zero-filled.
std::vector<uint8_t> NewRecord(const TKeyTable& T) {
  return std::vector<uint8_t>(size_t(T.Fields.RecordBufferSize()), 0);
}

} // namespace

// The key of (Name Char(20), Age Integer descending): a null byte and DataSize bytes per column,
// exactly as the record holds them; a NULL column's bytes are written as zeros into a reused key.
TEST(TolvanBTreeKey, LayoutAndMakeKey) {
  TKeyTable T({{"Name", tftChar, 20}, {"Age", tftInteger, 0, true}});
  const TTolvanBTreeKeyRef& K = T.KeyRef;
  EXPECT_EQ(K.KeySize(), 1 + 21 + 1 + 4);
  EXPECT_EQ(K.ColumnCount(), 2);
  EXPECT_EQ(K.LeafDataSize(), 6);
  EXPECT_EQ(K.Columns(1).KeyOffset, 22);
  EXPECT_EQ(K.Columns(1).Size, 5);
  EXPECT_EQ(K.Columns(1).FieldNo, 1);
  EXPECT_TRUE(K.Columns(1).Descending);
  EXPECT_EQ(K.Columns(0).BufferOffset, T.Fields.Items(0).BufferOffset());

  std::vector<uint8_t> Rec = NewRecord(T);
  SetBit(true, 0, Rec.data()); // Name NULL
  std::memcpy(Rec.data() + T.Fields.Items(0).BufferOffset(), "stale", 5);
  StoreLE<int32_t>(Rec.data() + T.Fields.Items(1).BufferOffset(), 42);
  uint8_t* Key = K.AllocKey();
  std::memset(Key, 0xEE, size_t(K.KeySize()));
  K.MakeKey(Rec.data(), Key);
  EXPECT_EQ(Hex(Key, size_t(K.KeySize())), "01" + std::string(42, '0') + "00" + "2a000000");

  SetBit(false, 0, Rec.data());
  std::memcpy(Rec.data() + T.Fields.Items(0).BufferOffset(), "Bob\0x", 5);
  K.MakeKey(Rec.data(), Key);
  EXPECT_EQ(Hex(Key, 8), "00426f6200780000");
  TTolvanBTreeKeyRef::FreeKey(Key);
  EXPECT_EQ(Key, nullptr);
}

TEST(TolvanBTreeKey, BuildRefusals) {
  // 1353 bytes is the largest key: a Char(1351) column takes 1 + 1352.
  TKeyTable Largest({{"T", tftChar, 1351}});
  EXPECT_EQ(Largest.KeyRef.KeySize(), MaxIndexKeySize);

  TKeyTable TooLarge({{"T", tftChar, 1352}}, false);
  const ETolvanException E = Raised([&] { TooLarge.KeyRef.Build(TooLarge.Def, &TooLarge.Fields); });
  EXPECT_EQ(E.NativeError(), 20041);
  EXPECT_NE(E.Message().find("Index 'IX' key size 1354 exceeds the maximum of 1353 bytes"),
            std::string::npos);

  const struct {
    TTolvanFieldType Type;
    const char* Name;
  } Unordered[] = {{tftBLOB, "BLOB"},         {tftGraphic, "BLOB"}, {tftMemo, "MEMO"},
                   {tftWideMemo, "WIDEMEMO"}, {tftBytes, "BYTES"},  {tftVarBytes, "VARBYTES"}};
  for (const auto& U : Unordered) {
    TKeyTable T({{"I", tftInteger}, {"B", U.Type, 10}}, false);
    T.KeyRef.Build(Largest.Def, &Largest.Fields); // a layout that a failure must leave alone
    const ETolvanException F = Raised([&] { T.KeyRef.Build(T.Def, &T.Fields); });
    EXPECT_EQ(F.NativeError(), 20042) << U.Name;
    EXPECT_NE(
        F.Message().find(std::string("Index 'IX' cannot include field 'B' of type ") + U.Name),
        std::string::npos)
        << F.Message();
    EXPECT_EQ(T.KeyRef.KeySize(), MaxIndexKeySize);
  }

  TKeyTable Missing({{"A", tftInteger}}, false);
  Missing.Def.Columns(0).SetName("Nope");
  const ETolvanException M = Raised([&] { Missing.KeyRef.Build(Missing.Def, &Missing.Fields); });
  EXPECT_EQ(M.NativeError(), 20043);
  EXPECT_NE(M.Message().find("Cannot find index field 'Nope'"), std::string::npos);
  EXPECT_EQ(NativeCodeOf([&] { Missing.KeyRef.Build(Missing.Def, nullptr); }), 20045);
}

// NULL first (last when descending), ties on leading columns, partial keys, case modes.
TEST(TolvanBTreeKey, CompareKeysEdgeCases) {
  TKeyTable T({{"S", tftChar, 5, false, true}, {"N", tftInteger, 0, true}});
  TTolvanBTreeKeyRef& K = T.KeyRef;
  auto W = [&] { return TKeyWriter(K); };
  const TKey Abc1 = W().Text("abc").Value<int32_t>(1);
  const TKey ABC2 = W().Text("ABC").Value<int32_t>(2);
  const TKey Null1 = W().Null().Value<int32_t>(1);
  const TKey AbcNull = W().Text("abc").Null();

  EXPECT_EQ(K.CompareKeys(Abc1.data(), ABC2.data()), 1); // equal text, descending 1 > 2
  EXPECT_EQ(K.CompareKeys(Null1.data(), Abc1.data()), -1);
  EXPECT_EQ(K.CompareKeys(AbcNull.data(), Abc1.data()), 1); // NULL sorts last when descending
  EXPECT_EQ(K.CompareKeys(Null1.data(), W().Null().Value<int32_t>(1).Key().data()), 0);
  {
    TTolvanKeyColumnScope One(K, 1);
    EXPECT_EQ(K.CompareKeys(Abc1.data(), ABC2.data()), 0);
  }
  EXPECT_EQ(K.ColumnCount(), 2);

  TKeyTable CS({{"S", tftChar, 5}});
  const TKey Lower = TKeyWriter(CS.KeyRef).Text("abc"), Upper = TKeyWriter(CS.KeyRef).Text("ABC");
  EXPECT_EQ(CS.KeyRef.CompareKeys(Lower.data(), Upper.data()), -1); // abc < ABC < abd
  EXPECT_EQ(CS.KeyRef.CompareKeys(Upper.data(), TKeyWriter(CS.KeyRef).Text("abd").Key().data()),
            -1);
}

// Each column's comparator answers as CompareValueBuffersSign does for two values of its type
// with buffer sizes DataSize, on random and special values, in place at odd addresses too.
TEST(TolvanBTreeKey, ComparatorsAgreeWithValueComparison) {
  struct TTypeCase {
    TTolvanFieldType Type;
    int32_t Size;
  };
  const TTypeCase Types[] = {
      {tftChar, 6},     {tftVarchar, 4}, {tftWideChar, 5}, {tftWideVarchar, 3}, {tftShortInt, 0},
      {tftSmallInt, 0}, {tftInteger, 0}, {tftLargeInt, 0}, {tftByte, 0},        {tftWord, 0},
      {tftCardinal, 0}, {tftSingle, 0},  {tftDouble, 0},   {tftExtended, 0},    {tftCurrency, 0},
      {tftDate, 0},     {tftTime, 0},    {tftDateTime, 0}, {tftBoolean, 0},
  };
  std::mt19937_64 Rng(22);
  const char Letters[] = {'a', 'A', 'b', 'B', ' ', '\xe9', '\xc9', 'z', '1'};
  const char16_t WideLetters[] = {u'a',      u'A', u'\u00e9', u'\u00c9',
                                  u'\u0131', u'I', u' ',      u'\u4e00'};

  for (const TTypeCase& TC : Types) {
    TTolvanFieldDef F;
    F.SetType(TC.Type, TC.Size);
    const TTolvanValueType VT = F.BaseType();
    const int32_t DS = F.DataSize();
    auto Random = [&](std::vector<uint8_t>& V) {
      V.assign(size_t(DS), 0);
      const uint64_t R = Rng();
      switch (VT) {
      case tvtChar:
      case tvtString: {
        const size_t Len = size_t(R % (DS + 1)); // DS itself: no terminator within the buffer
        for (size_t I = 0; I < Len; ++I)
          V[I] = uint8_t(Letters[Rng() % sizeof Letters]);
        break;
      }
      case tvtWideChar:
      case tvtWideString: {
        const size_t Len = size_t(R % (DS / 2 + 1));
        for (size_t I = 0; I < Len; ++I)
          StoreLE<uint16_t>(&V[2 * I], WideLetters[Rng() % std::size(WideLetters)]);
        break;
      }
      case tvtSingle: {
        const float Specials[] = {std::numeric_limits<float>::quiet_NaN(), -0.0f, 0.0f,
                                  std::numeric_limits<float>::infinity(),  -1.5f, 1e-40f};
        const float X = R % 3 == 0 ? Specials[Rng() % 6] : float(int(Rng() % 7) - 3) / 2;
        StoreLE<float>(V.data(), X);
        break;
      }
      case tvtFloat:
      case tvtCurrency: {
        const double Specials[] = {std::numeric_limits<double>::quiet_NaN(), -0.0,  0.0,
                                   -std::numeric_limits<double>::infinity(), 1e308, -4.9e-324};
        const double X = R % 3 == 0 ? Specials[Rng() % 6] : double(int(Rng() % 7) - 3) / 4;
        StoreLE<double>(V.data(), X);
        break;
      }
      case tvtExtended: {
        const long double Specials[] = {std::numeric_limits<long double>::quiet_NaN(), -0.0L, 0.0L,
                                        std::numeric_limits<long double>::max(), 1e-4940L};
        const long double X =
            R % 3 == 0 ? Specials[Rng() % 5] : (long double)(int(Rng() % 7) - 3) / 3;
        std::memcpy(V.data(), &X, 10);
        break;
      }
      case tvtLogical:
        StoreLE<int16_t>(V.data(), int16_t(std::vector<int16_t>{0, 1, -1, 7}[R % 4]));
        break;
      default: // integers, DATE, TIME, DATETIME: extremes and small values in every byte
        for (int32_t I = 0; I < DS; ++I)
          V[size_t(I)] = R % 4 == 0   ? uint8_t(Rng() % 2 ? 0xFF : 0x00)
                         : R % 4 == 1 ? uint8_t(I == DS - 1 ? 0x80 : 0x00)
                                      : uint8_t(Rng() % 3);
        break;
      }
    };
    for (bool CI : {false, true}) {
      const TTolvanKeyValueCompare Compare = KeyValueComparator(VT, CI);
      ASSERT_NE(Compare, nullptr) << int(VT);
      std::vector<uint8_t> A, B;
      for (int Round = 0; Round < 3000; ++Round) {
        Random(A);
        Random(B);
        if (Round % 5 == 0)
          B = A; // equal values, also as the same bytes
        const int Expected =
            CompareValueBuffersSign(A.data(), B.data(), VT, VT, false, false, -1, CI, 1024, DS, DS);
        // The key keeps the value right after its null byte: try an odd address.
        std::vector<uint8_t> OddA(A.size() + 1), OddB(B.size() + 1);
        std::memcpy(OddA.data() + 1, A.data(), A.size());
        std::memcpy(OddB.data() + 1, B.data(), B.size());
        ASSERT_EQ(Compare(OddA.data() + 1, OddB.data() + 1, DS), Expected)
            << "type " << int(VT) << " ci " << CI << " A " << Hex(A.data(), A.size()) << " B "
            << Hex(B.data(), B.size());
      }
    }
  }
}
