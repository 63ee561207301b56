#include "sql/TolvanRowSet.h"
#include "tests/foundation/TestSupport.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "foundation/TolvanCompression.h"
#include "foundation/TolvanConst.h"

using namespace tolvan;
using namespace tolvan::test;

namespace {

// The row hash of a row of INTEGER values, computed the way the set documents it.
uint32_t RowHashOf(std::initializer_list<int32_t> Values) {
  std::vector<uint8_t> Words;
  TTolvanVariant V(tvtInteger);
  for (int32_t X : Values) {
    V.SetAsInteger(X);
    const uint32_t H = V.Hash();
    for (int Shift : {0, 8, 16, 24})
      Words.push_back(uint8_t(H >> Shift));
  }
  return UpdateCrc32(RowHashSeed, Words.data(), int64_t(Words.size()));
}

bool AddRow(TTolvanRecordComparison& Set, int32_t A, int32_t B) {
  TTolvanVariant X(tvtInteger), Y(tvtInteger);
  X.SetAsInteger(A);
  Y.SetAsInteger(B);
  Set.SetColumnHash(X, 0);
  Set.SetColumnHash(Y, 1);
  return Set.IsNewRow();
}

bool AddOne(TTolvanRecordComparison& Set, const TTolvanVariant& Value) {
  Set.SetColumnHash(Value, 0);
  return Set.IsNewRow();
}

// Two different rows of INTEGER values whose hashes are equal must both survive DISTINCT. The
// row hash is linear in the values' bits, so values from a small range never collide (one
// INTEGER column never does): the search draws whole 32-bit values.
TEST(RecordComparison, RowsWithEqualHashesButDifferentValuesAreBothKept) {
  std::mt19937 Random(5);
  std::unordered_map<uint32_t, std::pair<int32_t, int32_t>> Seen;
  Seen.reserve(600000);
  std::optional<std::pair<int32_t, int32_t>> First, Second;
  for (int32_t K = 0; K < 600000 && !Second; ++K) {
    const int32_t X = int32_t(Random()), Y = int32_t(Random());
    auto [It, Added] = Seen.emplace(RowHashOf({X, Y}), std::make_pair(X, Y));
    if (!Added && It->second != std::make_pair(X, Y)) {
      First = It->second;
      Second = std::make_pair(X, Y);
    }
  }
  ASSERT_TRUE(Second) << "no colliding pair among 600000 rows";
  const auto [A1, A2] = *First;
  const auto [B1, B2] = *Second;

  const TTolvanRowColumn Columns[] = {{tftInteger, 0}, {tftInteger, 0}};
  TTolvanRecordComparison Set(Columns, 100);
  TTolvanVariant X(tvtInteger), Y(tvtInteger);
  X.SetAsInteger(A1);
  Y.SetAsInteger(A2);
  Set.SetColumnHash(X, 0);
  Set.SetColumnHash(Y, 1);
  EXPECT_EQ(Set.ComputeRowHash(), RowHashOf({A1, A2}));
  EXPECT_TRUE(Set.IsNewRow());
  EXPECT_TRUE(AddRow(Set, B1, B2))
      << "(" << A1 << ", " << A2 << ") and (" << B1 << ", " << B2 << ")";
  EXPECT_FALSE(AddRow(Set, A1, A2));
  EXPECT_FALSE(AddRow(Set, B1, B2));
  EXPECT_EQ(Set.Count(), 2);
}

// Random rows of (INTEGER, VARCHAR(4)) against a std::set of their stored forms: text cut to
// four characters, an empty text null. Once with every row hashing alike, once with the real
// hash and enough rows to double the slots several times.
TEST(RecordComparison, AgreesWithAModelSet) {
  using TModelRow = std::pair<std::optional<int32_t>, std::optional<std::string>>;
  struct TCase {
    const char* Name;
    TTolvanRecordComparison::THashHook Hook;
    int Rows;
  };
  const TCase Cases[] = {{"constant hash", [](uint32_t) { return 7u; }, 600},
                         {"row hash", nullptr, 20000}};
  for (const TCase& Case : Cases) {
    SCOPED_TRACE(Case.Name);
    std::mt19937 Random(17);
    const TTolvanRowColumn Columns[] = {{tftInteger, 0}, {tftVarchar, 4}};
    TTolvanRecordComparison Set(Columns, 10);
    Set.SetHashHookForTesting(Case.Hook);
    std::set<TModelRow> Model;
    for (int I = 0; I < Case.Rows; ++I) {
      TModelRow Row;
      TTolvanVariant N(tvtInteger), S(tvtString);
      if (Random() % 10 != 0) {
        Row.first = int32_t(Random() % (Case.Rows / 4)) - 50;
        N.SetAsInteger(*Row.first);
      }
      if (Random() % 10 != 0) {
        std::string Text(Random() % 6, ' ');
        for (char& C : Text)
          C = "aAbB"[Random() % 4];
        S.SetAsString(Text);
        if (!Text.empty())
          Row.second = Text.substr(0, 4);
      }
      Set.SetColumnHash(N, 0);
      Set.SetColumnHash(S, 1);
      const bool Expected = Model.insert(Row).second;
      ASSERT_EQ(Set.IsNewRow(), Expected) << "row " << I;
    }
    EXPECT_EQ(Set.Count(), int64_t(Model.size()));
  }
}

// Values are the same when their column would store the same value, compared case-sensitively
// and whole.
TEST(RecordComparison, ValuesMeetInTheirColumnsType) {
  using TMaker = std::function<void(TTolvanVariant&)>;
  struct TCase {
    const char* Name;
    TTolvanRowColumn Column;
    TMaker First, Second;
    bool Same;
  };
  auto Small = [](int16_t X) {
    return [X](TTolvanVariant& V) { V.Clear(tvtSignedInt16), V.SetAsSmallInt(X); };
  };
  auto Int = [](int32_t X) {
    return [X](TTolvanVariant& V) { V.Clear(tvtInteger), V.SetAsInteger(X); };
  };
  auto Large = [](int64_t X) {
    return [X](TTolvanVariant& V) { V.Clear(tvtSignedInt64), V.SetAsLargeInt(X); };
  };
  auto Dbl = [](double X) {
    return [X](TTolvanVariant& V) { V.Clear(tvtFloat), V.SetAsDouble(X); };
  };
  auto Str = [](std::string X) {
    return [X](TTolvanVariant& V) { V.Clear(tvtString), V.SetAsString(X); };
  };
  auto Null = [](TTolvanValueType T) { return [T](TTolvanVariant& V) { V.Clear(T); }; };
  const TCase Cases[] = {
      {"SMALLINT 1 and INTEGER 1", {tftInteger, 0}, Small(1), Int(1), true},
      {"LARGEINT 1 and SMALLINT 1 in SMALLINT", {tftSmallInt, 0}, Large(1), Small(1), true},
      {"INTEGER 1 and 2", {tftInteger, 0}, Int(1), Int(2), false},
      {"auto-increment column", {tftAutoIncInteger, 0}, Small(5), Large(5), true},
      {"both zeros", {tftDouble, 0}, Dbl(0.0), Dbl(-0.0), true},
      {"2.5 and 2.25", {tftDouble, 0}, Dbl(2.5), Dbl(2.25), false},
      {"case counts", {tftVarchar, 10}, Str("abc"), Str("ABC"), false},
      {"cut to the column", {tftVarchar, 3}, Str("abcX"), Str("abcY"), true},
      {"whole value", {tftVarchar, 10}, Str("abc"), Str("abcd"), false},
      {"trailing blank counts", {tftVarchar, 10}, Str("abc"), Str("abc "), false},
      {"empty text is null", {tftVarchar, 10}, Str(""), Null(tvtString), true},
      {"null equals null", {tftInteger, 0}, Null(tvtInteger), Null(tvtSignedInt16), true},
      {"null and zero", {tftInteger, 0}, Null(tvtInteger), Int(0), false},
      {"text in a number column", {tftInteger, 0}, Str("7"), Int(7), true},
      {"memo whole",
       {tftMemo, 0},
       Str(std::string(5000, 'm') + "a"),
       Str(std::string(5000, 'm') + "b"),
       false},
  };
  for (const TCase& Case : Cases) {
    SCOPED_TRACE(Case.Name);
    const TTolvanRowColumn Columns[] = {Case.Column};
    TTolvanRecordComparison Set(Columns, 4);
    TTolvanVariant A, B;
    Case.First(A);
    Case.Second(B);
    EXPECT_TRUE(AddOne(Set, A));
    EXPECT_EQ(AddOne(Set, B), !Case.Same);
    EXPECT_FALSE(AddOne(Set, A));
  }
}

TEST(RecordComparison, ColumnsOutsideTheRowAreRefused) {
  const TTolvanRowColumn Columns[] = {{tftInteger, 0}, {tftInteger, 0}};
  TTolvanRecordComparison Set(Columns, 0);
  TTolvanVariant V(tvtInteger);
  V.SetAsInteger(1);
  for (int32_t Column : {-1, 2}) {
    const ETolvanException E = Raised([&] { Set.SetColumnHash(V, Column); });
    EXPECT_EQ(E.NativeError(), 11661);
    EXPECT_EQ(E.Message(), "Invalid item number - ItemNo = " + std::to_string(Column) +
                               ", ItemCount = 2 - Native error: 11661");
  }
  // A column the rows never set takes no part: the rows differ only where they were set.
  Set.SetColumnHash(V, 1);
  EXPECT_TRUE(Set.IsNewRow());
  Set.SetColumnHash(V, 1);
  EXPECT_FALSE(Set.IsNewRow());
  // A value the column's type cannot take raises and leaves the set as it was.
  TTolvanVariant Text(tvtString);
  Text.SetAsString("seven");
  EXPECT_NE(NativeCodeOf([&] { Set.SetColumnHash(Text, 0); }), 0);
  EXPECT_EQ(Set.Count(), 1);
}

} // namespace
