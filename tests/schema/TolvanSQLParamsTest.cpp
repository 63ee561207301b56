#include <gtest/gtest.h>

#include <string>
#include <unordered_map>
#include <vector>

#include "classlib/ByteOrder.h"
#include "foundation/TolvanCompression.h"
#include "foundation/TolvanConst.h"
#include "foundation/TolvanExcept.h"
#include "foundation/TolvanStrUtils.h"
#include "foundation/TolvanStreams.h"
#include "schema/TolvanSQLParams.h"

using namespace tolvan;

namespace {

std::vector<uint8_t> Contents(TTolvanMemoryStream& S) {
  std::vector<uint8_t> V(static_cast<size_t>(S.Size()));
  S.SetPosition(0);
  EXPECT_EQ(S.Read(V.data(), int64_t(V.size())), int64_t(V.size()));
  return V;
}

int32_t LoadCode(const std::vector<uint8_t>& Bytes, TTolvanSQLParam& P) {
  TTolvanMemoryStream S;
  if (!Bytes.empty())
    S.Write(Bytes.data(), int64_t(Bytes.size()));
  S.SetPosition(0);
  try {
    P.LoadFromStream(S);
  } catch (const ETolvanException& E) {
    return E.NativeError();
  }
  return 0;
}

// Two different names with one name hash, found by search.
// Two names with one NameHash (the hash is linear, so such pairs are easy to build).
std::pair<std::string, std::string> CollidingNames() {
  return {"AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA", "QAAAAAQAAQQAAAAAQAAAQQQAQQAQQAQQQAAAAAAA"};
}

} // namespace

TEST(SQLParams, StreamForm) {
  TTolvanSQLParam P;
  P.SetName("p");
  P.SetAsInteger(5);
  TTolvanMemoryStream S;
  P.SaveToStream(S);
  const std::vector<uint8_t> Bytes = Contents(S);
  EXPECT_EQ(Bytes, (std::vector<uint8_t>{0x01, 0x00, 0x00, 0x00, 0x70, 0x07, 0x00, 0x04, 0x00, 0x00,
                                         0x00, 0x05, 0x00, 0x00, 0x00}));

  TTolvanSQLParam Back;
  EXPECT_EQ(LoadCode(Bytes, Back), 0);
  EXPECT_EQ(Back.Name(), "p");
  EXPECT_EQ(Back.NameHash(), NameHash("P"));
  EXPECT_EQ(Back.GetAsInteger(), 5);

  // A null value with an empty name.
  TTolvanSQLParam N;
  N.Clear(tvtString);
  TTolvanMemoryStream S2;
  N.SaveToStream(S2);
  EXPECT_EQ(Contents(S2), (std::vector<uint8_t>{0, 0, 0, 0, uint8_t(tvtString), 0xFF}));
  EXPECT_EQ(LoadCode(Contents(S2), Back), 0);
  EXPECT_EQ(Back.Name(), "");
  EXPECT_EQ(Back.NameHash(), 0u);
  EXPECT_TRUE(Back.IsNull());
  EXPECT_EQ(Back.DataType(), tvtString);
}

// A cut at every length names the element it falls in; a failed read changes nothing.
TEST(SQLParams, DamagedStreamForm) {
  const std::vector<uint8_t> Whole = {0x01, 0x00, 0x00, 0x00, 0x70, 0x07, 0x00, 0x04,
                                      0x00, 0x00, 0x00, 0x05, 0x00, 0x00, 0x00};
  // By cut length: name length, name, type, null flag, size, data. A length or size that runs
  // past the bytes left is refused with the code of the length or size, before allocating.
  const int32_t Codes[] = {11190, 11190, 11190, 11190, 11190, 10183, 10184, 10185,
                           10185, 10185, 10185, 10185, 10185, 10185, 10185};
  for (size_t Cut = 0; Cut < Whole.size(); ++Cut) {
    TTolvanSQLParam P;
    P.SetName("old");
    P.SetAsString("kept");
    EXPECT_EQ(LoadCode({Whole.begin(), Whole.begin() + Cut}, P), Codes[Cut]) << Cut;
    EXPECT_EQ(P.Name(), "old");
    EXPECT_EQ(P.GetAsString(), "kept");
  }
  // Name lengths that cannot be: negative, or past the end of the stream.
  for (int32_t Length : {-1, INT32_MIN, 2, 0x7FFFFFFF}) {
    std::vector<uint8_t> Bytes(4);
    StoreLE<int32_t>(Bytes.data(), Length);
    Bytes.push_back('p');
    TTolvanSQLParam P;
    EXPECT_EQ(LoadCode(Bytes, P), 11190) << Length;
  }
}

TEST(SQLParams, NamesAndAssign) {
  TTolvanSQLParam P;
  P.SetName("Caf\xE9");
  EXPECT_EQ(P.NameHash(), NameHash("CAF\xC9"));
  P.SetAsInteger(3);

  TTolvanSQLParam Q;
  Q.Assign(P, true);
  EXPECT_EQ(Q.Name(), P.Name());
  EXPECT_EQ(Q.NameHash(), P.NameHash());
  EXPECT_EQ(Q.GetAsInteger(), 3);

  // From a plain value only the value is taken.
  TTolvanVariant V;
  V.SetAsString("s");
  Q.Assign(V, true);
  EXPECT_EQ(Q.Name(), "Caf\xE9");
  EXPECT_EQ(Q.GetAsString(), "s");
}

TEST(SQLParams, List) {
  TTolvanSQLParams L;
  EXPECT_EQ(L.Count(), 0);
  EXPECT_EQ(L.Hash(), 0u);
  TTolvanSQLParam& A = L.Add();
  EXPECT_TRUE(A.IsNull());
  EXPECT_EQ(A.DataType(), tvtNone);
  A.SetName("alpha");
  L.Add().SetName("beta");
  L.Add().SetName("ALPHA");
  EXPECT_EQ(L.FindByName("Alpha"), &A);
  EXPECT_EQ(L.FindByName("BETA"), &L.Items(1));
  EXPECT_EQ(L.FindByName("gamma"), nullptr);
  EXPECT_EQ(L.IndexOfName("beta"), 1);
  EXPECT_EQ(L.IndexOfNameHash(NameHash("ALPHA")), 0);
  EXPECT_EQ(L.IndexOfNameHash(12345), -1);
  EXPECT_THROW(L.Items(3), EListError);
  EXPECT_THROW(L.Items(-1), EListError);

  // Two names sharing a hash: the hash alone binds the wrong one, the name does not.
  const auto [First, Second] = CollidingNames();
  ASSERT_EQ(NameHash(First), NameHash(Second));
  TTolvanSQLParams C;
  C.Add().SetName(First);
  C.Add().SetName(Second);
  EXPECT_EQ(C.IndexOfNameHash(NameHash(Second)), 0);
  EXPECT_EQ(C.IndexOfName(Second), 1);
  EXPECT_EQ(C.FindByName(Second), &C.Items(1));

  L.Clear();
  EXPECT_EQ(L.Count(), 0);
}

TEST(SQLParams, HashAgreesWithIndependentComputation) {
  TTolvanSQLParams L;
  L.Add().SetAsInteger(5);
  L.Add().SetAsString("text");
  L.Add().Clear(tvtFloat);
  L.Add().SetAsDouble(-0.5);
  std::vector<uint8_t> Concatenated;
  for (int32_t I = 0; I < L.Count(); ++I) {
    uint8_t B[4];
    StoreLE<uint32_t>(B, L.Items(I).Hash());
    Concatenated.insert(Concatenated.end(), B, B + 4);
  }
  EXPECT_EQ(L.Hash(), UpdateCrc32(RowHashSeed, Concatenated.data(), int64_t(Concatenated.size())));
  EXPECT_EQ(L.Items(2).Hash(), NullValueHash);

  const uint32_t Before = L.Hash();
  L.Items(0).SetAsInteger(6);
  EXPECT_NE(L.Hash(), Before);
}
