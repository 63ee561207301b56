// The record stores' stream blocks on arbitrary bytes. Input: one byte choosing the store (even:
// the memory store, odd: the temporary one); for the memory store an Int32 record count (the
// table stream header's) follows, then the block and its records. A refused block must leave
// the store as it was; a loaded one must agree with itself, read back every record, save to the
// bytes it was loaded from and keep working.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "classlib/ByteOrder.h"
#include "foundation/TolvanExcept.h"
#include "foundation/TolvanStreams.h"
#include "storage/memory/TolvanMemoryRecordManager.h"
#include "storage/temp/TolvanTempEngine.h"
#include "tests/storage/TableTestSupport.h"

using namespace tolvan;

namespace {

using TBytes = std::vector<uint8_t>;

void Require(bool Condition, const char* What) {
  if (!Condition) {
    std::fprintf(stderr, "record store fault: %s\n", What);
    std::abort();
  }
}

TBytes Bytes(TTolvanMemoryStream& S) { return TBytes(S.Memory(), S.Memory() + S.Size()); }

constexpr int32_t MemoryRecordSize = 5;
constexpr int32_t TempRecordSize = 4;

// The block and the records in slot order, as the table stream has them.
TBytes SaveMemory(TTolvanMemoryRecordManager& M) {
  TTolvanMemoryStream S;
  M.SaveToStream(S);
  uint8_t Buffer[MemoryRecordSize];
  TTolvanNavState Nav;
  Nav.Mode = rmNext;
  Nav.Buffer = Buffer;
  Nav.AtBegin = 1;
  int64_t Count = 0;
  for (M.GetRecord(Nav); Nav.Result == rrOK; M.GetRecord(Nav)) {
    WriteStreamBuffer(Buffer, MemoryRecordSize, S, 10197);
    ++Count;
  }
  Require(Count == M.RecordCount(), "walk and count differ");
  return Bytes(S);
}

void CheckMemory(TTolvanMemoryRecordManager& M) {
  int64_t Live = 0;
  for (int32_t I = 0; I < M.Capacity(); ++I) {
    const bool InRange = I >= M.MinID() && I <= M.MaxID();
    if (I < M.MinID())
      Require(M.IsSlotDeleted(I), "live slot below MinID");
    if (InRange && !M.IsSlotDeleted(I)) {
      Require(M.RecNoToRecordID(Live) == I, "position to slot");
      Require(M.RecordIDToRecNo(I) == Live + 1, "slot to position");
      ++Live;
    }
  }
  Require(Live == M.RecordCount(), "live slots and count differ");
}

void FuzzMemory(const uint8_t* Data, size_t Size) {
  if (Size < 4)
    return;
  const int32_t Count = LoadLE<int32_t>(Data);
  test::TTestOwner Owner;
  test::TTestTableData Table{Owner, test::FakeIndexFactory()};
  TTolvanMemoryRecordManager M(Table, MemoryRecordSize, 4);
  TTolvanRecordID ID{};
  const uint8_t Record[MemoryRecordSize] = {1, 2, 3, 4, 5};
  M.InsertRecord(Record, ID, -1);
  M.InsertRecord(Record, ID, -1);
  const TBytes Before = SaveMemory(M);

  TTolvanMemoryStream S;
  S.WriteBuffer(Data + 4, int64_t(Size - 4));
  S.SetPosition(0);
  try {
    M.LoadFromStream(S, Count);
  } catch (const ETolvanException&) {
    Require(SaveMemory(M) == Before, "refused load changed the store");
    return;
  }
  // A record cut short or one too many: the table stream drops such a store.
  try {
    uint8_t Buffer[MemoryRecordSize];
    int32_t Position = -1;
    for (int64_t I = 0; I < Count; ++I) {
      ReadStreamBuffer(Buffer, MemoryRecordSize, S, ErrReadStoredRecord);
      M.AppendLoadedRecord(Buffer, Position);
    }
  } catch (const ETolvanException&) {
    return;
  }
  Require(M.RecordCount() == Count, "count differs from the header");
  CheckMemory(M);
  const TBytes Saved = SaveMemory(M);
  Require(Saved.size() <= Size - 4 && std::memcmp(Saved.data(), Data + 4, Saved.size()) == 0,
          "save differs from the load");
  for (int I = 0; I < 3; ++I)
    M.InsertRecord(Record, ID, -1);
  if (M.RecordCount() > 0)
    M.DeleteRecord({M.MinID(), 0}, -1);
  CheckMemory(M);
}

TBytes SaveTemp(TTolvanTemporaryRecordManager& M) {
  TTolvanMemoryStream S;
  M.SaveToStream(S);
  return Bytes(S);
}

void FuzzTemp(const uint8_t* Data, size_t Size) {
  TTolvanTemporaryRecordManager M(TempRecordSize, 10, 1000);
  TTolvanRecordID ID{};
  const uint8_t Record[TempRecordSize] = {9, 8, 7, 6};
  M.InsertRecord(Record, ID, -1);
  const TBytes Before = SaveTemp(M);
  TTolvanMemoryStream S;
  S.WriteBuffer(Data, int64_t(Size));
  S.SetPosition(0);
  try {
    M.LoadFromStream(S);
  } catch (const ETolvanException&) {
    Require(SaveTemp(M) == Before, "refused load changed the store");
    return;
  }
  uint8_t Buffer[TempRecordSize];
  for (int64_t N = 0; N < M.RecordCount(); ++N)
    M.ReadRecord(Buffer, N);
  const TBytes Saved = SaveTemp(M);
  Require(Saved.size() <= Size && std::memcmp(Saved.data(), Data, Saved.size()) == 0,
          "save differs from the load");
  for (int I = 0; I < 3; ++I)
    M.InsertRecord(Record, ID, -1);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  if (Size < 1)
    return 0;
  if (Data[0] % 2 == 0)
    FuzzMemory(Data + 1, Size - 1);
  else
    FuzzTemp(Data + 1, Size - 1);
  return 0;
}
