// MemoryModelTestSupport.h: a memory table with five B-tree indexes and two BLOB columns, the
// fixture that writes its records as a post does, and the model-based random test over it.
//
// MemoryRecords creates the table of Definitions in a TMemoryTableFixture. MemoryModel runs
// random inserts, updates and deletes through both sessions' cursors and checks after every
// step that store, indexes, pages and BLOB blocks agree with a std::map of the rows.
// MemoryStreams fills the table with forty records and saves and loads it whole.
//
// Threads: one test thread.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <iterator>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "foundation/TolvanExcept.h"
#include "schema/TolvanRecordBuffer.h"
#include "storage/TolvanBlobBlocks.h"
#include "storage/memory/TolvanMemoryEngine.h"
#include "tests/foundation/TestSupport.h"
#include "tests/storage/MemoryEngineTestSupport.h"

namespace tolvan::test {

// K (unique), A, S (text, NOCASE) and D (descending) with five indexes, one over two columns,
// and the BLOB columns B1 and B2.
inline void Definitions(TTolvanFieldDefs& Fields, TTolvanIndexDefs& Indexes,
                        TTolvanConstraintDefs& Constraints) {
  AddField(Fields, "K", tftInteger);
  AddField(Fields, "A", tftInteger);
  AddField(Fields, "S", tftVarchar, 12);
  AddField(Fields, "D", tftInteger);
  AddField(Fields, "B1", tftBLOB).SetBlobBlockSize(64);
  AddField(Fields, "B2", tftMemo).SetBlobBlockSize(512);
  AddIndexDef(Indexes, "ByK", {"K"}, true);
  AddIndexDef(Indexes, "ByA", {"A"});
  AddIndexDef(Indexes, "ByS", {"S"}).Columns(0).SetCaseInsensitive(1);
  AddIndexDef(Indexes, "ByAS", {"A", "S"});
  AddIndexDef(Indexes, "ByD", {"D"}).Columns(0).SetDescending(1);
  auto& Unique = Constraints.AddUnique();
  Unique.SetName("ByK");
  Unique.Index().SetName("ByK");
  Unique.Columns().emplace_back("K", 0);
}

inline constexpr int32_t BlobColumns[] = {4, 5};

struct TRow {
  TRow() = default;
  TRow(int32_t K, int32_t A, std::string S, int32_t D) : K(K), A(A), S(std::move(S)), D(D) {}

  int32_t K = 0;
  int32_t A = 0;
  std::string S;
  int32_t D = 0;
  std::string B[2]; // "" for NULL
};

class MemoryRecords : public ::testing::Test {
protected:
  explicit MemoryRecords(TTolvanIndexFactory Factory = {}) : F(std::move(Factory)) {}

  void SetUp() override {
    TTolvanFieldDefs Fields;
    TTolvanIndexDefs Indexes;
    TTolvanConstraintDefs Constraints;
    Definitions(Fields, Indexes, Constraints);
    F.Create(Fields, Indexes, Constraints);
  }

  void Fill(TTestCursor& C, const TRow& Row) {
    F.ClearRecord(C);
    SetFieldData(0, F.Fields(), &Row.K, C.Record());
    SetFieldData(1, F.Fields(), &Row.A, C.Record());
    SetFieldData(2, F.Fields(), Row.S.c_str(), C.Record());
    SetFieldData(3, F.Fields(), &Row.D, C.Record());
    for (int32_t I = 0; I < 2; ++I)
      if (!Row.B[I].empty())
        WriteBlob(C, BlobColumns[I], Row.B[I]);
  }
  // Writes a value into the cursor's record as an edit does: a new block, marked written.
  void WriteBlob(TTestCursor& C, int32_t FieldNo, const std::string& Bytes) {
    auto S =
        OpenBlobValue(F.Table->BlobBlocks(), nullptr, C.Record(), F.Fields(), FieldNo, tbmWrite);
    S->WriteBuffer(Bytes.data(), int64_t(Bytes.size()));
    WriteBlobValue(F.Table->BlobBlocks(), C.Record(), F.Fields(), FieldNo, *S);
  }
  std::string ReadBlob(const uint8_t* Buffer, int32_t FieldNo) {
    if (IsFieldNull(Buffer, FieldNo))
      return "";
    auto S = OpenBlobValue(F.Table->BlobBlocks(), nullptr, Buffer, F.Fields(), FieldNo, tbmRead);
    std::string Bytes(size_t(S->GetSize()), '\0');
    S->ReadBuffer(Bytes.data(), int64_t(Bytes.size()));
    return Bytes;
  }
  TRow Read(const uint8_t* Buffer) {
    TRow Row;
    GetFieldData(0, F.Fields(), &Row.K, Buffer);
    GetFieldData(1, F.Fields(), &Row.A, Buffer);
    char Text[13] = {};
    if (GetFieldData(2, F.Fields(), Text, Buffer))
      Row.S = Text;
    GetFieldData(3, F.Fields(), &Row.D, Buffer);
    for (int32_t I = 0; I < 2; ++I)
      Row.B[I] = ReadBlob(Buffer, BlobColumns[I]);
    return Row;
  }
  // What a post does: the constraint check, then the store, under the table lock.
  bool Post(TTestCursor& C, bool Insert) {
    TTolvanTableLock Lock(*F.Table);
    std::vector<uint8_t> Old;
    if (!Insert) {
      const auto Rows = F.StoreRows();
      const auto It = Rows.find(C.Position().PageNo);
      if (It != Rows.end())
        Old = It->second;
    }
    F.Table->CheckConstraints(C, C.Session()->SessionID(), C.Record(),
                              Old.empty() ? nullptr : Old.data(), Insert, C.Position(), false);
    return Insert ? F.Table->InsertRecord(C) : F.Table->UpdateRecord(C);
  }

  TMemoryTableFixture F;
};

namespace model {

inline constexpr const char* Texts[] = {"", "abc", "ABC", "Abd", "zeta", "Zeta", "m"};

} // namespace model

class MemoryModel : public MemoryRecords {
protected:
  explicit MemoryModel(TTolvanIndexFactory Factory = {}) : MemoryRecords(std::move(Factory)) {}

  TRow RandomRow() {
    TRow Row{int32_t(Random() % 400), int32_t(Random() % 6),
             model::Texts[Random() % std::size(model::Texts)], int32_t(Random() % 100) - 50};
    for (auto& B : Row.B)
      if (Random() % 3)
        B = std::string(1 + Random() % 300, char('a' + Random() % 26));
    return Row;
  }
  int32_t RandomLive() {
    auto It = Model.begin();
    std::advance(It, Random() % Model.size());
    return It->first;
  }
  bool KeyTaken(int32_t K, int32_t Except) const {
    for (const auto& [Slot, Row] : Model)
      if (Row.K == K && Slot != Except)
        return true;
    return false;
  }
  void ExpectAgreement(int32_t Step) {
    const auto Rows = F.StoreRows();
    int64_t Blocks = 0;
    ASSERT_EQ(Rows.size(), Model.size()) << "step " << Step;
    for (const auto& [Slot, Bytes] : Rows) {
      ASSERT_TRUE(Model.count(Slot)) << "step " << Step << " slot " << Slot;
      const TRow Got = Read(Bytes.data());
      const TRow& Want = Model.at(Slot);
      ASSERT_TRUE(Got.K == Want.K && Got.A == Want.A && Got.S == Want.S && Got.D == Want.D &&
                  Got.B[0] == Want.B[0] && Got.B[1] == Want.B[1])
          << "step " << Step << " slot " << Slot;
      for (int32_t Column : BlobColumns)
        if (!IsFieldNull(Bytes.data(), Column))
          ++Blocks;
    }
    // The block table holds exactly the stored records' blocks.
    ASSERT_EQ(F.Table->BlobBlocks().LiveCount(), Blocks) << "step " << Step;
    ASSERT_EQ(F.TableFaults(), "") << "step " << Step;
  }

  // Steps of insert, update and delete through both sessions' cursors; when ArmFault is given it
  // may arm an injected failure before a step, and answers whether it did.
  void Run(int32_t Steps, const std::function<bool()>& ArmFault = {}) {
    for (int32_t Step = 0; Step < Steps; ++Step) {
      TTestCursor& C = Step % 2 ? *F.Cursor2 : *F.Cursor;
      const bool Armed = ArmFault && ArmFault();
      const uint32_t Kind = Random() % 100;
      const TRow Row = RandomRow();
      bool Raised = false;
      try {
        if (Model.empty() || Kind < 45) {
          Fill(C, Row);
          if (Post(C, true)) {
            ASSERT_FALSE(Armed || KeyTaken(Row.K, -1)) << "step " << Step;
            Model[C.Position().PageNo] = Row;
          }
        } else if (Kind < 80) {
          const int32_t Slot = Random() % 10 == 0 ? 1000 : RandomLive();
          TRow New = Row;
          Fill(C, Row);
          // A value the edit did not write stays the stored record's, whatever reference the
          // cursor's buffer holds (here one copied from any stored record, as a stale buffer
          // might).
          if (Slot != 1000)
            for (int32_t I = 0; I < 2; ++I)
              if (New.B[I].empty() && Random() % 2) {
                const auto Rows = F.StoreRows();
                const auto& From = Rows.at(RandomLive());
                const TTolvanFieldDef& Def = F.Fields().Items(BlobColumns[I]);
                if (IsFieldNull(From.data(), BlobColumns[I]))
                  continue;
                std::memcpy(C.Record() + Def.BufferOffset(), From.data() + Def.BufferOffset(),
                            BlobReferenceSize);
                SetFieldNull(C.Record(), BlobColumns[I], false);
                SetBlobWritten(false, C.Record(), Def);
                New.B[I] = Model.count(Slot) ? Model.at(Slot).B[I] : "";
              }
          C.SetPosition({Slot, 0});
          if (Post(C, false)) {
            ASSERT_FALSE(Armed || KeyTaken(Row.K, Slot)) << "step " << Step;
            Model[Slot] = New;
          } else {
            ASSERT_EQ(Slot, 1000) << "step " << Step;
          }
        } else {
          const int32_t Slot = RandomLive();
          C.SetPosition({Slot, 0});
          if (F.Table->DeleteRecord(C))
            Model.erase(Slot);
          else
            ADD_FAILURE() << "step " << Step << ": delete refused";
        }
      } catch (const ETolvanException&) {
        Raised = true;
      }
      if (Raised)
        ++Refused;
      // What the edit wrote and no record took is the edit's to free.
      F.Table->CancelRecord(C);
      ExpectAgreement(Step);
      if (HasFatalFailure())
        return;
    }
  }

  std::mt19937 Random{25};
  std::map<int32_t, TRow> Model;
  int32_t Refused = 0;
};

// Forty records of the table saved and loaded through the table stream; no cursor is attached
// between SetUp and TearDown.
class MemoryStreams : public MemoryRecords {
protected:
  using TBytes = std::vector<uint8_t>;

  // Forty records with BLOB values (some NULL), every fifth deleted; then no cursor attached.
  void SetUp() override {
    MemoryRecords::SetUp();
    TTestCursor& C = *F.Cursor;
    for (int32_t I = 0; I < 40; ++I) {
      TRow Row(I, I % 7, "s" + std::to_string(I % 5), 100 - I);
      if (I % 3)
        Row.B[0] = std::string(size_t(I * 5 + 1), char('a' + I % 26));
      if (I % 4)
        Row.B[1] = "memo " + std::to_string(I);
      Fill(C, Row);
      ASSERT_TRUE(Post(C, true));
      F.Table->SetBlobMarks(false, C);
    }
    for (int32_t I = 0; I < 40; I += 5) {
      C.SetPosition({I, 0});
      ASSERT_TRUE(F.Table->DeleteRecord(C));
    }
    F.Table->DetachCursor(*F.Cursor);
    F.Table->DetachCursor(*F.Cursor2);
  }
  void TearDown() override {
    F.Table->AttachCursor(*F.Cursor);
    F.Table->AttachCursor(*F.Cursor2);
    MemoryRecords::TearDown();
  }

  TBytes Save(TTolvanCompressionAlgorithm Algorithm) {
    TVectorStream S;
    F.Table->SaveToStream(S, Algorithm, 6, 0, false);
    return S.Data;
  }
  void Load(const TBytes& Bytes) {
    TVectorStream S(Bytes);
    F.Table->LoadFromStream(nullptr, S);
  }
  // Each index's walk as (slot, K, S, B1, B2) in index order.
  std::vector<std::string> Walks() {
    std::vector<std::string> Result;
    TTolvanBaseIndexManager& Indexes = *F.Table->IndexManager();
    std::vector<uint8_t> Buffer(size_t(F.Table->RecordSize()));
    for (int32_t I = 0; I < Indexes.IndexDefs().Count(); ++I) {
      std::string Walk = Indexes.IndexDefs().Items(I).Name() + ":";
      TTolvanNavState State;
      State.SessionID = F.Session.SessionID();
      State.Mode = rmNext;
      State.IndexID = Indexes.IndexDefs().Items(I).ObjectID();
      State.AtBegin = 1;
      State.Buffer = Buffer.data();
      for (;;) {
        Indexes.GetRecordViaIndex(State.SessionID, State);
        if (State.Result != rrOK)
          break;
        State.AtBegin = 0;
        const TRow Row = Read(Buffer.data());
        Walk += " " + std::to_string(State.RecordID.PageNo) + "/" + std::to_string(Row.K) + "/" +
                Row.S + "/" + Row.B[0] + "/" + Row.B[1];
      }
      Result.push_back(Walk);
    }
    return Result;
  }
};

} // namespace tolvan::test
