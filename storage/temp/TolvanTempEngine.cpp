#include "storage/temp/TolvanTempEngine.h"

#include <algorithm>
#include <cstring>
#include <string>

#include <unistd.h>

#include "classlib/SysUtils.h"
#include "foundation/TolvanExcept.h"
#include "foundation/TolvanMessages.h"

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
      const int32_t NewCapacity =
          FInMemoryCount < FMemoryCapacity
              ? FMemoryCapacity
              : int32_t(std::min<int64_t>(int64_t(FMemoryCapacity) + FGrowByRecords, FRecordLimit));
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

} // namespace tolvan
