#include "classlib/StringList.h"

#include <gtest/gtest.h>

#include "classlib/DB.h"
#include "classlib/SysUtils.h"

namespace tolvan {
namespace {

TEST(StringList, EditsKeepOrder) {
  TStringList L;
  EXPECT_EQ(L.Add("b"), 0);
  EXPECT_EQ(L.Add("d"), 1);
  L.Insert(0, "a");
  L.Insert(2, "c");
  L.Insert(4, "e");
  ASSERT_EQ(L.Count(), 5);
  for (int32_t I = 0; I < 5; ++I)
    EXPECT_EQ(L.Strings(I), std::string(1, static_cast<char>('a' + I)));
  L.Delete(1);
  L.SetStrings(0, "z");
  EXPECT_EQ(L.Strings(0), "z");
  EXPECT_EQ(L.Strings(1), "c");
  L.Clear();
  EXPECT_EQ(L.Count(), 0);
}

TEST(StringList, BadIndexRaisesListError) {
  TStringList L;
  L.Add("x");
  for (int32_t Bad : {-1, 1, 5}) {
    try {
      (void)L.Strings(Bad);
      FAIL() << Bad;
    } catch (const EListError& E) {
      EXPECT_EQ(E.Message(), "List index out of bounds (" + std::to_string(Bad) + ")");
    }
    EXPECT_THROW(L.Delete(Bad), EListError);
    EXPECT_THROW(L.SetStrings(Bad, "y"), EListError);
  }
  EXPECT_THROW(L.Insert(-1, "y"), EListError);
  EXPECT_THROW(L.Insert(2, "y"), EListError);
  EXPECT_EQ(L.Count(), 1);
}

TEST(StringList, IndexOfIgnoresCaseUnlessAsked) {
  TStringList L;
  L.Add("NAME");
  L.Add("\xC9t\xE9");  // "Été" in Windows-1252
  L.Add("name");
  EXPECT_EQ(L.IndexOf("name"), 0);
  EXPECT_EQ(L.IndexOf("\xE9T\xC9"), 1);
  EXPECT_EQ(L.IndexOf("nam"), -1);
  L.SetCaseSensitive(true);
  EXPECT_EQ(L.IndexOf("name"), 2);
  EXPECT_EQ(L.IndexOf("\xE9T\xC9"), -1);
}

TEST(DatabaseError, IsAnException) {
  try {
    throw EDatabaseError("Parameter 'p' not found");
  } catch (const Exception& E) {
    EXPECT_STREQ(E.what(), "Parameter 'p' not found");
  }
}

} // namespace
} // namespace tolvan
