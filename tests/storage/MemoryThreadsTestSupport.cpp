#include "tests/storage/MemoryThreadsTestSupport.h"

#include "storage/memory/TolvanMemoryEngine.h"

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <random>
#include <thread>
#include <vector>

#include "foundation/TolvanExcept.h"
#include "schema/TolvanRecordBuffer.h"
#include "tests/storage/MemoryEngineTestSupport.h"

namespace tolvan::test {

// K (unique), Who, V: eight writers of their own sessions insert, update and delete rows of
// distinct keys while two readers count and walk the key index. Meant for the ThreadSanitizer
// build as well.
void RunMemoryTableThreads() {
  TMemoryTableFixture F;
  {
    TTolvanFieldDefs Fields;
    AddField(Fields, "K", tftInteger);
    AddField(Fields, "Who", tftInteger);
    AddField(Fields, "V", tftVarchar, 10);
    TTolvanIndexDefs Indexes;
    AddIndexDef(Indexes, "ByK", {"K"}, true);
    AddIndexDef(Indexes, "ByWho", {"Who", "V"});
    TTolvanConstraintDefs Constraints;
    auto& Unique = Constraints.AddUnique();
    Unique.SetName("ByK");
    Unique.Index().SetName("ByK");
    Unique.Columns().emplace_back("K", 0);
    F.Create(Fields, Indexes, Constraints);
  }
  constexpr int32_t Writers = 8;
  constexpr int32_t Rounds = 120;
  std::vector<std::map<int32_t, int32_t>> Live(Writers); // slot -> K, per writer
  std::atomic<int32_t> Failures{0};
  std::atomic<bool> Done{false};
  const int32_t KeyIndex = F.Table->IndexManager()->IndexDefs().Items(0).ObjectID();

  auto Writer = [&](int32_t Who) {
    TTestSession Session(-1);
    F.Db.AttachSession(Session);
    auto C = F.NewCursor(&Session);
    F.Table->AttachCursor(*C);
    std::mt19937 Random{uint32_t(Who)};
    auto& Mine = Live[size_t(Who)];
    try {
      for (int32_t I = 0; I < Rounds; ++I) {
        const int32_t K = Who * 100000 + I;
        const char* V = I % 2 ? "odd" : "even";
        F.ClearRecord(*C);
        SetFieldData(0, F.Fields(), &K, C->Record());
        SetFieldData(1, F.Fields(), &Who, C->Record());
        SetFieldData(2, F.Fields(), V, C->Record());
        {
          TTolvanTableLock Lock(*F.Table);
          F.Table->CheckConstraints(*C, Session.SessionID(), C->Record(), nullptr, true,
                                    C->Position(), false);
          if (!F.Table->InsertRecord(*C))
            ++Failures;
          Mine[C->Position().PageNo] = K;
        }
        if (I % 3 == 2) {
          auto It = Mine.begin();
          std::advance(It, Random() % Mine.size());
          C->SetPosition({It->first, 0});
          SetFieldData(0, F.Fields(), &It->second, C->Record());
          SetFieldData(2, F.Fields(), "changed", C->Record());
          if (!F.Table->UpdateRecord(*C))
            ++Failures;
        }
        if (I % 4 == 3) {
          auto It = Mine.begin();
          std::advance(It, Random() % Mine.size());
          C->SetPosition({It->first, 0});
          if (!F.Table->DeleteRecord(*C))
            ++Failures;
          Mine.erase(It);
        }
      }
    } catch (...) {
      ++Failures;
    }
    F.Table->DetachCursor(*C);
    F.Db.DetachSession(Session);
  };
  auto Reader = [&](int32_t Who) {
    TTestSession Session(-1);
    F.Db.AttachSession(Session);
    std::vector<uint8_t> Buffer(size_t(F.Table->RecordSize()));
    while (!Done.load()) {
      const int64_t Unlocked = F.Table->GetTotalRecordCount();
      if (Unlocked < 0)
        ++Failures;
      TTolvanTableLock Lock(*F.Table);
      int64_t Walked = 0;
      TTolvanNavState State;
      State.SessionID = Session.SessionID();
      State.Mode = rmNext;
      State.IndexID = KeyIndex;
      State.AtBegin = 1;
      State.Buffer = Buffer.data();
      for (;;) {
        F.Table->IndexManager()->GetRecordViaIndex(State.SessionID, State);
        if (State.Result != rrOK)
          break;
        State.AtBegin = 0;
        ++Walked;
      }
      if (Walked != F.Table->GetTotalRecordCount())
        ++Failures;
      (void)Who;
    }
    {
      TTolvanTableLock Lock(*F.Table);
      F.Table->IndexManager()->ForgetSession(Session.SessionID());
    }
    F.Db.DetachSession(Session);
  };

  std::vector<std::thread> Threads;
  for (int32_t Who = 0; Who < 2; ++Who)
    Threads.emplace_back(Reader, Who);
  std::vector<std::thread> WriterThreads;
  for (int32_t Who = 0; Who < Writers; ++Who)
    WriterThreads.emplace_back(Writer, Who);
  for (auto& T : WriterThreads)
    T.join();
  Done = true;
  for (auto& T : Threads)
    T.join();

  EXPECT_EQ(Failures.load(), 0);
  size_t Expected = 0;
  for (const auto& Mine : Live)
    Expected += Mine.size();
  const auto Rows = F.StoreRows();
  ASSERT_EQ(Rows.size(), Expected);
  for (int32_t Who = 0; Who < Writers; ++Who)
    for (const auto& [Slot, K] : Live[size_t(Who)]) {
      ASSERT_TRUE(Rows.count(Slot));
      int32_t Stored = 0;
      GetFieldData(0, F.Fields(), &Stored, Rows.at(Slot).data());
      EXPECT_EQ(Stored, K);
    }
  EXPECT_EQ(F.TableFaults(), "");
}

} // namespace tolvan::test
