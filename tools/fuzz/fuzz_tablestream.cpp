// The table stream's loader on arbitrary bytes (plain or compressed, as the header says), for a
// small table of integer, text and two BLOB columns. A refused stream must raise the engine's
// error and leave the table as it was; a loaded one must agree with itself (the record count
// the header promised, every BLOB reference live and owned by its record, no other block) and
// its record block must save and load back to the same bytes.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "foundation/TolvanExcept.h"
#include "foundation/TolvanStreams.h"
#include "storage/memory/TolvanTableStream.h"
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

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
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
  return 0;
}
