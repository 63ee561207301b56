#include "storage/temp/TolvanTempEngine.h"

#include <algorithm>
#include <cstring>
#include <string>

#include <unistd.h>

#include "classlib/ByteOrder.h"
#include "classlib/SysUtils.h"
#include "foundation/TolvanExcept.h"
#include "foundation/TolvanMessages.h"
#include "foundation/TolvanStrUtils.h"
#include "foundation/TolvanTypes.h"
#include "schema/TolvanRecordBuffer.h"
#include "storage/local/TolvanLocalBLOBStream.h"
#include "storage/memory/TolvanMemoryEngine.h"
#include "storage/memory/TolvanTableStream.h"

namespace tolvan {

namespace {

// Spill bytes move between a stream and the file in chunks of this size.
constexpr int64_t CopyChunk = 65536;

uint8_t* NewBlock(int64_t Size) {
  return static_cast<uint8_t*>(TTolvanMemoryManager::GetMem(Size));
}

} // namespace

// --- spill file ---------------------------------------------------------------------------------

TTolvanTemporaryRecordManager::TSpill&
TTolvanTemporaryRecordManager::TSpill::operator=(TSpill&& Other) noexcept {
  if (this != &Other) {
    Reset();
    Name = std::move(Other.Name);
    File = std::move(Other.File);
    Other.Name.clear();
  }
  return *this;
}

void TTolvanTemporaryRecordManager::TSpill::Reset() noexcept {
  File.reset();
  if (!Name.empty())
    ::unlink(WideToUtf8(Name).c_str()); // a file that cannot be deleted is left behind
  Name.clear();
}

void TTolvanTemporaryRecordManager::TSpill::Create() {
  TSpill New;
  New.Name = MakeTempFileName();
  if (New.Name.empty())
    throw ETolvanException::CreateFmt(ErrCannotCreateFile, SCannotCreateFile,
                                      WideToUtf8(TempDirectory()));
  New.File = std::make_unique<TTolvanFileStream>(New.Name, fmCreate);
  *this = std::move(New);
}

// --- record manager -----------------------------------------------------------------------------

TTolvanTemporaryRecordManager::TTolvanTemporaryRecordManager(int32_t RecordSize,
                                                             int32_t WriteBufferRecords,
                                                             int32_t GrowByRecords)
    : TTolvanBaseRecordManager(RecordSize), FWriteBufferRecords(std::max(WriteBufferRecords, 1)),
      FWriteBufferBytes(0), FRecordLimit(0), FGrowByRecords(std::max(GrowByRecords, 1)) {
  if (RecordSize == 0)
    throw ETolvanException::Create(ErrTempRecordSizeZero, SInvalidRecordSizeZero);
  const int64_t BufferBytes = int64_t(FWriteBufferRecords) * RecordSize;
  if (RecordSize < 0 || BufferBytes > INT32_MAX)
    throw ERangeError(std::string(SysConst::SRangeError));
  FWriteBufferBytes = int32_t(BufferBytes);
  // GetAvailableMemory is at most 2 GiB - 1, so the quotient fits.
  FRecordLimit = int32_t(TTolvanMemoryManager::GetAvailableMemory() / 10 / RecordSize);
  FWriteBuffer.reset(NewBlock(FWriteBufferBytes));
}

TTolvanTemporaryRecordManager::~TTolvanTemporaryRecordManager() = default;

void TTolvanTemporaryRecordManager::Clear(int32_t) {
  SetRecordCount(0);
  FWriteBufferCount = 0;
  FMemoryBlock.reset();
  FInMemoryCount = 0;
  FMemoryCapacity = 0;
  FAllocated = 0;
  FSpill.Reset();
}

int64_t TTolvanTemporaryRecordManager::SpillFileSize() const {
  return FSpill.File ? FSpill.File->GetSize() : 0;
}

// Places the record numbered RecordCount; false (nothing changed) when it cannot.
bool TTolvanTemporaryRecordManager::Store(const uint8_t* Buffer) {
  const int64_t Size = RecordSize();
  if (FInMemoryCount < FRecordLimit) {
    if (FInMemoryCount == FAllocated) {
      // Doubling keeps the copies of a growing block linear in the records stored; a fixed
      // step would copy the block once per step.
      const int64_t Grown =
          std::max(int64_t(FMemoryCapacity) + FGrowByRecords, 2 * int64_t(FMemoryCapacity));
      const int32_t NewCapacity = FInMemoryCount < FMemoryCapacity
                                      ? FMemoryCapacity
                                      : int32_t(std::min<int64_t>(Grown, FRecordLimit));
      uint8_t* P = FMemoryBlock.release();
      try {
        if (P)
          TTolvanMemoryManager::ReallocMem(P, false, NewCapacity * Size);
        else
          P = NewBlock(NewCapacity * Size);
      } catch (...) {
        FMemoryBlock.reset(P);
        throw;
      }
      FMemoryBlock.reset(P);
      FAllocated = NewCapacity;
      FMemoryCapacity = NewCapacity;
    }
    std::memcpy(FMemoryBlock.get() + FInMemoryCount * Size, Buffer, size_t(Size));
    ++FInMemoryCount;
    return true;
  }
  if (!FSpill.File)
    FSpill.Create();
  if (FWriteBufferCount == FWriteBufferRecords)
    FlushWriteBuffer();
  std::memcpy(FWriteBuffer.get() + FWriteBufferCount * Size, Buffer, size_t(Size));
  ++FWriteBufferCount;
  return true;
}

void TTolvanTemporaryRecordManager::DropLastRecord() noexcept {
  const int64_t Count = RecordCount();
  if (Count == 0)
    return;
  if (Count <= FRecordLimit)
    --FInMemoryCount;
  else if (FWriteBufferCount > 0)
    --FWriteBufferCount;
  // A record already in the spill file stays there unreferenced: the next spilled record is
  // written over it.
  SetRecordCount(Count - 1);
}

bool TTolvanTemporaryRecordManager::InsertRecord(const uint8_t* Buffer, TTolvanRecordID& RecordID,
                                                 int32_t) {
  const int64_t Number = RecordCount();
  if (!Buffer || Number >= MaxTempRecordNumber)
    return false;
  try {
    if (!Store(Buffer))
      return false;
  } catch (...) {
    return false;
  }
  AddRecordCount(1);
  RecordID = RecordIDOf(Number);
  return true;
}

void TTolvanTemporaryRecordManager::FlushWriteBuffer() {
  if (FWriteBufferCount == 0)
    return;
  if (FWriteBufferCount > FWriteBufferRecords)
    throw ETolvanException::CreateFmt(ErrTempBufferCount, SInvalidRecordCount, FWriteBufferCount,
                                      FWriteBufferRecords);
  const int64_t Bytes = int64_t(FWriteBufferCount) * RecordSize();
  if (!FSpill.File ||
      FSpill.File->WriteAt(FlushedCount() * RecordSize(), FWriteBuffer.get(), Bytes) != Bytes)
    throw ETolvanException::Create(ErrTempSpillWrite, SErrorWritingToStream);
  FWriteBufferCount = 0;
}

void TTolvanTemporaryRecordManager::ReadRecord(uint8_t* Buffer, int64_t Number) {
  const int64_t Size = RecordSize();
  if (!Buffer || Number < 0 || Number >= RecordCount())
    throw ETolvanException::Create(ErrTempRecordRetrieve, SErrorRetrievingRecord);
  if (Number < FRecordLimit) {
    std::memcpy(Buffer, FMemoryBlock.get() + Number * Size, size_t(Size));
    return;
  }
  const int64_t Spilled = Number - FRecordLimit;
  const int64_t Flushed = FlushedCount();
  if (Spilled >= Flushed) {
    std::memcpy(Buffer, FWriteBuffer.get() + (Spilled - Flushed) * Size, size_t(Size));
    return;
  }
  const int64_t Offset = Spilled * Size;
  const int64_t Read = FSpill.File ? FSpill.File->ReadAt(Offset, Buffer, Size) : 0;
  if (Read != Size)
    throw ETolvanException::CreateFmt(ErrTempSpillRead, SCannotReadFromStream, Offset,
                                      SpillFileSize(), Size, Read);
}

bool TTolvanTemporaryRecordManager::RecordExists(const TTolvanRecordID& RecordID, int32_t) {
  return RecordNumber(RecordID) < RecordCount();
}

int64_t TTolvanTemporaryRecordManager::GetApproxRecNo(const TTolvanRecordID& RecordID, int32_t) {
  const int64_t Number = RecordNumber(RecordID);
  return Number < RecordCount() ? Number + 1 : -1;
}

void TTolvanTemporaryRecordManager::GetRecord(TTolvanNavState& State) {
  const int64_t Count = RecordCount();
  if (Count == 0) {
    State.Result = rrEndReached;
    return;
  }
  int64_t Number = RecordNumber(State.RecordID);
  TTolvanGetRecordResult Result = rrMissing;
  if (State.AtBegin) {
    if (State.Mode == rmNext) {
      Number = 0;
      Result = rrOK;
    } else if (State.Mode == rmPrior) {
      Result = rrBeginReached;
    }
  } else if (State.AtEnd) {
    if (State.Mode == rmNext) {
      Result = rrEndReached;
    } else if (State.Mode == rmPrior) {
      Number = Count - 1;
      Result = rrOK;
    }
  } else {
    switch (State.Mode) {
    case rmNext:
      Result = Number >= Count - 1 ? rrEndReached : (++Number, rrOK);
      break;
    case rmPrior:
      Result = Number <= 0 ? rrBeginReached : (--Number, rrOK);
      break;
    case rmCurrent:
      Result = Number >= Count ? rrMissing : rrOK;
      break;
    }
  }
  if (Result == rrOK) {
    ReadRecord(State.Buffer, Number);
    State.AtBegin = 0;
    State.AtEnd = 0;
  }
  State.RecordID = RecordIDOf(Number);
  State.Result = Result;
}

// --- stream block -------------------------------------------------------------------------------

void TTolvanTemporaryRecordManager::SaveToStream(TStream& Stream) {
  FlushWriteBuffer();
  const int64_t Size = RecordSize();
  const int64_t Spilled = std::max<int64_t>(RecordCount() - FRecordLimit, 0);
  WriteStreamValue<int32_t>(Stream, RecordSize(), ErrTempWriteRecordSize);
  WriteStreamValue<int64_t>(Stream, RecordCount(), ErrTempWriteRecordCount);
  WriteStreamValue<int32_t>(Stream, FWriteBufferRecords, ErrTempWriteBufferRecords);
  WriteStreamValue<int32_t>(Stream, FWriteBufferBytes, ErrTempWriteBufferBytes);
  WriteStreamValue<int32_t>(Stream, FInMemoryCount, ErrTempWriteInMemoryCount);
  WriteStreamValue<int32_t>(Stream, FMemoryCapacity, ErrTempWriteMemoryCapacity);
  WriteStreamValue<int32_t>(Stream, FRecordLimit, ErrTempWriteRecordLimit);
  WriteStreamValue<int32_t>(Stream, FGrowByRecords, ErrTempWriteGrowBy);
  if (FMemoryCapacity > 0)
    WriteStreamBuffer(FMemoryBlock.get(), FInMemoryCount * Size, Stream, ErrTempWriteRecords);
  const int64_t S = Spilled * Size;
  WriteStreamValue<int64_t>(Stream, S, ErrTempWriteSpill);
  if (S == 0)
    return;
  TBlock Chunk(NewBlock(std::min(S, CopyChunk)));
  for (int64_t Done = 0; Done < S;) {
    const int64_t N = std::min(S - Done, CopyChunk);
    const int64_t Read = FSpill.File ? FSpill.File->ReadAt(Done, Chunk.get(), N) : 0;
    if (Read != N)
      throw ETolvanException::CreateFmt(ErrTempSpillRead, SCannotReadFromStream, Done,
                                        SpillFileSize(), N, Read);
    WriteStreamBuffer(Chunk.get(), N, Stream, ErrTempWriteSpill);
    Done += N;
  }
}

// Fields are checked as they come, each against those before it, so that a refusal names the
// field that disagrees; sizes are checked against the bytes left before their blocks are made.
void TTolvanTemporaryRecordManager::LoadFromStream(TStream& Stream) {
  const int64_t Size = RecordSize();
  const int32_t StoredSize = ReadStreamValue<int32_t>(Stream, ErrTempReadRecordSize);
  if (StoredSize != RecordSize())
    RaiseRecordStoreField(ErrTempReadRecordSize, "RecordSize", StoredSize);
  const int64_t Count = ReadStreamValue<int64_t>(Stream, ErrTempReadRecordCount);
  if (Count < 0 || Count > MaxTempRecordNumber)
    RaiseRecordStoreField(ErrTempReadRecordCount, "RecordCount", Count);
  const int32_t BufferRecords = ReadStreamValue<int32_t>(Stream, ErrTempReadBufferRecords);
  if (BufferRecords < 1 || BufferRecords > MaxTempWriteBufferRecords)
    RaiseRecordStoreField(ErrTempReadBufferRecords, "WriteBufferRecords", BufferRecords);
  const int32_t BufferBytes = ReadStreamValue<int32_t>(Stream, ErrTempReadBufferBytes);
  if (BufferBytes != int64_t(BufferRecords) * Size ||
      BufferBytes > TTolvanMemoryManager::GetAvailableMemory())
    RaiseRecordStoreField(ErrTempReadBufferBytes, "WriteBufferBytes", BufferBytes);
  const int32_t InMemory = ReadStreamValue<int32_t>(Stream, ErrTempReadInMemoryCount);
  if (InMemory < 0 || InMemory > Count)
    RaiseRecordStoreField(ErrTempReadInMemoryCount, "InMemoryCount", InMemory);
  const int32_t Capacity = ReadStreamValue<int32_t>(Stream, ErrTempReadMemoryCapacity);
  if (Capacity < InMemory ||
      Capacity * Size > std::min(TTolvanMemoryManager::GetAvailableMemory(), MemMaxBlockSize))
    RaiseRecordStoreField(ErrTempReadMemoryCapacity, "MemoryCapacity", Capacity);
  const int32_t Limit = ReadStreamValue<int32_t>(Stream, ErrTempReadRecordLimit);
  // Records spill only once memory holds RecordLimit of them.
  // A writer's limit is a tenth of at most MemAvailableCap bytes: that bounds every later growth.
  if (Limit < Capacity || int64_t(Limit) * Size > MemAvailableCap / 10 ||
      InMemory != std::min<int64_t>(Count, Limit))
    RaiseRecordStoreField(ErrTempReadRecordLimit, "RecordLimit", Limit);
  const int32_t GrowBy = ReadStreamValue<int32_t>(Stream, ErrTempReadGrowBy);
  // The block grows only to take a record, by GrowBy at a time: it is empty or holds records,
  // and never GrowBy free slots.
  if (GrowBy < 1 || (InMemory == 0) != (Capacity == 0) || Capacity - InMemory >= GrowBy)
    RaiseRecordStoreField(ErrTempReadGrowBy, "GrowByRecords", GrowBy);

  // Only the records read are allocated: the free slots a damaged capacity claims cost nothing
  // until records come to fill them.
  TBlock Memory;
  if (Capacity > 0) {
    const int64_t Bytes = InMemory * Size;
    if (Bytes > StreamBytesLeft(Stream))
      RaiseStreamReadError(Stream, Bytes, 0, ErrTempReadRecords);
    Memory.reset(NewBlock(Bytes));
    ReadStreamBuffer(Memory.get(), Bytes, Stream, ErrTempReadRecords);
  }
  const int64_t S = ReadStreamValue<int64_t>(Stream, ErrTempReadSpill);
  // Count - Limit < 2^48 and Size < 2^31: the product fits.
  if (S != (Count - InMemory) * Size)
    RaiseRecordStoreField(ErrTempReadSpill, "S", S);
  if (S > StreamBytesLeft(Stream))
    RaiseStreamReadError(Stream, S, 0, ErrTempReadSpill);
  TSpill Spill;
  if (S > 0) {
    Spill.Create();
    TBlock Chunk(NewBlock(std::min(S, CopyChunk)));
    for (int64_t Done = 0; Done < S;) {
      const int64_t N = std::min(S - Done, CopyChunk);
      ReadStreamBuffer(Chunk.get(), N, Stream, ErrTempReadSpill);
      if (Spill.File->WriteAt(Done, Chunk.get(), N) != N)
        throw ETolvanException::Create(ErrTempSpillWrite, SErrorWritingToStream);
      Done += N;
    }
  }
  TBlock WriteBuffer(NewBlock(BufferBytes));

  FMemoryBlock = std::move(Memory);
  FWriteBuffer = std::move(WriteBuffer);
  FSpill = std::move(Spill);
  FWriteBufferRecords = BufferRecords;
  FWriteBufferBytes = BufferBytes;
  FWriteBufferCount = 0;
  FInMemoryCount = InMemory;
  FMemoryCapacity = Capacity;
  FAllocated = InMemory;
  FRecordLimit = Limit;
  FGrowByRecords = GrowBy;
  SetRecordCount(Count);
}

// --- temporary table data --------------------------------------------------------------------

namespace {

constexpr int32_t ErrNotSupported = 11394;

const TTolvanFieldDef& BlobField(const TTolvanFieldDefs* Defs, int32_t FieldNo) {
  if (!Defs)
    RaiseNil(ErrTempOpenBlobNoStore);
  const TTolvanFieldDef& Def = Defs->Items(FieldNo);
  if (!Def.IsBlob())
    throw EInvalidCast(std::string(SysConst::SInvalidCast));
  return Def;
}

// Copies Count bytes from the position of From to the position of To in chunks; ReadCode and
// WriteCode name a short transfer.
void CopyStreamBytes(TStream& From, TStream& To, int64_t Count, int32_t ReadCode,
                     int32_t WriteCode) {
  if (Count <= 0)
    return;
  std::unique_ptr<uint8_t, TTolvanMemDeleter> Chunk(NewBlock(std::min(Count, CopyChunk)));
  for (int64_t Done = 0; Done < Count;) {
    const int64_t N = std::min(Count - Done, CopyChunk);
    ReadStreamBuffer(Chunk.get(), N, From, ReadCode);
    WriteStreamBuffer(Chunk.get(), N, To, WriteCode);
    Done += N;
  }
}

// Commits the session's pages when the scope ends: Now() on the way out of a completed
// operation (a failure raises), the destructor on every other exit (a failure is dropped, so
// the error that ended the operation passes on).
class TPageCommit {
public:
  TPageCommit(TTolvanPageManager& Pages, int32_t SessionID, bool Armed) noexcept
      : FPages(Pages), FSessionID(SessionID), FArmed(Armed) {}
  ~TPageCommit() {
    if (!FArmed)
      return;
    try {
      FPages.Commit(FSessionID);
    } catch (...) {
      // Leaving on an error already: that error is the one the caller sees.
    }
  }
  TPageCommit(const TPageCommit&) = delete;
  TPageCommit& operator=(const TPageCommit&) = delete;
  void Now() {
    if (!FArmed)
      return;
    FArmed = false;
    FPages.Commit(FSessionID);
  }

private:
  TTolvanPageManager& FPages;
  int32_t FSessionID;
  bool FArmed;
};

} // namespace

TTolvanTemporaryTableData::TTolvanTemporaryTableData(TTolvanTableOwner& Database,
                                                     int32_t WriteBufferRecords,
                                                     int32_t GrowByRecords,
                                                     TTolvanIndexFactory Factory)
    : TTolvanTableData(Database, std::move(Factory)), FWriteBufferRecords(WriteBufferRecords),
      FGrowByRecords(GrowByRecords), FPageStore(std::make_unique<TTolvanTemporaryPageManager>()) {
  SetIsMemory(false);
  SetIsTemporary(true);
}

TTolvanTemporaryTableData::~TTolvanTemporaryTableData() {
  // The index objects refer to the page store, which goes before the base's managers.
  FreeManagers();
}

void TTolvanTemporaryTableData::Close() {
  if (RecordManager())
    RecordManager()->Clear(-1);
  FreeBlobStore();
  if (IndexManager())
    TTolvanTableData::DeleteAllIndexes(nullptr);
  FPageStore->Commit(-2);
}

bool TTolvanTemporaryTableData::HasIndexes() const noexcept {
  return IndexManager() && IndexManager()->IndexDefs().Count() > 0;
}

void TTolvanTemporaryTableData::CreateBlobStore() {
  if (!HasBlobs())
    return;
  FBlobStore = std::make_unique<TTolvanTemporaryStream>();
}

void TTolvanTemporaryTableData::FreeBlobStore() noexcept { FBlobStore.reset(); }

void TTolvanTemporaryTableData::CreateRecordManager() {
  SetRecordManager(nullptr);
  SetRecordManager(std::make_unique<TTolvanTemporaryRecordManager>(
      RecordSize(), FWriteBufferRecords, FGrowByRecords));
}

void TTolvanTemporaryTableData::CreateTable(TTolvanCursor& Cursor, TTolvanFieldDefs& FieldDefs,
                                            TTolvanIndexDefs& IndexDefs,
                                            TTolvanConstraintDefs& ConstraintDefs) {
  if (FieldDefs.Count() == 0)
    throw ETolvanException::Create(ErrTempCreateNoFields, SNoFieldsSpecifiedForTable);
  SetName(Cursor.TableName());
  ValidateFieldDefs(TableName(), FieldDefs);
  ValidateIndexDefs(TableName(), IndexDefs);
  ValidateConstraintDefs(TableName(), ConstraintDefs);
  if (ConstraintDefs.HasForeignKeys())
    throw ETolvanException::Create(ErrTempForeignKey, STemporaryForeignKeysNotSupported);
  CreateSequenceManager();
  SetFieldDefs(FieldDefs);
  SetIndexDefs(IndexDefs);
  SetConstraintDefs(ConstraintDefs);
  CreateRecordManager();
  int32_t FieldsOffset = 0;
  int32_t Size = 0;
  GetRecordLayout(FieldsOffset, Size);
  CreateBlobStore();
}

bool TTolvanTemporaryTableData::DeleteTable(TTolvanBaseSession* Session, bool Force,
                                            bool IgnoreOpenCursors) {
  TTolvanTableData::DeleteTable(Session, Force, IgnoreOpenCursors);
  const int32_t SessionID = Session ? Session->SessionID() : -2;
  if (HasIndexes()) {
    TPageCommit Commit(*FPageStore, SessionID, true);
    IndexManager()->DropAll(SessionID);
    Commit.Now();
  }
  return !(IgnoreOpenCursors && HasCursors());
}

void TTolvanTemporaryTableData::EmptyTable(TTolvanCursor* Cursor, bool Force) {
  // The base refuses a table in use before anything goes: its BLOB values stay with it.
  TTolvanTableData::EmptyTable(Cursor, Force);
  FreeBlobStore();
  if (RecordManager())
    RecordManager()->Clear(-1);
  FPageStore->Commit(-2);
  if (Cursor)
    FPageStore->Commit(SessionIDOf(Cursor));
  CreateBlobStore();
}

void TTolvanTemporaryTableData::AttachCursor(TTolvanCursor& Cursor) {
  const AnsiString& Name = Cursor.TableName();
  if (!Name.empty() && Name != TableName()) {
    if (TTolvanDatabaseData* Database = DatabaseOf(*this))
      Database->RenameTableData(*this, Name);
    else
      SetName(Name);
  }
  TTolvanTableData::AttachCursor(Cursor);
}

void TTolvanTemporaryTableData::DetachCursor(TTolvanCursor& Cursor) {
  TTolvanTableData::DetachCursor(Cursor);
  if (HasCursors() || Cursor.KeepTemporaryTable())
    return;
  DeleteTable(Cursor.Session(), true, false);
  // The table holds nothing from now on; its records, spill file and values go at once.
  if (RecordManager())
    RecordManager()->Clear(-1);
  FreeBlobStore();
  SetDropPending();
}

// --- records ------------------------------------------------------------------------------------

int32_t TTolvanTemporaryTableData::CompareRecordIDs(const TTolvanRecordID& A,
                                                    const TTolvanRecordID& B) {
  const int64_t X = TTolvanTemporaryRecordManager::RecordNumber(A);
  const int64_t Y = TTolvanTemporaryRecordManager::RecordNumber(B);
  return X == Y ? 0 : X > Y ? 1 : -1;
}

bool TTolvanTemporaryTableData::InsertRecord(TTolvanCursor& Cursor) {
  TTolvanTemporaryRecordManager* Store = Records();
  if (!Store)
    RaiseNil(ErrTempInsertNoRecords);
  uint8_t* Buffer = Cursor.RecordBuffer();
  if (!Buffer)
    RaiseNil(ErrTempInsertNoBuffer);
  const TTolvanCursorPosition Saved = Cursor.SavePosition();
  TTolvanRecordID ID{};
  if (!Store->InsertRecord(Buffer, ID, -1))
    return false;
  Cursor.SetPosition(ID);
  if (HasIndexes()) {
    TPageCommit Commit(*FPageStore, SessionIDOf(&Cursor), true);
    try {
      IndexManager()->InsertKeys(Cursor);
    } catch (...) {
      // The keys went all or nothing; the record goes too, and its number is given again.
      Store->DropLastRecord();
      Cursor.RestorePosition(Saved);
      throw;
    }
    Commit.Now();
  }
  Cursor.SetBof(false);
  Cursor.SetEof(false);
  if (Cursor.ResultBitmap() && Cursor.ResultBitmap()->Filled())
    AfterPostInsert(Cursor, Saved);
  return true;
}

void TTolvanTemporaryTableData::DeleteAllRecords(TTolvanCursor&) {
  throw ETolvanException::Create(ErrTempDeleteAll, SOperationNotSupported);
}

void TTolvanTemporaryTableData::SetRecNoPhysical(TTolvanCursor& Cursor, int64_t RecNo) {
  if (!Records())
    RaiseNil(ErrTempSetRecNoNoRecords);
  const int64_t Number = RecNo < 2 ? 0 : std::min(RecNo - 1, MaxTempRecordNumber);
  Cursor.SetPosition(TTolvanTemporaryRecordManager::RecordIDOf(Number));
}

int64_t TTolvanTemporaryTableData::GetRecNoPhysical(TTolvanCursor& Cursor) {
  if (!Records())
    RaiseNil(ErrTempGetRecNoNoRecords);
  return TTolvanTemporaryRecordManager::RecordNumber(Cursor.Position()) + 1;
}

int64_t TTolvanTemporaryTableData::GetTotalRecordCount() {
  if (!Records())
    RaiseNil(ErrTempTotalCountNoRecords);
  return Records()->RecordCount();
}

// --- BLOB values --------------------------------------------------------------------------------

std::unique_ptr<TTolvanStream> TTolvanTemporaryTableData::OpenBlob(TTolvanCursor& Cursor,
                                                                   bool NewRecord, int32_t FieldNo,
                                                                   TTolvanBlobOpenMode Mode) {
  if (!FBlobStore)
    RaiseNil(ErrTempOpenBlobNoStore);
  const TTolvanFieldDef& Def = BlobField(FieldDefs(), FieldNo);
  if (Def.BlobBlockSize() == 0)
    throw ETolvanException::Create(ErrOpenBlobBlockSizeZero, SStreamBlockSizeZero);
  TTolvanBLOBDescriptor Descriptor;
  Descriptor.BlockSize = Def.BlobBlockSize();
  Descriptor.Algorithm = Def.BlobCompressionAlgorithm();
  Descriptor.Mode = Def.BlobCompressionMode();
  auto Host = std::make_unique<TTolvanTemporaryStream>();
  const uint8_t* Buffer = Cursor.RecordBuffer();
  const bool IsNew = NewRecord || Mode == tbmWrite || !Buffer || IsFieldNull(Buffer, FieldNo);
  if (!IsNew) {
    // The offset and every size in the header are checked against the store before use.
    TTolvanTemporaryStream& Store = *FBlobStore;
    const int64_t Size = Store.GetSize();
    const int64_t Offset = LoadLE<int64_t>(Buffer + Def.BufferOffset());
    if (Offset < 0 || Offset > Size)
      throw ETolvanException::CreateFmt(ErrTempBlobPosition, SCannotSetStreamPosition, Offset,
                                        Store.Position(), Size);
    SetStreamPosition(Store, Offset, ErrTempBlobPosition);
    uint8_t Header[TempBlobHeaderSize];
    const int64_t Read = Store.Read(Header, TempBlobHeaderSize);
    const int32_t BlockCount = LoadLE<int32_t>(Header);
    const int64_t Uncompressed = LoadLE<int64_t>(Header + 4);
    const int64_t Length = LoadLE<int64_t>(Header + 12);
    const int64_t Left = Size - Offset - TempBlobHeaderSize;
    if (Read != TempBlobHeaderSize || BlockCount < 0 || Uncompressed < 0 || Length < 0 ||
        Length > Left)
      throw ETolvanException::CreateFmt(ErrTempBlobHeader, SCannotReadFromStream, Offset, Size,
                                        int64_t(TempBlobHeaderSize), Read);
    CopyStreamBytes(Store, *Host, Length, ErrTempBlobHeader, ErrTempBlobHeader);
    Host->SetPosition(0);
    Descriptor.BlockCount = BlockCount;
    Descriptor.UncompressedSize = Uncompressed;
  }
  auto Blob = std::make_unique<TTolvanCompressedBLOBStream>(*Host, false, IsNew, Descriptor);
  return std::make_unique<TTolvanLocalBLOBStream>(std::move(Host), std::move(Blob), &Cursor, Mode,
                                                  FieldNo);
}

void TTolvanTemporaryTableData::WriteBlob(TTolvanCursor& Cursor, int32_t FieldNo,
                                          TTolvanLocalBLOBStream& Stream) {
  if (!FBlobStore)
    RaiseNil(ErrTempWriteBlobNoStore);
  const TTolvanFieldDef& Def = BlobField(FieldDefs(), FieldNo);
  uint8_t* Buffer = Cursor.RecordBuffer();
  if (!Buffer)
    RaiseNil(ErrTempWriteBlobNoStore);
  if (!Stream.Written() && !Stream.Modified())
    return;
  TTolvanCompressedBLOBStream& Blob = Stream.BlobStream();
  if (Blob.UncompressedSize() == 0) {
    StoreLE<int64_t>(Buffer + Def.BufferOffset(), 0);
    SetFieldNull(Buffer, FieldNo, true);
    return;
  }
  const int64_t BlockCount = Blob.Descriptor().BlockCount;
  if (BlockCount < 0 || BlockCount > INT32_MAX)
    throw ERangeError(std::string(SysConst::SRangeError));
  TStream& Host = Stream.Host();
  const int64_t HostSize = Host.GetSize();
  uint8_t Header[TempBlobHeaderSize];
  StoreLE<int32_t>(Header, int32_t(BlockCount));
  StoreLE<int64_t>(Header + 4, Blob.UncompressedSize());
  StoreLE<int64_t>(Header + 12, HostSize);
  TTolvanTemporaryStream& Store = *FBlobStore;
  const int64_t Offset = Store.GetSize();
  SetStreamPosition(Store, Offset, ErrTempBlobStorePosition);
  WriteStreamBuffer(Header, TempBlobHeaderSize, Store, ErrTempWriteBlobHeader);
  const int64_t Position = Host.Position();
  Host.SetPosition(0);
  CopyStreamBytes(Host, Store, HostSize, ErrTempWriteBlobHeader, ErrTempWriteBlobHeader);
  Host.SetPosition(Position);
  StoreLE<int64_t>(Buffer + Def.BufferOffset(), Offset);
  SetFieldNull(Buffer, FieldNo, false);
}

// --- streams ------------------------------------------------------------------------------------

void TTolvanTemporaryTableData::SaveToStream(TStream& Stream, TTolvanCompressionAlgorithm, uint8_t,
                                             int32_t, bool) {
  if (!FieldManager() || !IndexManager() || !Records())
    RaiseNil(ErrTempTotalCountNoRecords);
  FieldManager()->SaveToStream(Stream);
  IndexManager()->SaveToStream(Stream);
  Records()->SaveToStream(Stream);
  const int64_t N = FBlobStore ? FBlobStore->GetSize() : 0;
  WriteStreamValue<int64_t>(Stream, N, ErrTempWriteBlobStoreSize);
  if (N > 0) {
    SetStreamPosition(*FBlobStore, 0, ErrTempBlobStorePosition);
    CopyStreamBytes(*FBlobStore, Stream, N, ErrTempBlobHeader, ErrTempWriteBlobStoreSize);
  }
  SetStreamPosition(Stream, Stream.Size(), ErrTempWriteBlobStoreSize);
}

void TTolvanTemporaryTableData::LoadFromStream(TTolvanCursor*, TStream& Stream) {
  // The definitions' forms refuse some damage with the class library's errors; a damaged stream
  // is reported as the engine's error throughout.
  try {
    LoadParts(Stream);
  } catch (const ETolvanException&) {
    throw;
  } catch (const Exception& E) {
    throw ETolvanException::Create(ErrTableStreamDamaged, E.Message());
  }
}

void TTolvanTemporaryTableData::LoadParts(TStream& Stream) {
  TTolvanTableParts Parts;
  Parts.SequenceManager = std::make_unique<TTolvanBaseSequenceManager>(&Database());
  Parts.FieldManager = std::make_unique<TTolvanBaseFieldManager>(this, Parts.SequenceManager.get());
  TTolvanFieldDefs& Fields = Parts.FieldManager->FieldDefs();
  Parts.FieldManager->LoadFromStream(Stream);
  Fields.CalcLayout();
  for (int32_t I = 0; I < Fields.Count(); ++I) {
    const TTolvanFieldDef& Def = Fields.Items(I);
    if (!Def.IsBlob())
      continue;
    if (Def.BlobBlockSize() <= 0)
      throw ETolvanException::CreateFmt(ErrTempBlobBlockSizeZero, SBlobBlockSizeInvalid,
                                        Def.Name());
    Parts.HasBlobs = true;
  }
  int64_t Size = 0;
  if (Fields.Count() > 0) {
    const TTolvanFieldDef& Last = Fields.Items(Fields.Count() - 1);
    Size = int64_t(Last.BufferOffset()) + Last.DataSize();
  }
  if (Size <= 0 || Size > INT32_MAX)
    throw ETolvanException::CreateFmt(ErrTableStreamLayout, SInvalidTableStreamField, "RecordSize",
                                      Size);
  Parts.ConstraintManager = std::make_unique<TTolvanBaseConstraintManager>(*this);
  Parts.ConstraintManager->SetNoConstraints(true);

  // Declared before Parts' index manager is made, destroyed after it: the manager refers to it.
  auto Pages = std::make_unique<TTolvanTemporaryPageManager>();
  struct TIndexRelease {
    TTolvanTableParts& Parts;
    ~TIndexRelease() { Parts.IndexManager.reset(); }
  } Release{Parts};
  Parts.IndexManager = std::make_unique<TTolvanBaseIndexManager>(*this, IndexFactory(), *Pages);
  Parts.IndexManager->SetFieldDefs(&Fields);
  Parts.IndexManager->LoadFromStream(Stream);

  auto Records = std::make_unique<TTolvanTemporaryRecordManager>(int32_t(Size), FWriteBufferRecords,
                                                                 FGrowByRecords);
  Records->LoadFromStream(Stream);

  const int64_t N = ReadStreamValue<int64_t>(Stream, ErrTempReadBlobStoreSize);
  // A writer stores BLOB values only for BLOB columns.
  if (N < 0 || (N > 0 && !Parts.HasBlobs))
    throw ETolvanException::CreateFmt(ErrTempReadBlobStoreSize, SInvalidTableStreamField,
                                      "BlobStoreSize", N);
  if (N > StreamBytesLeft(Stream))
    RaiseStreamReadError(Stream, N, 0, ErrTempReadBlobStoreSize);
  std::unique_ptr<TTolvanTemporaryStream> Blobs;
  if (Parts.HasBlobs) {
    Blobs = std::make_unique<TTolvanTemporaryStream>();
    CopyStreamBytes(Stream, *Blobs, N, ErrTempReadBlobStoreSize, ErrTempReadBlobStoreSize);
  }

  std::vector<uint8_t> Record(static_cast<size_t>(Size));
  TTolvanTemporaryRecordManager& Loaded = *Records;
  CheckLoadedIndexes(*Parts.IndexManager, Loaded.RecordCount(), Loaded.RecordCount(),
                     [&](const TTolvanRecordID& ID, int64_t& Number) -> const uint8_t* {
                       Number = TTolvanTemporaryRecordManager::RecordNumber(ID);
                       if (Number >= Loaded.RecordCount())
                         return nullptr;
                       Loaded.ReadRecord(Record.data(), Number);
                       return Record.data();
                     });

  Parts.RecordManager = std::move(Records);
  Parts.BlobBlocks = std::make_unique<TTolvanBlobBlockTable>();

  // The new name is chosen and taken under the exclusive lock, so that no table made meanwhile
  // can have it. Installed at once; nothing below can fail. The old parts leave with Parts and
  // Pages, the old index manager before the old page store.
  TTolvanDatabaseData* Database = DatabaseOf(*this);
  if (Database)
    Database->Lock(true);
  try {
    do
      Parts.TableName = MakeUniqueName(TemporaryTableNamePrefix);
    while (Database && Database->TableExists(Parts.TableName));
  } catch (...) {
    if (Database)
      Database->Unlock();
    throw;
  }
  SwapParts(Parts);
  if (Database)
    Database->Unlock();
  std::swap(FPageStore, Pages);
  std::swap(FBlobStore, Blobs);
  IndexManager()->SetFieldDefs(nullptr);
}

// --- TTolvanTemporaryDatabaseData ---------------------------------------------------------------

TTolvanTemporaryDatabaseData::TTolvanTemporaryDatabaseData() {
  SetInMemory(false);
  SetTemporary(true);
  SetDatabaseName(TemporaryDatabaseName);
}

TTolvanTemporaryDatabaseData::~TTolvanTemporaryDatabaseData() { FreeAllTables(); }

void TTolvanTemporaryDatabaseData::LoadDatabaseFromStream(TTolvanBaseSession&, TStream&) {
  throw ETolvanException::Create(ErrNotSupported, SOperationNotSupported);
}

void TTolvanTemporaryDatabaseData::SaveDatabaseToStream(TTolvanBaseSession&, TStream&,
                                                        TTolvanCompressionAlgorithm, uint8_t,
                                                        int32_t) {
  throw ETolvanException::Create(ErrNotSupported, SOperationNotSupported);
}

AnsiString TTolvanTemporaryDatabaseData::UniqueTableName() {
  // Names are compared, not only their hashes: two names sharing a hash are two tables.
  for (;;) {
    AnsiString Name = MakeUniqueName(TemporaryTableNamePrefix);
    if (!LockedFind(Name, NameHash(Name)))
      return Name;
  }
}

std::unique_ptr<TTolvanTableData>
TTolvanTemporaryDatabaseData::CreateTableData(TTolvanCursor& Cursor) {
  auto Table = std::make_unique<TTolvanTemporaryTableData>(*this, 10, 1000, FIndexFactory);
  Lock(true);
  try {
    const AnsiString Name = UniqueTableName();
    Table->SetName(Name);
    Cursor.SetTableName(Name);
  } catch (...) {
    Unlock();
    throw;
  }
  Unlock();
  return Table;
}

void TTolvanTemporaryDatabaseData::CloseTableData(TTolvanTableData& Table) {
  if (auto* Temporary = dynamic_cast<TTolvanTemporaryTableData*>(&Table))
    Temporary->Close();
}

TTolvanDatabaseFactory RegisterTemporaryEngine() {
  return RegisterDatabaseEngine(TemporaryDatabaseName, [] {
    return std::unique_ptr<TTolvanDatabaseData>(std::make_unique<TTolvanTemporaryDatabaseData>());
  });
}

} // namespace tolvan
