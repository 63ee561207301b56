#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "classlib/DateUtils.h"
#include "schema/expr/TolvanExprFunctions.h"
#include "tests/schema/expr/ExprTestSupport.h"

using namespace tolvan;
using namespace tolvan::test;

namespace {

// One source value of every value type.
std::vector<TNode> Sources() {
  std::vector<TNode> S;
  S.push_back(Str("A", tvtChar));
  S.push_back(WStr(u"7", tvtWideChar));
  S.push_back(Str("12"));
  S.push_back(WStr(u"x\u0436"));
  S.push_back(Int(-5, tvtSignedInt8));
  S.push_back(Int(300, tvtSignedInt16));
  S.push_back(Int(65, tvtInteger));
  S.push_back(Int(5000000000));
  S.push_back(Int(200, tvtUnsignedInt8));
  S.push_back(Int(65535, tvtUnsignedInt16));
  S.push_back(Int(4000000000, tvtUnsignedInt32));
  S.push_back(Dbl(1.5, tvtSingle));
  S.push_back(Dbl(2.75));
  S.push_back(Dbl(-0.5, tvtExtended));
  TTolvanVariant D;
  D.SetAsDate(EncodeDate(2020, 1, 2));
  S.push_back(ConstOf(D));
  TTolvanVariant T;
  T.SetAsTime(EncodeTime(10, 30, 0, 0));
  S.push_back(ConstOf(T));
  TTolvanVariant DT;
  DT.SetAsDateTime(EncodeDateTime(2020, 1, 2, 10, 30, 0, 0));
  S.push_back(ConstOf(DT));
  S.push_back(Blob("AB"));
  S.push_back(Blob("memo", tvtMemo));
  S.push_back(Blob(std::string_view("w\0m\0", 4), tvtWideMemo));
  S.push_back(Logical(true));
  TTolvanVariant C(tvtCurrency);
  C.SetAsCurrency(1.25);
  S.push_back(ConstOf(C));
  S.push_back(Blob("\x01", tvtBytes));
  S.push_back(Blob("\x02\x03", tvtVarBytes));
  return S;
}

// "SOURCE value -> TARGET: result", one line per source value and scalar target type.
std::vector<std::string> Matrix() {
  std::vector<std::string> Lines;
  for (TNode& Source : Sources()) {
    const std::string From = Show(Source->Value());
    for (int Target = tftChar; Target <= tftTimeStamp; ++Target) {
      TTolvanExprNodeCast Cast(Source->Clone(), TTolvanFieldType(Target));
      std::string Result;
      try {
        Result = Eval(Cast);
      } catch (const ETolvanException& E) {
        Result = "error " + std::to_string(E.NativeError());
      } catch (const Exception& E) {
        Result = "class library: " + E.Message();
      }
      Lines.push_back(From + " -> " + std::string(FieldTypeToSQLName(TTolvanFieldType(Target))) +
                      ": " + Result);
    }
  }
  return Lines;
}

// The matrix under the default format settings, against the reviewed copy in the fixtures.
// TOLVAN_WRITE_CAST_MATRIX=1 rewrites the fixture instead (review the difference before
// committing it).
TEST(ExprCast, MatrixOfEverySourceTypeAndScalarTarget) {
  const TFormatSettings Saved = FormatSettings();
  FormatSettings() = TFormatSettings();
  const std::vector<std::string> Lines = Matrix();
  FormatSettings() = Saved;
  const std::string Path = std::string(TOLVAN_TEST_FIXTURES) + "/cast_matrix.txt";
  if (const char* Write = std::getenv("TOLVAN_WRITE_CAST_MATRIX"); Write && *Write == '1') {
    std::ofstream Out(Path, std::ios::binary);
    for (const std::string& L : Lines)
      Out << L << '\n';
    GTEST_SKIP() << "fixture written";
  }
  std::ifstream In(Path, std::ios::binary);
  ASSERT_TRUE(In) << Path;
  std::vector<std::string> Expected;
  for (std::string L; std::getline(In, L);)
    Expected.push_back(L);
  ASSERT_EQ(Lines.size(), Expected.size());
  for (size_t I = 0; I < Lines.size(); ++I)
    EXPECT_EQ(Lines[I], Expected[I]);
}

} // namespace
