#include "foundation/TolvanTempStreams.h"

#include <cstring>

#include <unistd.h>

#include "foundation/TolvanExcept.h"
#include "foundation/TolvanMessages.h"

namespace tolvan {

namespace {

constexpr int BlockShift = 15;
constexpr int64_t BlockBytes = int64_t(1) << BlockShift;
constexpr int64_t BlockMask = BlockBytes - 1;
static_assert(BlockBytes == TempStreamBlockSize);

inline int64_t Min(int64_t A, int64_t B) { return A < B ? A : B; }

} // namespace

// ---------------------------------------------------------------------------------------------
// TTolvanTempFileStream

TTolvanTempFileStream::TTempName::~TTempName() {
  if (!Name.empty())
    ::unlink(WideToUtf8(Name).c_str()); // a file that cannot be deleted is left behind
}

TTolvanTempFileStream::TTolvanTempFileStream()
    : FBuffer(static_cast<uint8_t*>(MemoryManager.AllocMem(BlockBytes))), FName{MakeTempFileName()},
      FFile(std::make_unique<TTolvanFileStream>(FName.Name, fmCreate)) {
  SetBlockSize(TempStreamBlockSize);
}

TTolvanTempFileStream::~TTolvanTempFileStream() = default;

// Brings block Block into the cache. Bytes past the stream's size, and those the file does not
// have yet, are zero. False when the file cannot be read; the cache is empty then.
bool TTolvanTempFileStream::LoadBlock(int64_t Block) {
  const int64_t Offset = Block << BlockShift;
  uint8_t* Buf = FBuffer.get();
  FBufferBlock = -1;
  FBufferValid = 0;
  const int64_t Valid = FSize > Offset ? Min(BlockBytes, FSize - Offset) : 0;
  const int64_t InFile = FFileSize > Offset ? Min(Valid, FFileSize - Offset) : 0;
  if (InFile > 0 && FFile->ReadAt(Offset, Buf, InFile) != InFile)
    return false;
  std::memset(Buf + InFile, 0, static_cast<size_t>(BlockBytes - InFile));
  FBufferBlock = Block;
  FBufferValid = Valid;
  return true;
}

int64_t TTolvanTempFileStream::WriteBlock() {
  if (FBufferValid <= 0)
    return 0;
  const int64_t Offset = FBufferBlock << BlockShift;
  const int64_t Written = FFile->WriteAt(Offset, FBuffer.get(), FBufferValid);
  if (Written == FBufferValid && Offset + Written > FFileSize)
    FFileSize = Offset + Written;
  return Written;
}

void TTolvanTempFileStream::Flush() {
  if (FDirtyBlock < 0)
    return;
  const int64_t Written = WriteBlock();
  if (Written != FBufferValid)
    throw ETolvanException::CreateFmt(ErrTempStreamWrite, SCannotWriteToStream, FPosition, FSize,
                                      TempStreamBlockSize, Written);
  FDirtyBlock = -1;
}

int64_t TTolvanTempFileStream::Read(void* Data, int64_t Count) {
  if (Count <= 0 || FPosition < 0 || FPosition >= FSize)
    return 0;
  const int64_t Total = Min(Count, FSize - FPosition);
  // A dirty block that the read must leave is written back before anything is delivered, so
  // a failure to write it raises with the position unmoved.
  if (FDirtyBlock >= 0 && ((FPosition >> BlockShift) != FDirtyBlock ||
                           ((FPosition + Total - 1) >> BlockShift) != FDirtyBlock))
    Flush();
  uint8_t* Out = static_cast<uint8_t*>(Data);
  int64_t Done = 0;
  while (Done < Total) {
    const int64_t Block = FPosition >> BlockShift;
    const int64_t Off = FPosition & BlockMask;
    const int64_t N = Min(BlockBytes - Off, Total - Done);
    if (Block != FBufferBlock) {
      Flush();
      if (!LoadBlock(Block))
        break;
    }
    std::memcpy(Out + Done, FBuffer.get() + Off, static_cast<size_t>(N));
    Done += N;
    FPosition += N;
  }
  return Done;
}

int64_t TTolvanTempFileStream::Write(const void* Data, int64_t Count) {
  if (Count <= 0 || FPosition < 0 || Count > INT64_MAX - FPosition)
    return 0;
  const uint8_t* In = static_cast<const uint8_t*>(Data);
  int64_t Done = 0;
  while (Done < Count) {
    const int64_t Block = FPosition >> BlockShift;
    const int64_t Off = FPosition & BlockMask;
    const int64_t N = Min(BlockBytes - Off, Count - Done);
    if (Block != FBufferBlock) {
      Flush();
      if (N == BlockBytes) { // overwritten whole: its old bytes are not needed
        FBufferBlock = Block;
        FBufferValid = 0;
      } else if (!LoadBlock(Block)) {
        break;
      }
    }
    std::memcpy(FBuffer.get() + Off, In + Done, static_cast<size_t>(N));
    if (Off + N > FBufferValid)
      FBufferValid = Off + N;
    Done += N;
    FPosition += N;
    if (FPosition > FSize)
      FSize = FPosition;
    FDirtyBlock = Block;
    if (Off + N == BlockBytes) {
      if (WriteBlock() != FBufferValid)
        break; // stays dirty; the next flush reports it
      FDirtyBlock = -1;
    }
  }
  return Done;
}

int64_t TTolvanTempFileStream::Seek(int64_t Offset, TSeekOrigin Origin) {
  int64_t Target;
  if (!SeekTarget(FPosition, FSize, Offset, Origin, Target))
    return -1;
  FPosition = Target;
  return Target;
}

// The cached block follows the cut: its bytes past the new size are dropped (zeroed), so a
// later growth reads zeros there, as the file does.
void TTolvanTempFileStream::SetSize(int64_t NewSize) {
  Flush();
  if (NewSize == FSize)
    return;
  FFile->SetSize(NewSize);
  FSize = FFileSize = NewSize;
  if (FBufferBlock >= 0) {
    const int64_t Limit = NewSize - (FBufferBlock << BlockShift);
    if (Limit < FBufferValid) {
      const int64_t Keep = Limit > 0 ? Limit : 0;
      std::memset(FBuffer.get() + Keep, 0, static_cast<size_t>(FBufferValid - Keep));
      FBufferValid = Keep;
    }
  }
}

// ---------------------------------------------------------------------------------------------
// TTolvanTemporaryStream

TTolvanTemporaryStream::TTolvanTemporaryStream() { SetBlockSize(TempStreamBlockSize); }

void TTolvanTemporaryStream::SetSize(int64_t NewSize) {
  if (FInMemory && NewSize <= FThreshold)
    FMemory.SetSize(NewSize);
  else if (FInMemory)
    MoveToFile(NewSize);
  else
    FFileStream->SetSize(NewSize);
  // Also when the size did not change: a position past the end comes back to it.
  const int64_t Size = GetSize();
  if (Seek(0, soCurrent) > Size)
    Seek(Size, soBeginning);
}

// The file side is complete before the memory side is let go, so a failure leaves the stream in
// memory as it was.
void TTolvanTemporaryStream::MoveToFile(int64_t NewSize) {
  auto File = std::make_unique<TTolvanTempFileStream>();
  const int64_t Size = FMemory.GetSize();
  if (Size > 0)
    WriteStreamBuffer(FMemory.Memory(), Size, *File, ErrTempStreamWrite);
  File->Seek(FMemory.Position(), soBeginning);
  File->SetSize(NewSize);
  FFileStream = std::move(File);
  FMemory.SetSize(0);
  FInMemory = false;
}

} // namespace tolvan
