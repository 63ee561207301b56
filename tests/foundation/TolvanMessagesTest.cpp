// Checks the engine's message catalogue against an independent copy of the
// texts kept in fixtures/messages.txt (one text per line, with \" \\ \r \n \t
// written as two-character escapes).

#include "foundation/TolvanMessages.h"

#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr int ExpectedMessageCount = 325;

std::string Unescape(std::string_view Line) {
  std::string Result;
  Result.reserve(Line.size());
  for (std::size_t i = 0; i < Line.size(); ++i) {
    char C = Line[i];
    if (C == '\\' && i + 1 < Line.size()) {
      char Next = Line[i + 1];
      switch (Next) {
        case '"': Result += '"'; ++i; continue;
        case '\\': Result += '\\'; ++i; continue;
        case 'r': Result += '\r'; ++i; continue;
        case 'n': Result += '\n'; ++i; continue;
        case 't': Result += '\t'; ++i; continue;
        default: break;
      }
    }
    Result += C;
  }
  return Result;
}

// Makes control characters visible in failure output.
std::string Visible(std::string_view Text) {
  std::string Result;
  for (char C : Text) {
    switch (C) {
      case '\r': Result += "\\r"; break;
      case '\n': Result += "\\n"; break;
      case '\t': Result += "\\t"; break;
      default: Result += C; break;
    }
  }
  return Result;
}

std::vector<std::string> LoadFixtureTexts() {
  const std::string Path = std::string(TOLVAN_TEST_FIXTURES) + "/messages.txt";
  std::ifstream In(Path, std::ios::binary);
  EXPECT_TRUE(In.is_open()) << "cannot open " << Path;
  std::vector<std::string> Texts;
  std::string Line;
  while (std::getline(In, Line)) {
    // Tolerate a checkout with CRLF line endings; real CR/LF inside a text
    // is always written as an escape.
    if (!Line.empty() && Line.back() == '\r') Line.pop_back();
    Texts.push_back(Unescape(Line));
  }
  return Texts;
}

}  // namespace

TEST(TolvanMessages, CatalogueHasExpectedCount) {
  EXPECT_EQ(tolvan::MessageCatalogueCount, ExpectedMessageCount);
}

TEST(TolvanMessages, CatalogueMatchesFixture) {
  const std::vector<std::string> Texts = LoadFixtureTexts();
  ASSERT_EQ(static_cast<int>(Texts.size()), ExpectedMessageCount);
  ASSERT_EQ(tolvan::MessageCatalogueCount, ExpectedMessageCount);
  for (int i = 0; i < ExpectedMessageCount; ++i) {
    const tolvan::TMessageEntry& Entry = tolvan::MessageCatalogue[i];
    EXPECT_EQ(Entry.Text, std::string_view(Texts[i]))
        << "entry " << i << " (" << Entry.Name << ")\n"
        << "  catalogue: \"" << Visible(Entry.Text) << "\"\n"
        << "  expected:  \"" << Visible(Texts[i]) << "\"";
  }
}

TEST(TolvanMessages, NamesAreUnique) {
  std::set<std::string_view> Seen;
  for (int i = 0; i < tolvan::MessageCatalogueCount; ++i) {
    const char* Name = tolvan::MessageCatalogue[i].Name;
    ASSERT_NE(Name, nullptr) << "entry " << i;
    EXPECT_FALSE(std::string_view(Name).empty()) << "entry " << i;
    EXPECT_TRUE(Seen.insert(Name).second)
        << "duplicate name " << Name << " at entry " << i;
  }
  EXPECT_EQ(static_cast<int>(Seen.size()), tolvan::MessageCatalogueCount);
}

TEST(TolvanMessages, NamedConstants) {
  EXPECT_EQ(tolvan::SInvalidPointer, "Invalid pointer");
  EXPECT_EQ(tolvan::SCannotAllocateZeroBytes, "Cannot alocate 0 bytes");
  EXPECT_EQ(tolvan::SErrorUpdatingRecord, "Error updating record: ");
  EXPECT_EQ(tolvan::SCannotConvertBlobValue,
            "Error - cannot convert BLOB value \"%s\", format = %d");
  EXPECT_EQ(tolvan::SErrorParsingSubquery,
            "Error parsing sub-query - invalid SQL statement: \r\n%s");
  EXPECT_EQ(tolvan::SFieldNotFound, tolvan::SFieldNotFound2);
}
