// The table streams' loaders on arbitrary bytes, each input given to both:
//   - the memory table stream (plain or compressed, as the header says), for a small table of
//     integer, text and two BLOB columns: a loaded one must agree with itself (the record count
//     the header promised, every BLOB reference live and owned by its record, no other block)
//     and its record block must save and load back to the same bytes;
//   - the temporary table stream, loaded into a temporary table of the same columns with two
//     indexes: a loaded table's indexes must hold each record once in key order, every record
//     must read (a BLOB value the store does not hold may be refused with the engine's error),
//     and it must save, load and save again to the same bytes.
// A refused stream must raise the engine's error and leave the table as it was.
//
// With TOLVAN_FUZZ_SEEDS set to a directory, the harness first writes a valid stream of each
// kind there, as seeds for the corpus.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "foundation/TolvanExcept.h"
#include "foundation/TolvanStreams.h"
#include "schema/TolvanRecordBuffer.h"
#include "storage/local/TolvanLocalBLOBStream.h"
#include "storage/memory/TolvanTableStream.h"
#include "storage/temp/TolvanTempEngine.h"
#include "tests/storage/TableTestSupport.h"

using namespace tolvan;
using namespace tolvan::test;

namespace {

using TBytes = std::vector<uint8_t>;

void Require(bool Condition, const char* What) {
  if (!Condition) {
    std::fprintf(stderr, "table stream fault: %s\n", What);
    std::abort();
  }
}

TTableFixture& Table() {
  static TTableFixture* F = [] {
    auto* Fixture = new TTableFixture();
    TTolvanFieldDefs Fields;
    AddField(Fields, "ID", tftInteger);
    AddField(Fields, "NAME", tftChar, 10);
    AddField(Fields, "DATA", tftBLOB).SetBlobBlockSize(4096);
    AddField(Fields, "NOTE", tftMemo).SetBlobBlockSize(4096);
    TTolvanIndexDefs Indexes;
    Fixture->Create(Fields, Indexes);
    return Fixture;
  }();
  return *F;
}

TBytes Bytes(TTolvanMemoryStream& S) { return TBytes(S.Memory(), S.Memory() + S.Size()); }

TBytes RecordBlock(TTolvanMemoryRecordManager& M, TTolvanBlobBlockTable& B,
                   const TTolvanFieldDefs& Defs) {
  TTolvanMemoryStream S;
  SaveRecords(M, B, Defs, S);
  return TBytes(S.Memory(), S.Memory() + S.Size());
}

void Check(TTableFixture& F, TTolvanLoadedTable& L) {
  if (!L.Records) {
    Require(L.Header.RecordCount == 0, "records promised, none loaded");
    Require(L.Blobs->LiveCount() == 0, "blocks without records");
    return;
  }
  TTolvanMemoryRecordManager& M = *L.Records;
  Require(M.RecordCount() == L.Header.RecordCount, "record count");
  int64_t Refs = 0;
  for (int32_t Slot = M.MinID(); Slot <= M.MaxID(); ++Slot) {
    if (M.IsSlotDeleted(Slot))
      continue;
    const uint8_t* R = M.RecordBlock() + int64_t(Slot) * M.RecordSize();
    for (int32_t I = 0; I < L.FieldDefs.Count(); ++I) {
      const TTolvanFieldDef& Def = L.FieldDefs.Items(I);
      if (!Def.IsBlob() || IsFieldNull(R, I))
        continue;
      Require(L.Blobs->IsLive(LoadBlobReference(R, Def)), "dead BLOB reference");
      ++Refs;
    }
  }
  Require(L.Blobs->LiveCount() == Refs, "unowned BLOB blocks");
  const TBytes Block = RecordBlock(M, *L.Blobs, L.FieldDefs);
  TTolvanMemoryRecordManager Again(F.Table, M.RecordSize(), 0);
  TTolvanBlobBlockTable Blobs;
  TTolvanMemoryStream S;
  WriteStreamBuffer(Block.data(), int64_t(Block.size()), S, 10197);
  S.SetPosition(0);
  LoadRecords(Again, Blobs, L.FieldDefs, M.RecordCount(), S);
  Require(RecordBlock(Again, Blobs, L.FieldDefs) == Block, "record block round trip");
}

void FuzzMemoryStream(const uint8_t* Data, size_t Size) {
  TTableFixture& F = Table();
  TTolvanMemoryStream S;
  if (Size)
    WriteStreamBuffer(Data, int64_t(Size), S, 10197);
  S.SetPosition(0);
  try {
    auto L = LoadTableFromStream(F.Table, S);
    Check(F, *L);
  } catch (const ETolvanException&) {
  }
  Require(F.Table.TableName() == "T", "the table's name changed");
}

// --- the temporary table stream ------------------------------------------------------------------

using TTempTable = TTolvanTemporaryTableData;

struct TTempFixture {
  TTolvanTemporaryDatabaseData Db;
  TTestSession Session{1};
  TTempTable* Target = nullptr;
  TTempTable* Spare = nullptr;
  TBytes TargetBytes; // what Target saves to
  TBytes Seed;
};

TTempTable* NewTempTable(TTempFixture& F) {
  TTolvanFieldDefs Fields;
  AddField(Fields, "K", tftInteger);
  AddField(Fields, "S", tftVarchar, 8);
  AddField(Fields, "B1", tftBLOB).SetBlobBlockSize(32);
  AddField(Fields, "B2", tftMemo).SetBlobBlockSize(64);
  TTolvanIndexDefs Indexes;
  AddIndexDef(Indexes, "ByK", {"K"});
  AddIndexDef(Indexes, "ByS", {"S"}).Columns(0).SetDescending(1);
  TTolvanConstraintDefs Constraints;
  TTestCursor Maker(&F.Session, 0);
  Maker.SetKeepTemporaryTable(true);
  return static_cast<TTempTable*>(F.Db.GetTableData(
      Maker, [&](TTolvanTableData& T) { T.CreateTable(Maker, Fields, Indexes, Constraints); }));
}

TBytes SaveTemp(TTempTable& T) {
  TTolvanMemoryStream S;
  T.SaveToStream(S, caNone, 0, 0, true);
  return Bytes(S);
}

void LoadTemp(TTempTable& T, const uint8_t* Data, size_t Size) {
  TTolvanMemoryStream S;
  if (Size)
    WriteStreamBuffer(Data, int64_t(Size), S, 10197);
  S.SetPosition(0);
  T.LoadFromStream(nullptr, S);
}

void WriteTempBlob(TTempTable& T, TTestCursor& C, int32_t FieldNo, const std::string& Value) {
  std::unique_ptr<TTolvanStream> S = T.OpenBlob(C, true, FieldNo, tbmWrite);
  S->WriteBuffer(Value.data(), int64_t(Value.size()));
  T.WriteBlob(C, FieldNo, static_cast<TTolvanLocalBLOBStream&>(*S));
}

TTempFixture& Temp() {
  static TTempFixture* F = [] {
    auto* Fixture = new TTempFixture();
    TTempTable* Source;
    {
      // A record limit of a few records, so that the seed has spilled records.
      TAvailableMemoryOverride Memory(3000);
      Source = NewTempTable(*Fixture);
    }
    TTestCursor C(&Fixture->Session, Source->RecordSize() + RecordTrailerSize);
    for (int32_t N = 0; N < 12; ++N) {
      std::fill(C.RecordBytes().begin(), C.RecordBytes().end(), 0);
      SetAllNull(C.Record(), 4);
      const int32_t K = N * 5 % 7;
      SetFieldData(0, *Source->FieldDefs(), &K, C.Record());
      const std::string S = "s" + std::to_string(N % 4);
      SetFieldData(1, *Source->FieldDefs(), S.c_str(), C.Record());
      if (N % 3)
        WriteTempBlob(*Source, C, 2, std::string(size_t(N * 9), char('a' + N)));
      if (N % 2)
        WriteTempBlob(*Source, C, 3, "memo " + std::to_string(N));
      Require(Source->InsertRecord(C), "seed insert");
    }
    Fixture->Seed = SaveTemp(*Source);
    Fixture->Target = NewTempTable(*Fixture);
    Fixture->Spare = NewTempTable(*Fixture);
    Fixture->TargetBytes = SaveTemp(*Fixture->Target);
    return Fixture;
  }();
  return *F;
}

// Each index holds every record once, in key order.
void CheckTempIndexes(TTempTable& T) {
  TTolvanBaseIndexManager& Indexes = *T.IndexManager();
  const int64_t Count = T.GetTotalRecordCount();
  for (int32_t I = 0; I < Indexes.IndexDefs().Count(); ++I) {
    const int32_t IndexID = Indexes.IndexDefs().Items(I).ObjectID();
    TBytes Buffer(size_t(T.RecordSize())), Previous;
    std::set<int64_t> Seen;
    TTolvanNavState State;
    State.SessionID = 1;
    State.Mode = rmNext;
    State.IndexID = IndexID;
    State.AtBegin = 1;
    State.Buffer = Buffer.data();
    for (;;) {
      Indexes.GetRecordViaIndex(State.SessionID, State);
      if (State.Result != rrOK)
        break;
      State.AtBegin = 0;
      Require(Seen.insert(TTolvanTemporaryRecordManager::RecordNumber(State.RecordID)).second,
              "a record twice in an index");
      Require(Previous.empty() || Indexes.GetIndex(IndexID).CompareRecordKeys(
                                      Previous.data(), Buffer.data(), 0) <= 0,
              "index keys out of order");
      Previous = Buffer;
    }
    Require(int64_t(Seen.size()) == Count, "index and record count differ");
  }
}

void CheckTempRecords(TTempFixture& F, TTempTable& T) {
  TTestCursor C(&F.Session, T.RecordSize() + RecordTrailerSize);
  const TTolvanFieldDefs& Defs = *T.FieldDefs();
  for (int64_t N = 0; N < T.GetTotalRecordCount(); ++N) {
    T.Records()->ReadRecord(C.Record(), N);
    for (int32_t FieldNo = 0; FieldNo < Defs.Count(); ++FieldNo) {
      if (!Defs.Items(FieldNo).IsBlob() || IsFieldNull(C.Record(), FieldNo))
        continue;
      try {
        std::unique_ptr<TTolvanStream> S = T.OpenBlob(C, false, FieldNo, tbmRead);
        std::string Value(size_t(std::min<int64_t>(S->GetSize(), 1 << 20)), '\0');
        S->Read(Value.data(), int64_t(Value.size()));
      } catch (const ETolvanException&) {
      }
    }
  }
}

void FuzzTempStream(const uint8_t* Data, size_t Size) {
  TTempFixture& F = Temp();
  const AnsiString Name = F.Target->TableName();
  try {
    LoadTemp(*F.Target, Data, Size);
  } catch (const ETolvanException&) {
    Require(F.Target->TableName() == Name, "a refused load renamed the table");
    Require(SaveTemp(*F.Target) == F.TargetBytes, "a refused load changed the table");
    return;
  }
  Require(F.Target->TableName() != Name, "a load kept the old name");
  CheckTempIndexes(*F.Target);
  CheckTempRecords(F, *F.Target);
  F.TargetBytes = SaveTemp(*F.Target);
  LoadTemp(*F.Spare, F.TargetBytes.data(), F.TargetBytes.size());
  Require(SaveTemp(*F.Spare) == F.TargetBytes, "save, load, save differ");
}

void WriteSeeds() {
  const char* Directory = std::getenv("TOLVAN_FUZZ_SEEDS");
  if (!Directory)
    return;
  TTableFixture& F = Table();
  TTolvanMemoryStream Memory;
  SaveTableToStream(F.Table, nullptr, F.Table.BlobBlocks(), Memory, caNone, 0, 0, 0);
  const TBytes MemorySeed = Bytes(Memory);
  const TBytes& TempSeed = Temp().Seed;
  std::ofstream(std::string(Directory) + "/memory-table", std::ios::binary)
      .write(reinterpret_cast<const char*>(MemorySeed.data()), std::streamsize(MemorySeed.size()));
  std::ofstream(std::string(Directory) + "/temporary-table", std::ios::binary)
      .write(reinterpret_cast<const char*>(TempSeed.data()), std::streamsize(TempSeed.size()));
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  WriteSeeds();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  FuzzMemoryStream(Data, Size);
  FuzzTempStream(Data, Size);
  return 0;
}
