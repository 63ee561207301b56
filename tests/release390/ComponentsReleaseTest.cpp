// The database and dataset components under both releases: each case runs as 4.00 and as 3.90
// in one process, with the answer each release must give.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <unistd.h>

#include "classlib/DB.h"
#include "components/TolvanComponentStartup.h"
#include "components/TolvanDatabase.h"
#include "components/TolvanSession.h"
#include "components/TolvanTable.h"
#include "foundation/TolvanExcept.h"
#include "foundation/TolvanRelease.h"
#include "foundation/TolvanTypes.h"
#include "storage/TolvanDatabaseData.h"
#include "storage/local/TolvanLocalCursor.h"
#include "tests/components/ComponentTestSupport.h"
#include "tests/components/support/TestDataSet.h"
#include "tests/release390/support/ReleaseScope.h"

using namespace tolvan;
using namespace tolvan::test;

namespace {

// What a step ends in, as one comparable text.
std::string Outcome(const std::function<std::string()>& Step) {
  try {
    return Step();
  } catch (const EDatabaseError& E) {
    return std::string("EDatabaseError: ") + E.what();
  } catch (const ETolvanException& E) {
    return "code " + std::to_string(E.NativeError());
  } catch (const std::exception& E) {
    return std::string("other: ") + E.what();
  }
}

std::string Flag(bool Value) { return Value ? "1" : "0"; }

const std::string OpenDatabaseRefused =
    "EDatabaseError: Cannot perform this operation on an open database";
std::string NotIn(const char* Operation, const char* Release) {
  return std::string("EDatabaseError: Operation '") + Operation + "' is not available in release " +
         Release;
}

// A table on DatabaseName with one integer field, made in memory when missing.
TComponentPtr<TTolvanTable> MakeTable(std::string_view DatabaseName, std::string_view Name,
                                      TComponent* Owner = nullptr) {
  TComponentPtr<TTolvanTable> T(NewComponent<TTolvanTable>(Owner));
  T->SetDatabaseName(DatabaseName);
  T->SetTableName(Name);
  T->FieldDefs().Add("ID", ftInteger, 0, false);
  return T;
}

// A database component in the default session named Name, connected.
TComponentPtr<TTolvanDatabase> ConnectedDatabase(std::string_view Name) {
  auto D = Own(TTolvanDatabase::Create(nullptr));
  D->SetDatabaseName(Name);
  D->Open();
  return D;
}

// A file that exists for the life of the object.
struct TScratchFile {
  std::filesystem::path Path;
  explicit TScratchFile(const char* Name)
      : Path(std::filesystem::temp_directory_path() /
             (std::string(Name) + std::to_string(::getpid()))) {
    std::ofstream(Path) << "x";
  }
  ~TScratchFile() {
    std::error_code Ignored;
    std::filesystem::remove(Path, Ignored);
  }
};

struct TEdgeCase {
  const char* Name;
  std::function<std::string()> Run;
  std::string Expected400, Expected390;
};

TEST(ComponentsRelease, EdgeCasesUnderBothReleases) {
  const TScratchFile Real("tolvan_exists_");
  const std::string RealName = Real.Path.string();
  const std::u16string RealWide(RealName.begin(), RealName.end());
  const std::string MissingName = RealName + ".missing";
  const std::u16string MissingWide(MissingName.begin(), MissingName.end());

  const TEdgeCase Cases[] = {
      {"a new database",
       [] {
         auto D = Own(TTolvanDatabase::Create(nullptr));
         const AnsiString& Name = D->DatabaseName();
         const bool Unique = Name.rfind("TolvanTableDB_", 0) == 0 && Name.size() > 14;
         return (Unique ? std::string("unique") : std::string(Name)) +
                " local=" + Flag(D->LocalDatabase()) + " keep=" + Flag(D->KeepConnection()) +
                " connected=" + Flag(D->Connected()) +
                " default=" + Flag(D->Session() == DefaultSession()) + " session='" +
                D->SessionName() + "'";
       },
       "MEMORY local=1 keep=1 connected=0 default=1 session='Default'",
       "unique local=1 keep=1 connected=0 default=1 session='Default'"},
      {"file names clear each other",
       [] {
         auto D = Own(TTolvanDatabase::Create(nullptr));
         D->SetDatabaseFileName("a.dat");
         std::string Seen = D->DatabaseFileNameAnsi();
         D->SetDatabaseFileNameUnicode(u"w.dat");
         Seen += "|" + std::string(D->DatabaseFileNameAnsi()) + "|" +
                 std::string(D->DatabaseFileName()) + "|" +
                 Flag(D->DatabaseFileNameUnicode() == u"w.dat");
         D->SetDatabaseFileNameAnsi("b.dat");
         return Seen + "|" + std::string(D->DatabaseFileName()) + "|" +
                Flag(D->DatabaseFileNameUnicode().empty());
       },
       NotIn("SetDatabaseFileName", "4.00"), "a.dat|||1|b.dat|1"},
      {"a file-name change disconnects the database and its datasets",
       [] {
         TFakeClient Client; // outlives the database, which disconnects it
         auto D = ConnectedDatabase("MEMORY");
         if (!Client.Use(*DefaultSession(), "MEMORY") || Client.Database != D.get())
           return std::string("the client found another database");
         D->SetDatabaseFileNameUnicode(u"other.dat");
         return "connected=" + Flag(D->Connected()) +
                " disconnects=" + std::to_string(Client.Disconnects);
       },
       NotIn("SetDatabaseFileNameUnicode", "4.00"), "connected=0 disconnects=1"},
      {"renaming a connected database",
       [] {
         auto D = ConnectedDatabase("MEMORY");
         D->SetDatabaseName("Other");
         return "renamed connected=" + Flag(D->Connected());
       },
       "renamed connected=0", OpenDatabaseRefused},
      {"LocalDatabase off on a disconnected database",
       [] {
         auto D = Own(TTolvanDatabase::Create(nullptr));
         D->SetDatabaseName("MEMORY");
         D->SetLocalDatabase(false);
         auto T = MakeTable("MEMORY", "LocalOff");
         T->Open();
         return std::string("opened");
       },
       NotIn("SetLocalDatabase", "4.00"), "code 11245"},
      {"LocalDatabase off after connecting",
       [] {
         auto D = ConnectedDatabase("MEMORY");
         D->SetLocalDatabase(false);
         auto T = MakeTable("MEMORY", "LocalOffLate");
         T->Open();
         return std::string("opened");
       },
       NotIn("SetLocalDatabase", "4.00"), "code 10916"},
      {"DatabaseExists",
       [&] {
         auto Connected = ConnectedDatabase("MEMORY");
         std::string Seen = "connected=" + Flag(Connected->DatabaseExists());
         auto D = Own(TTolvanDatabase::Create(nullptr));
         D->SetDatabaseFileName(RealName);
         Seen += " real=" + Flag(D->DatabaseExists());
         D->SetDatabaseFileName(MissingName);
         Seen += " missing=" + Flag(D->DatabaseExists());
         D->SetDatabaseFileNameUnicode(RealWide);
         Seen += " realWide=" + Flag(D->DatabaseExists());
         D->SetDatabaseFileNameUnicode(MissingWide);
         Seen += " missingWide=" + Flag(D->DatabaseExists());
         D->SetDatabaseFileNameUnicode(RealWide);
         D->SetLocalDatabase(false);
         Seen += " notLocal=" + Flag(D->DatabaseExists());
         return Seen + " connectedAfter=" + Flag(D->Connected());
       },
       NotIn("DatabaseExists", "4.00"),
       "connected=1 real=1 missing=0 realWide=1 missingWide=0 notLocal=0 connectedAfter=0"},
      {"a freed session",
       [] {
         auto S = Own(TTolvanSession::Create(nullptr));
         S->SetSessionName("Leaving");
         auto D = Own(TTolvanDatabase::Create(nullptr));
         D->SetSessionName("Leaving");
         D->SetDatabaseName("MEMORY");
         D->Open();
         S.reset();
         return "connected=" + Flag(D->Connected()) +
                " default=" + Flag(D->Session() == DefaultSession()) +
                " listed=" + Flag(DefaultSession()->FindDatabaseByName("MEMORY") == D.get()) +
                " session='" + std::string(D->SessionName()) + "'";
       },
       "connected=0 default=0 listed=0 session=''", "connected=0 default=1 listed=1 session=''"},
      {"a freed session whose database clashes in the default session",
       [] {
         auto S = Own(TTolvanSession::Create(nullptr));
         S->SetSessionName("Leaving");
         auto D = Own(TTolvanDatabase::Create(nullptr));
         D->SetSessionName("Leaving");
         D->LinkSession(false);
         D->SetDatabaseName("Clash");
         auto Holder = Own(TTolvanDatabase::Create(nullptr));
         Holder->SetDatabaseName("Clash");
         S.reset();
         const std::string After = "session=" + Flag(D->Session() != nullptr) + " listed=" +
                                   Flag(DefaultSession()->FindDatabaseByName("Clash") == D.get()) +
                                   " open: ";
         return After + Outcome([&] {
                  D->Open();
                  return std::string("opened");
                });
       },
       "session=0 listed=0 open: " + OpenDatabaseRefused,
       "session=0 listed=0 open: " + OpenDatabaseRefused},
      {"the in-memory flag by database name",
       [] {
         std::string Seen;
         for (const char* Name : {"MEMORY", "memory", "TEMP", "X"}) {
           auto T = MakeTable(Name, "Any");
           Seen += std::string(Name) + "=" + Flag(T->InMemory()) + " ";
         }
         return Seen;
       },
       "MEMORY=1 memory=1 TEMP=0 X=0 ", "MEMORY=1 memory=1 TEMP=0 X=0 "},
      {"operations of the other release",
       [] {
         auto D = Own(TTolvanDatabase::Create(nullptr));
         D->SetDatabaseName("OtherOperations");
         std::string Seen;
         const std::function<void()> Steps[] = {
             [&] { D->SetInMemory(true); },
             [&] { D->CreateDatabase(); },
             [&] { D->DropDatabase(); },
             [&] { D->SetDatabaseFileNameAnsi("f"); },
             [&] { D->SetDatabaseFileNameUnicode(u"f"); },
             [&] { D->SetDatabaseFileName("f"); },
             [&] { D->SetLocalDatabase(true); },
             [&] { (void)D->DatabaseExists(); },
         };
         for (const auto& Step : Steps)
           try {
             Step();
             Seen += "-";
           } catch (const EDatabaseError& E) {
             const std::string Text = E.what();
             Seen += Text.find("is not available in release") != std::string::npos ? "R" : "x";
           } catch (...) {
             Seen += "x";
           }
         return Seen;
       },
       "---RRRRR", "RRR-----"},
      {"the temporary database after a dataset on MEMORY closes",
       [] {
         std::string Seen;
         for (bool Keep : {true, false}) {
           // Deactivating frees the temporary databases a session kept.
           DefaultSession()->SetActive(false);
           DefaultSession()->SetKeepConnections(Keep);
           auto T = MakeTable("MEMORY", "Kept");
           T->Open();
           T->Close();
           TTolvanDatabase* Left = DefaultSession()->FindDatabaseByName("MEMORY");
           Seen += std::string(Keep ? "keep: " : " no keep: ") +
                   (Left ? "connected=" + Flag(Left->Connected()) : std::string("gone"));
         }
         DefaultSession()->SetActive(false);
         DefaultSession()->SetKeepConnections(true);
         return Seen;
       },
       "keep: gone no keep: gone", "keep: connected=1 no keep: gone"},
      {"a dataset on \"memory\" in a fresh session",
       [] {
         auto S = Own(TTolvanSession::Create(nullptr));
         S->SetSessionName("Fresh");
         auto T = MakeTable("memory", "Lower");
         T->SetSessionName("Fresh");
         return "inMemory=" + Flag(T->InMemory()) + " open: " + Outcome([&] {
                  T->Open();
                  return std::string("opened");
                });
       },
       "inMemory=1 open: opened", "inMemory=1 open: code 11245"},
      {"the engine version", [] { return std::string(GetEngineVersion()); }, "4.00 ", "3.90 "},
  };

  for (TTolvanReleaseId Id : BothReleases) {
    TReleaseScope Scope(Id);
    const bool Is390 = Id == TTolvanReleaseId::tr390;
    for (const TEdgeCase& C : Cases)
      EXPECT_EQ(Outcome(C.Run), Is390 ? C.Expected390 : C.Expected400)
          << C.Name << " under " << Release().Name;
  }
}

// Draws of the process's generator between two seeds (the linear congruential step of Random).
int DrawsBetween(uint32_t From, uint32_t To) {
  for (int N = 0; N < 1000; ++N, From = From * 134775813u + 1u)
    if (From == To)
      return N;
  return -1;
}

TEST(ComponentsRelease, TemporaryMemoryDatabaseDrawsOncePerSessionUnder390) {
  for (TTolvanReleaseId Id : BothReleases) {
    TReleaseScope Scope(Id);
    auto S = Own(TTolvanSession::Create(nullptr));
    S->SetSessionName("Drawing");
    auto T = MakeTable("MEMORY", "Drawn");
    T->SetSessionName("Drawing");
    const uint32_t Before = RandSeed();
    for (int Round = 0; Round < 3; ++Round) {
      T->Open();
      T->Close();
    }
    EXPECT_EQ(DrawsBetween(Before, RandSeed()), Id == TTolvanReleaseId::tr390 ? 1 : 3)
        << Release().Name;
  }
}

// A local cursor whose reads fail on demand.
class TFaultyCursor : public TTolvanLocalCursor {
public:
  bool Fail = false;
  int64_t GetRecordCount() override {
    Trip();
    return TTolvanLocalCursor::GetRecordCount();
  }
  TTolvanGetRecordResult GetRecord(TTolvanGetRecordMode Mode) override {
    Trip();
    return TTolvanLocalCursor::GetRecord(Mode);
  }
  int64_t GetRecNo() override {
    Trip();
    return TTolvanLocalCursor::GetRecNo();
  }

private:
  void Trip() {
    if (Fail)
      throw ETolvanException::Create(12345, "injected cursor fault");
  }
};

class TFaultyDataSet : public TTestDataSet {
public:
  TFaultyCursor* Faulty = nullptr;
  using TTestDataSet::CurrentRecNo;
  using TTestDataSet::FetchRecord;
  using TTestDataSet::ReadCurrentRecord;

protected:
  TTolvanCursor* CreateCursor() override {
    auto Made = std::make_unique<TFaultyCursor>();
    Made->SetSession(Database()->EngineSession());
    Made->SetTableName(TableName);
    Made->SetInMemory(false);
    Made->OpenTable(nullptr, nullptr, nullptr);
    Faulty = Made.get();
    return Made.release();
  }
};

TEST(ComponentsRelease, FetchRoutinesAndEngineErrors) {
  for (TTolvanReleaseId Id : BothReleases) {
    TReleaseScope Scope(Id);
    const bool Raises = Id == TTolvanReleaseId::tr390;
    {
      auto Maker = MakeTable("MEMORY", "Faults");
      Maker->Open();
      for (int I = 1; I <= 3; ++I) {
        Maker->Append();
        Maker->FieldByName("ID").SetAsInteger(I);
        Maker->Post();
      }
    }
    // Outlives the dataset, whose cursor keeps pointing at it.
    std::vector<uint8_t> Buffer(4096);
    TComponentPtr<TFaultyDataSet> T(NewComponent<TFaultyDataSet>(nullptr));
    T->TableName = "Faults";
    T->Open();
    ASSERT_NE(T->Faulty, nullptr);
    ASSERT_LT(T->Faulty->RecordSize(), 4000);
    T->Faulty->Fail = true;
    struct TRow {
      const char* Name;
      std::function<std::string()> Run;
      std::string Neutral;
    };
    const TRow Rows[] = {
        {"FetchRecord",
         [&] { return std::to_string(int(T->FetchRecord(Buffer.data(), gmNext, false))); },
         std::to_string(int(grError))},
        {"ReadCurrentRecord", [&] { return Flag(T->ReadCurrentRecord(Buffer.data())); }, "0"},
        {"RecordCount", [&] { return std::to_string(T->RecordCount()); }, "0"},
        {"CurrentRecNo", [&] { return std::to_string(T->CurrentRecNo()); }, "-1"},
    };
    for (const TRow& R : Rows)
      EXPECT_EQ(Outcome(R.Run), Raises ? "code 12345" : R.Neutral)
          << R.Name << " under " << Release().Name;
    T->Faulty->Fail = false;
    EXPECT_EQ(T->RecordCount(), 3);
  }
}

TEST(ComponentsRelease, DesignStateReachesCursorsAndDeletesClosedMemoryTablesUnder390) {
  for (TTolvanReleaseId Id : BothReleases) {
    TReleaseScope Scope(Id);
    ResetDesignStateFlagForTests();
    {
      auto Plain = MakeTable("MEMORY", "NotDesigned");
      Plain->Open();
      EXPECT_FALSE(Plain->Cursor()->DesignState());
    }
    EXPECT_FALSE(DesignStateFlag());
    auto Form = MakeComponent<TComponent>();
    Form->SetDesigning(true);
    TTolvanDatabase::Create(Form.get());
    EXPECT_TRUE(DesignStateFlag()) << "a database on a designed form";
    ResetDesignStateFlagForTests();
    NewComponent<TTolvanTable>(Form.get());
    EXPECT_TRUE(DesignStateFlag()) << "a dataset on a designed form";

    auto T = MakeTable("MEMORY", "Designed");
    T->Open();
    EXPECT_TRUE(T->Cursor()->DesignState());
    T->Close();
    const bool Kept =
        FindDatabaseData(true, false, "MEMORY", u"")->FindTableData("Designed") != nullptr;
    EXPECT_EQ(Kept, Id == TTolvanReleaseId::tr400) << Release().Name;
    ResetDesignStateFlagForTests();
  }
}

} // namespace
