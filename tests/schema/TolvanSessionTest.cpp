#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "foundation/TolvanExcept.h"
#include "schema/TolvanSession.h"

using namespace tolvan;

namespace {

class TTestSession : public TTolvanBaseSession {
public:
  ~TTestSession() override {
    try {
      SetConnected(false);
    } catch (...) {
    }
  }
  bool IsConnected() override { return FConnected; }
  void SetConnected(bool Value) override { FConnected = Value; }
  bool DatabaseExists() override { return true; }
  void GetTableNames(TStringList& List) override { List.Add("t"); }
  bool TableExists(std::string_view Name) override { return Name == "t"; }
  void LoadDatabaseFromStream(TStream&) override {}
  void SaveDatabaseToStream(TStream&) override {}
  bool InTransaction() override { return false; }
  void StartTransaction() override {}
  void Commit() override {}
  void Rollback() override {}

private:
  bool FConnected = false;
};

} // namespace

TEST(Session, CreatedDisconnected) {
  TTestSession S;
  EXPECT_FALSE(S.IsConnected());
  EXPECT_EQ(S.SessionID(), -1);
  EXPECT_EQ(S.DatabaseName(), "");
  EXPECT_EQ(S.FileName(), "");
  EXPECT_EQ(S.WideFileName(), u"");
  EXPECT_FALSE(S.IsTemp());
  EXPECT_FALSE(S.InMemory());
  EXPECT_EQ(S.NamedObjectCount(), 0);
  try {
    S.CreateDatabase();
    ADD_FAILURE() << "no exception";
  } catch (const ETolvanException& E) {
    EXPECT_EQ(E.NativeError(), 10888);
    EXPECT_EQ(E.Message(), "Error - operation is not supported - Native error: 10888");
  }
}

TEST(Session, NamedValues) {
  TTestSession S;
  EXPECT_EQ(FindSessionNamedObject(S, "Name"), nullptr);
  SetSessionSequenceValue(S, "Name", 7);
  auto* V = FindSessionNamedObject(S, "Name");
  ASSERT_NE(V, nullptr);
  EXPECT_EQ(V->Name(), "Name");
  EXPECT_EQ(V->Value(), 7);
  EXPECT_EQ(FindSessionNamedObject(S, "NAME"), nullptr); // names match exactly

  SetSessionSequenceValue(S, "Name", -9);
  EXPECT_EQ(S.NamedObjectCount(), 1);
  EXPECT_EQ(FindSessionNamedObject(S, "Name"), V); // the same object, the second value
  EXPECT_EQ(V->Value(), -9);

  // Long names are kept whole: a shortened name would never be found again.
  const std::string Long(300, 'q');
  SetSessionSequenceValue(S, Long, INT64_MAX);
  ASSERT_NE(FindSessionNamedObject(S, Long), nullptr);
  EXPECT_EQ(FindSessionNamedObject(S, Long)->Value(), INT64_MAX);
  EXPECT_EQ(FindSessionNamedObject(S, Long.substr(0, 255)), nullptr);
  EXPECT_EQ(S.NamedObjectCount(), 2);

  TTolvanSessionNamedObjectSequenceValue Fresh("x");
  EXPECT_EQ(Fresh.Value(), 0);
}

// Cursors of one session on several threads set and read the session's values together.
TEST(Session, NamedValuesFromThreads) {
  TTestSession S;
  constexpr int Threads = 8, Rounds = 500;
  std::vector<std::thread> Workers;
  for (int T = 0; T < Threads; ++T)
    Workers.emplace_back([&S, T] {
      const std::string Own = "seq" + std::to_string(T);
      for (int R = 1; R <= Rounds; ++R) {
        SetSessionSequenceValue(S, Own, R);
        SetSessionSequenceValue(S, "shared", R);
        auto* Mine = FindSessionNamedObject(S, Own);
        ASSERT_NE(Mine, nullptr);
        EXPECT_EQ(Mine->Value(), R);
        auto* Shared = FindSessionNamedObject(S, "shared");
        ASSERT_NE(Shared, nullptr);
        const int64_t Seen = Shared->Value();
        EXPECT_TRUE(Seen >= 1 && Seen <= Rounds);
        FindSessionNamedObject(S, "seq" + std::to_string((T + 1) % Threads));
      }
    });
  for (auto& W : Workers)
    W.join();
  EXPECT_EQ(S.NamedObjectCount(), Threads + 1);
  for (int T = 0; T < Threads; ++T)
    EXPECT_EQ(FindSessionNamedObject(S, "seq" + std::to_string(T))->Value(), Rounds);
  EXPECT_EQ(FindSessionNamedObject(S, "shared")->Value(), Rounds);
}
