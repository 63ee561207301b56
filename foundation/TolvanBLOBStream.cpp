#include "foundation/TolvanBLOBStream.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "classlib/ByteOrder.h"
#include "foundation/TolvanExcept.h"
#include "foundation/TolvanMessages.h"

namespace tolvan {

namespace {

struct TFreeDeleter {
  void operator()(void* P) const noexcept { std::free(P); }
};

// Makes Block hold at least Bytes (zero-filled beyond what it kept); Capacity follows.
template <class T>
void Reserve(std::unique_ptr<T, TTolvanMemDeleter>& Block, int64_t& Capacity, int64_t Bytes) {
  if (Bytes <= Capacity)
    return;
  T* P = Block.release();
  try {
    if (P)
      TTolvanMemoryManager::ReallocMemZeroed(P, Bytes);
    else
      P = static_cast<T*>(TTolvanMemoryManager::AllocMem(Bytes));
  } catch (...) {
    Block.reset(P);
    throw;
  }
  Block.reset(P);
  Capacity = Bytes;
}

[[noreturn]] void RaiseDamaged(std::string_view Fmt, int64_t A, int64_t B) {
  throw ETolvanException::CreateFmt(ErrBLOBDamaged, Fmt, A, B);
}

// Host offsets read from a descriptor or a header may lie anywhere; a sum of them that a message
// shows stops at the largest offset instead of overflowing.
int64_t OffsetSum(int64_t A, int64_t B) {
  int64_t R;
  return __builtin_add_overflow(A, B, &R) ? (B < 0 ? INT64_MIN : INT64_MAX) : R;
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Stored forms

TTolvanBLOBDescriptor TTolvanBLOBDescriptor::Load(const void* Source) noexcept {
  const auto* P = static_cast<const uint8_t*>(Source);
  TTolvanBLOBDescriptor D;
  D.BlockSize = LoadLE<int32_t>(P);
  D.BlockCount = LoadLE<int64_t>(P + 4);
  D.UncompressedSize = LoadLE<int64_t>(P + 12);
  D.StartOffset = LoadLE<int64_t>(P + 20);
  D.Algorithm = P[28];
  D.Mode = P[29];
  return D;
}

void TTolvanBLOBDescriptor::Store(void* Dest) const noexcept {
  auto* P = static_cast<uint8_t*>(Dest);
  StoreLE(P, BlockSize);
  StoreLE(P + 4, BlockCount);
  StoreLE(P + 12, UncompressedSize);
  StoreLE(P + 20, StartOffset);
  P[28] = Algorithm;
  P[29] = Mode;
  StoreLE<uint16_t>(P + 30, 0);
}

int32_t DefaultBLOBBlockSize(uint8_t Mode) noexcept {
  if (Mode == 0)
    return 102400;
  if (Mode <= 3)
    return 524288;
  if (Mode <= 6)
    return 1048576;
  return 1572864;
}

TTolvanCompressedBLOBStream::TBlockHeader
TTolvanCompressedBLOBStream::LoadBlockHeader(const void* Source) noexcept {
  const auto* P = static_cast<const uint8_t*>(Source);
  TBlockHeader H{};
  H.CompressedSize = LoadLE<int32_t>(P);
  H.UncompressedSize = LoadLE<int32_t>(P + 4);
  H.Crc32 = LoadLE<uint32_t>(P + 8);
  H.Span = LoadLE<int64_t>(P + 12);
  return H;
}

void TTolvanCompressedBLOBStream::StoreBlockHeader(const TBlockHeader& Header,
                                                   void* Dest) noexcept {
  auto* P = static_cast<uint8_t*>(Dest);
  StoreLE(P, Header.CompressedSize);
  StoreLE(P + 4, Header.UncompressedSize);
  StoreLE(P + 8, Header.Crc32);
  StoreLE(P + 12, Header.Span);
}

// The output of CompressBuffer comes from the run-time heap and goes back there.
struct TTolvanCompressedBLOBStream::TCompressedBlock {
  TBlockHeader Header{};
  std::unique_ptr<void, TFreeDeleter> Data;
};

// ---------------------------------------------------------------------------------------------
// Opening

TTolvanCompressedBLOBStream::TTolvanCompressedBLOBStream(TStream& Host, bool AllowShort, bool IsNew,
                                                         const TTolvanBLOBDescriptor& Descriptor)
    : FHost(Host), FDescriptor(Descriptor), FAlgorithm(Descriptor.Algorithm),
      FMode(Descriptor.Mode), FAllowShort(AllowShort) {
  // A memory host takes any position, so a negative start would reach before the host's bytes,
  // and one past its end would make the first write fill the gap, gigabytes for a damaged
  // descriptor. A value starts within the host or at its end.
  if (FDescriptor.StartOffset < 0 || FDescriptor.StartOffset > FHost.Size())
    throw ETolvanException::CreateFmt(ErrBLOBStartPosition, SCannotSetStreamPosition,
                                      FDescriptor.StartOffset, FHost.Position(), FHost.Size());
  SetStreamPosition(FHost, FDescriptor.StartOffset, ErrBLOBStartPosition);
  // A plain value need not have a block size; the block copies keep their default then.
  if (FDescriptor.BlockSize > 0)
    SetBlockSize(FDescriptor.BlockSize);

  if (Compressed()) {
    InitCompressed(IsNew);
  } else if (IsNew) {
    FUncompressedSize = 0;
  } else {
    FUncompressedSize = FDescriptor.UncompressedSize;
    if (FUncompressedSize < 0)
      RaiseDamaged(SInvalidStreamSize, FUncompressedSize, 0);
    const int64_t Needed = OffsetSum(FDescriptor.StartOffset, FUncompressedSize);
    const int64_t HostSize = FHost.Size();
    if (HostSize < Needed) {
      if (!FAllowShort)
        throw ETolvanException::CreateFmt(ErrBLOBPlainHostTooSmall, SStreamSizeTooSmall, HostSize,
                                          Needed);
      // Allowed short, the value is what the host holds, as a compressed one keeps the blocks
      // found: an append then lands at the host's end, not at a length it never had.
      FUncompressedSize = HostSize - FDescriptor.StartOffset;
    }
  }
  SyncDescriptor();
}

TTolvanCompressedBLOBStream::~TTolvanCompressedBLOBStream() = default;

void TTolvanCompressedBLOBStream::InitCompressed(bool IsNew) {
  if (IsNew) {
    if (FDescriptor.BlockSize == 0)
      FDescriptor.BlockSize = DefaultBLOBBlockSize(FMode);
    FDescriptor.BlockCount = 0;
  }
  // Every position is divided by the block size, and the headers are counted by the block count.
  if (FDescriptor.BlockSize <= 0)
    RaiseDamaged(SInvalidStreamSize, FDescriptor.BlockSize, DefaultBLOBBlockSize(FMode));
  if (FDescriptor.BlockCount < 0)
    RaiseDamaged(SInvalidStreamSize, FDescriptor.BlockCount, 0);
  FBlockBytes = FDescriptor.BlockSize;
  SetBlockSize(FDescriptor.BlockSize);
  FUncompressedSize = 0;
  LoadBlockHeaders();
  FCurrentBlock = 0;
  FPosition = 0;
}

// The value's length is the sum of its headers; the descriptor's length is not read. The header
// count only grows with headers actually found in the host, so a damaged block count cannot
// allocate beyond what the host holds.
void TTolvanCompressedBLOBStream::LoadBlockHeaders() {
  const int64_t Start = FDescriptor.StartOffset;
  if (FHost.Position() != Start)
    throw ETolvanException::CreateFmt(ErrBLOBLoadHeadersPosition, SCannotSetStreamPosition, Start,
                                      FHost.Position(), FHost.Size());
  const int64_t HostSize = FHost.Size();
  const int64_t Count = FDescriptor.BlockCount;
  int64_t Offset = Start;
  int64_t I = 0;
  for (; I < Count; ++I) {
    if (HostSize - Offset < BLOBBlockHeaderSize)
      break;
    uint8_t Raw[BLOBBlockHeaderSize];
    ReadStreamBuffer(Raw, BLOBBlockHeaderSize, FHost, ErrBLOBDamaged);
    const TBlockHeader H = LoadBlockHeader(Raw);
    if (H.CompressedSize > HostSize - Offset - BLOBBlockHeaderSize) {
      if (FAllowShort)
        break;
      RaiseDamaged(SStreamSizeTooSmall, HostSize,
                   OffsetSum(Offset, BLOBBlockHeaderSize + int64_t(H.CompressedSize)));
    }
    CheckBlockHeader(H, I);
    FUncompressedSize += H.UncompressedSize;
    FBlocks.Add(H, Offset);
    Offset += H.Span;
    SetStreamPosition(FHost, Offset, ErrBLOBLoadHeadersSeek);
  }
  if (I < Count) {
    if (!FAllowShort)
      RaiseDamaged(SStreamSizeTooSmall, HostSize, OffsetSum(Offset, BLOBBlockHeaderSize));
    FDescriptor.BlockCount = I;
  }
}

// A header must describe data inside the host, chain to the next header, and hold the bytes the
// layout gives its block: BlockSize, or 1 to BlockSize for the last one.
void TTolvanCompressedBLOBStream::CheckBlockHeader(const TBlockHeader& Header,
                                                   int64_t Index) const {
  if (Header.CompressedSize < 1)
    RaiseDamaged(SStreamSizeTooSmall, Header.CompressedSize, 1);
  if (Header.Span != BLOBBlockHeaderSize + int64_t(Header.CompressedSize))
    RaiseDamaged(SInvalidStreamSize, Header.Span,
                 BLOBBlockHeaderSize + int64_t(Header.CompressedSize));
  const bool Last = Index == FDescriptor.BlockCount - 1;
  if (!Last && Header.UncompressedSize != FBlockBytes)
    RaiseDamaged(SInvalidStreamSize, Header.UncompressedSize, FBlockBytes);
  if (Header.UncompressedSize < 1)
    RaiseDamaged(SStreamSizeTooSmall, Header.UncompressedSize, 1);
  if (Header.UncompressedSize > FBlockBytes)
    RaiseDamaged(SInvalidStreamSize, Header.UncompressedSize, FBlockBytes);
}

// ---------------------------------------------------------------------------------------------
// The block index

int64_t TTolvanCompressedBLOBStream::EndOfBlocks() const {
  const int64_t N = FBlocks.Count();
  if (N == 0)
    return FDescriptor.StartOffset;
  return FBlocks.Positions()[N - 1] + FBlocks.Headers()[N - 1].Span;
}

// ---------------------------------------------------------------------------------------------
// Blocks

void TTolvanCompressedBLOBStream::ReserveCache(int64_t Size) {
  if (Size <= FCacheCapacity)
    return;
  // Appends in small pieces grow the last block a little at a time.
  const int64_t Doubled = std::min(FBlockBytes, FCacheCapacity * 2);
  Reserve(FCache, FCacheCapacity, std::max(Size, Doubled));
}

uint8_t* TTolvanCompressedBLOBStream::DecompressBlock(int64_t I) {
  if (I == FCacheBlock)
    return FCache.get();
  const TBlockHeader& Header = FBlocks.Headers()[I];
  const int32_t InSize = Header.CompressedSize;
  const int64_t At = FBlocks.Positions()[I] + BLOBBlockHeaderSize;
  Reserve(FInput, FInputCapacity, InSize);
  SetStreamPosition(FHost, At, ErrBLOBReadBlock);
  const int64_t Got = FHost.Read(FInput.get(), InSize);
  if (Got != InSize)
    throw ETolvanException::CreateFmt(ErrBLOBReadBlock, SCannotReadFromStream, At, FHost.Size(),
                                      InSize, Got);

  void* Out = nullptr;
  int32_t OutSize = Header.UncompressedSize;
  if (!DecompressBuffer(FAlgorithm, FInput.get(), InSize, Out, OutSize))
    throw ETolvanException::CreateFmt(ErrBLOBDecompress, SDecompressBufferFailed,
                                      int32_t(FAlgorithm), InSize, OutSize);
  const std::unique_ptr<void, TFreeDeleter> Output(Out);
  if (OutSize != Header.UncompressedSize)
    throw ETolvanException::CreateFmt(ErrBLOBDecompressSize, SDecompressBufferSizeMismatch, OutSize,
                                      Header.UncompressedSize);
  const uint32_t Crc = UpdateCrc32(0, Out, OutSize);
  if (Crc != Header.Crc32)
    throw ETolvanException::CreateFmt(ErrBLOBChecksum, SDecompressBufferChecksumMismatch, Crc,
                                      Header.Crc32);

  FCacheBlock = -1;
  ReserveCache(OutSize);
  std::memcpy(FCache.get(), Out, size_t(OutSize));
  FCacheSize = OutSize;
  FCacheBlock = I;
  return FCache.get();
}

void TTolvanCompressedBLOBStream::CompressBlock(const uint8_t* Data, int32_t Size,
                                                TCompressedBlock& Out) const {
  Out.Header.UncompressedSize = Size;
  Out.Header.Crc32 = UpdateCrc32(0, Data, Size);
  void* P = nullptr;
  int32_t OutSize = 0;
  if (!CompressBuffer(FAlgorithm, FMode, Data, Size, P, OutSize))
    throw ETolvanException::CreateFmt(ErrBLOBCompress, SCompressBufferFailed, int32_t(FAlgorithm),
                                      int32_t(FMode), Size, OutSize);
  Out.Data.reset(P);
  Out.Header.CompressedSize = OutSize;
  Out.Header.Span = BLOBBlockHeaderSize + int64_t(OutSize);
}

void TTolvanCompressedBLOBStream::WriteBlock(int64_t I, int64_t Position, const uint8_t* Data,
                                             int32_t Size) {
  if (I == FCacheBlock && Data != FCache.get())
    FCacheBlock = -1;
  TCompressedBlock B;
  CompressBlock(Data, Size, B);
  SetStreamPosition(FHost, Position, ErrBLOBWriteBlockPosition);
  uint8_t Raw[BLOBBlockHeaderSize];
  StoreBlockHeader(B.Header, Raw);
  WriteStreamBuffer(Raw, BLOBBlockHeaderSize, FHost, ErrBLOBWriteHeader);
  WriteStreamBuffer(B.Data.get(), B.Header.CompressedSize, FHost, ErrBLOBWriteData);
  if (I < FBlocks.Count())
    FBlocks.Headers()[I] = B.Header;
  else
    FBlocks.Add(B.Header, Position);
}

void TTolvanCompressedBLOBStream::CutHost(int64_t End, int32_t ErrorCode) {
  if (FHost.Size() <= End)
    return;
  FHost.SetSize(End);
  const int64_t Now = FHost.Size();
  if (Now != End)
    throw ETolvanException::CreateFmt(ErrorCode, SInvalidStreamSize, Now, End);
}

void TTolvanCompressedBLOBStream::SyncDescriptor() {
  FDescriptor.UncompressedSize = FUncompressedSize;
  if (Compressed())
    FDescriptor.BlockCount = FBlocks.Count();
}

// ---------------------------------------------------------------------------------------------
// Stream operations

int64_t TTolvanCompressedBLOBStream::Seek(int64_t Offset, TSeekOrigin Origin) {
  int64_t Target;
  if (!SeekTarget(FPosition, FUncompressedSize, Offset, Origin, Target))
    return -1;
  FPosition = Target > 0 ? Target : 0;
  return FPosition;
}

int64_t TTolvanCompressedBLOBStream::Read(void* Buffer, int64_t Count) {
  if (!Compressed())
    return ReadPlain(Buffer, Count);
  if (Count < 1 || FPosition >= FUncompressedSize)
    return 0;
  auto* Dest = static_cast<uint8_t*>(Buffer);
  int64_t Done = 0;
  FCurrentBlock = FPosition / FBlockBytes;
  while (FPosition < FUncompressedSize && Done < Count) {
    if (FCurrentBlock >= FBlocks.Count())
      throw ETolvanException::CreateFmt(ErrBLOBReadSize, SCannotReadFromStreamReadSize, int64_t(0));
    const uint8_t* Block = DecompressBlock(FCurrentBlock);
    const int64_t Offset = FPosition % FBlockBytes;
    const int64_t N = std::min({FBlockBytes - Offset, Count - Done, FUncompressedSize - FPosition});
    if (N <= 0 || Offset + N > FCacheSize)
      throw ETolvanException::CreateFmt(ErrBLOBReadSize, SCannotReadFromStreamReadSize, N);
    std::memcpy(Dest + Done, Block + Offset, size_t(N));
    Done += N;
    FPosition += N;
    if (Done < Count && FPosition < FUncompressedSize)
      ++FCurrentBlock;
  }
  return Done;
}

int64_t TTolvanCompressedBLOBStream::Write(const void* Buffer, int64_t Count) {
  const int64_t Written = Compressed() ? WriteCompressed(static_cast<const uint8_t*>(Buffer), Count)
                                       : WritePlain(Buffer, Count);
  SyncDescriptor();
  return Written;
}

void TTolvanCompressedBLOBStream::SetSize(int64_t NewSize) {
  if (NewSize < 0)
    NewSize = 0;
  const int64_t Position = FPosition;
  if (!Compressed()) {
    int64_t End;
    if (__builtin_add_overflow(FDescriptor.StartOffset, NewSize, &End))
      throw ETolvanException::CreateFmt(ErrBLOBExtendSize, SInvalidStreamSize, NewSize,
                                        INT64_MAX - FDescriptor.StartOffset);
    FHost.SetSize(End);
  } else if (NewSize > FUncompressedSize) {
    ExtendWithZeros(NewSize);
  } else if (NewSize < FUncompressedSize) {
    Truncate(NewSize);
  }
  FUncompressedSize = NewSize;
  FPosition = std::min(Position, NewSize);
  SyncDescriptor();
}

// ---------------------------------------------------------------------------------------------
// Plain values

int64_t TTolvanCompressedBLOBStream::ReadPlain(void* Buffer, int64_t Count) {
  if (Count < 1 || FPosition >= FUncompressedSize)
    return 0;
  const int64_t N = std::min(Count, FUncompressedSize - FPosition);
  int64_t At;
  if (__builtin_add_overflow(FDescriptor.StartOffset, FPosition, &At) ||
      FHost.Seek(At, soBeginning) != At)
    return 0;
  const int64_t Got = FHost.Read(Buffer, N);
  if (Got <= 0)
    return 0;
  FPosition += Got;
  return Got;
}

int64_t TTolvanCompressedBLOBStream::WritePlain(const void* Buffer, int64_t Count) {
  int64_t At, End;
  if (Count < 1 || __builtin_add_overflow(FDescriptor.StartOffset, FPosition, &At) ||
      __builtin_add_overflow(At, Count, &End))
    return 0;
  if (FHost.Seek(At, soBeginning) != At)
    return 0;
  const int64_t Written = FHost.Write(Buffer, Count);
  if (Written <= 0)
    return 0;
  FPosition += Written;
  FUncompressedSize = std::max(FUncompressedSize, FPosition);
  return Written;
}

// ---------------------------------------------------------------------------------------------
// Compressed values: append, extension, truncation

int64_t TTolvanCompressedBLOBStream::WriteCompressed(const uint8_t* Buffer, int64_t Count) {
  if (Count < 1 || FPosition < FUncompressedSize || Count > INT64_MAX - FPosition)
    return 0;
  if (FPosition > FUncompressedSize)
    ExtendTo();

  int64_t Left = Count;
  FCurrentBlock = FBlocks.Count() > 0 ? FBlocks.Count() - 1 : 0;
  const int64_t Rest = FPosition % FBlockBytes;
  if (Rest > 0) {
    // The last block is partial: fill it up and rewrite it where it stands.
    DecompressBlock(FCurrentBlock);
    if (FCacheSize != Rest)
      throw ETolvanException::CreateFmt(ErrBLOBDecompressSize, SDecompressBufferSizeMismatch,
                                        FCacheSize, Rest);
    const int64_t N = std::min(Left, FBlockBytes - Rest);
    ReserveCache(Rest + N);
    std::memcpy(FCache.get() + Rest, Buffer, size_t(N));
    FCacheBlock = -1;
    WriteBlock(FCurrentBlock, FBlocks.Positions()[FCurrentBlock], FCache.get(),
               int32_t(Rest + N));
    FCacheBlock = FCurrentBlock;
    FCacheSize = Rest + N;
    Buffer += N;
    Left -= N;
    FPosition += N;
    FUncompressedSize = FPosition;
    ++FCurrentBlock;
  }
  if (Left > 0) {
    FCurrentBlock = FBlocks.Count();
    SetStreamPosition(FHost, EndOfBlocks(), ErrBLOBAppendPosition);
    while (Left > 0) {
      const int64_t N = std::min(Left, FBlockBytes);
      WriteBlock(FCurrentBlock, EndOfBlocks(), Buffer, int32_t(N));
      Buffer += N;
      Left -= N;
      FPosition += N;
      FUncompressedSize = FPosition;
      ++FCurrentBlock;
    }
  }
  --FCurrentBlock;
  // A rewritten last block may have come out shorter than before.
  CutHost(EndOfBlocks(), ErrBLOBTruncateHostSize);
  return Count;
}

void TTolvanCompressedBLOBStream::ExtendTo() {
  const int64_t Target = FPosition;
  Seek(0, soBeginning);
  SetSize(Target);
  Seek(Target, soBeginning);
  if (FPosition != Target)
    throw ETolvanException::CreateFmt(ErrBLOBExtendPosition, SCannotSetStreamPosition, Target,
                                      FPosition, FUncompressedSize);
  if (FUncompressedSize != Target)
    throw ETolvanException::CreateFmt(ErrBLOBExtendSize, SInvalidStreamSize, FUncompressedSize,
                                      Target);
}

// Zeros go in through Write in pieces that end on block boundaries, so each block is compressed
// once.
void TTolvanCompressedBLOBStream::ExtendWithZeros(int64_t NewSize) {
  Seek(FUncompressedSize, soBeginning);
  const int64_t Extension = NewSize - FUncompressedSize;
  if (Extension <= 0)
    throw ETolvanException::CreateFmt(ErrBLOBExtensionSize, SInvalidExtensionSize, NewSize,
                                      FUncompressedSize, Extension);
  const TEngineBlock<uint8_t> Zeros(
      static_cast<uint8_t*>(TTolvanMemoryManager::AllocMem(std::min(Extension, FBlockBytes))));
  while (FUncompressedSize < NewSize) {
    const int64_t Room = FBlockBytes - FUncompressedSize % FBlockBytes;
    const int64_t N = std::min(Room, NewSize - FUncompressedSize);
    const int64_t Written = Write(Zeros.get(), N);
    if (Written != N)
      throw ETolvanException::CreateFmt(ErrBLOBExtendWrite, SCannotWriteToStream, FPosition,
                                        FUncompressedSize, N, Written);
  }
}

// The host is cut behind the new last block, so the bytes of dropped blocks leave the stored
// value.
void TTolvanCompressedBLOBStream::Truncate(int64_t NewSize) {
  const int64_t Blocks = NewSize / FBlockBytes;
  const int64_t Rest = NewSize % FBlockBytes;
  const int64_t NewCount = Blocks + (Rest > 0 ? 1 : 0);
  TCompressedBlock B;
  if (Rest > 0)
    CompressBlock(DecompressBlock(Blocks), int32_t(Rest), B);
  const int64_t Cached = FCacheBlock;
  FCacheBlock = -1;
  FBlocks.SetCount(NewCount);
  FDescriptor.BlockCount = NewCount;
  if (Rest == 0) {
    CutHost(EndOfBlocks(), ErrBLOBTruncateHostSize);
    if (Cached < NewCount)
      FCacheBlock = Cached;
    return;
  }

  const int64_t At = FBlocks.Positions()[Blocks];
  CutHost(At, ErrBLOBTruncateHostSize);
  SetStreamPosition(FHost, At, ErrBLOBTruncatePosition);
  uint8_t Raw[BLOBBlockHeaderSize];
  StoreBlockHeader(B.Header, Raw);
  if (FHost.Write(Raw, BLOBBlockHeaderSize) != BLOBBlockHeaderSize)
    throw ETolvanException::Create(ErrBLOBTruncateHeader, SErrorWritingToStream);
  if (FHost.Write(B.Data.get(), B.Header.CompressedSize) != B.Header.CompressedSize)
    throw ETolvanException::Create(ErrBLOBTruncateData, SErrorWritingToStream);
  FBlocks.Headers()[Blocks] = B.Header;
  FCacheBlock = Blocks;
  FCacheSize = Rest;
}

} // namespace tolvan
