// TolvanStreams.h: the engine's streams and the checked stream I/O of its stored formats.
//
// TTolvanStream adds to the class library's TStream what every engine stream has: block-wise
// copying (SaveToStream, CopyFromStream) with a progress event that may cancel, a read/write
// lock for callers that share the stream between threads, and the Modified flag that the BLOB
// writers set. TTolvanMemoryStream keeps its bytes in one engine memory block that it owns;
// TTolvanFileStream is one operating-system file that it opens and closes.
//
// WriteStreamBuffer / ReadStreamBuffer / SetStreamPosition are how stored formats write and
// read their fields: each raises the native code its caller passes, so a failure names the
// field that failed.
//
// Positions are never clamped by Seek: a memory stream may be positioned past its end, and the
// next write extends it. The bytes of such a gap, like every byte a memory stream gains when it
// grows, are zero, so the same data always saves to the same bytes. A position that cannot be
// represented (an offset that overflows) is refused: Seek returns -1 and the position stays.
// Reading or writing at a negative position transfers nothing.
//
// File names: a narrow name is passed to the system byte for byte, a wide name as UTF-8. The
// temporary directory is $TMPDIR (when set and valid UTF-8) or /tmp, captured once at start-up,
// with a trailing '/'.
//
// Sharing: the system's files have no mandatory sharing modes, so the mode word's sharing is
// enforced among the engine's own file streams of this process: a registry of open files
// (by device and inode) with their access and sharing refuses an open that conflicts with one
// already there, as the mode word promises. Other processes are not held off.
//
// Threads: a stream's operations take no lock; callers that share a stream bracket its use
// with Lock / Unlock (shared readers, one writer, re-entrant per thread). The sharing registry
// and TempDirectory may be used from any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string_view>

#include "classlib/ByteOrder.h"
#include "classlib/Classes.h"
#include "classlib/Strings.h"
#include "foundation/TolvanCriticalSection.h"

namespace tolvan {

// Native codes of this unit.
inline constexpr int32_t ErrCannotCreateFile = 10104;
inline constexpr int32_t ErrCannotOpenFile = 10105;
inline constexpr int32_t ErrSaveToStreamRead = 10146;
inline constexpr int32_t ErrSaveToStreamWrite = 10147;
inline constexpr int32_t ErrCopyFromStreamRead = 10148;
inline constexpr int32_t ErrCopyFromStreamWrite = 10149;
inline constexpr int32_t ErrSaveToStreamBlockSize = 10418;
inline constexpr int32_t ErrCopyFromStreamBlockSize = 10419;

inline constexpr int32_t DefaultStreamBlockSize = 102400;
// From this capacity on a memory stream grows by at least half its capacity.
inline constexpr int64_t GeometricStreamGrowth = int64_t(2) << 20;

class TTolvanStream : public TStream {
public:
  // Sender, the stream's Cancel flag (set it to stop a copy after the current block), percent.
  using TProgressEvent = std::function<void(TTolvanStream& Sender, bool& Cancel, double Percent)>;

  ~TTolvanStream() override;

  // Shared (Exclusive false) or exclusive access, re-entrant per thread; one Unlock each.
  virtual void Lock(bool Exclusive);
  virtual void Unlock();
  // The stream's lock, owned by the stream; made on first use.
  TTolvanReadWriteThreadSyncByCriticalSections& ThreadSync();

  // Copies the whole stream into Dest at Dest's position, block by block. Both positions are
  // restored afterwards, also when the copy fails or is cancelled.
  void SaveToStream(TStream& Dest);
  // CopyFromStream(Source, 0, Source's size).
  void LoadFromStream(TStream& Source);
  // Replaces the contents by Count bytes of Source from Offset. Positions as SaveToStream.
  void CopyFromStream(TStream& Source, int64_t Offset, int64_t Count);
  // Creates (replaces) the file and saves the stream into it.
  void SaveToFile(const AnsiString& FileName);

  // The chunk size of the block copies.
  int32_t BlockSize() const { return FBlockSize; }
  void SetBlockSize(int32_t Value) { FBlockSize = Value; }
  const TProgressEvent& OnProgress() const { return FOnProgress; }
  void SetOnProgress(TProgressEvent Handler) { FOnProgress = std::move(Handler); }
  // BLOB data was written into the stream: set by the BLOB writers, never by the stream.
  bool Modified() const { return FModified; }
  void SetModified(bool Value) { FModified = Value; }
  bool Cancel() const { return FCancel; }
  void SetCancel(bool Value) { FCancel = Value; }

  virtual std::string_view ClassName() const { return "TTolvanStream"; }

protected:
  TTolvanStream() = default;
  void DoProgress(double Percent);

private:
  std::atomic<TTolvanReadWriteThreadSyncByCriticalSections*> FThreadSync{nullptr};
  int32_t FBlockSize = DefaultStreamBlockSize;
  TProgressEvent FOnProgress;
  bool FModified = false;
  bool FCancel = false;
};

// The stream over one engine memory block. Read and Write are a bounds check and a copy; only
// a write past the end goes out of line to grow the block.
//
// Growth: the first block has max(size, 1024) bytes; a block too small grows by the memory
// manager's size-class quantum of its capacity (1020 from a capacity of 4) - from a capacity of
// 2 MiB on by half its capacity when that is more - or at once to the size asked when that is
// more still, rounded up to a multiple of 4. A large stream written piece by piece is so moved a
// bounded number of times while small streams grow as they always have.
// A shrink gives memory back only when it frees at least a quantum. Reserve sets the capacity
// ahead of writes that are known to come.
//
// Release 3.90 keeps no spare room: the block is always exactly the stream's size (Capacity()
// equals Size, Reserve does nothing), so every write that extends the stream reallocates the
// block to the new end, and a size beyond Int32 is a range error.
//
// Every byte the stream gains without a write (a SetSize that grows it, the gap before a write
// past the end) reads as zero. Bytes between the size and the capacity are not the stream's and
// have no defined value: a write into them only copies, so growth clears nothing it is about to
// overwrite.
class TTolvanMemoryStream : public TTolvanStream {
public:
  // Block nil: an empty stream. Otherwise the stream adopts Block, an engine memory block, with
  // BlockSize bytes (all of the block when negative; more than the block has is refused with
  // ERangeError, and the caller keeps the block).
  explicit TTolvanMemoryStream(void* Block = nullptr, int32_t BlockSize = -1);
  ~TTolvanMemoryStream() override;

  int64_t GetSize() final { return FSize; }
  void SetSize(int64_t NewSize) final;
  int64_t Seek(int64_t Offset, TSeekOrigin Origin) final;

  int64_t Read(void* Buffer, int64_t Count) final {
    if (Count <= 0 || FPosition < 0 || FPosition >= FSize)
      return 0;
    const int64_t N = FSize - FPosition < Count ? FSize - FPosition : Count;
    std::memcpy(Buffer, FMemory + FPosition, static_cast<size_t>(N));
    FPosition += N;
    return N;
  }

  int64_t Write(const void* Buffer, int64_t Count) final {
    if (Count <= 0 || FPosition < 0 || Count > INT64_MAX - FPosition)
      return 0;
    const int64_t End = FPosition + Count;
    if (End > FSize)
      Extend(End);
    std::memcpy(FMemory + FPosition, Buffer, static_cast<size_t>(Count));
    FPosition = End;
    return Count;
  }

  // The block (nil when empty); valid until the next size change.
  uint8_t* Memory() const { return FMemory; }
  int64_t Capacity() const { return FCapacity; }
  // Grows the block to at least NewCapacity bytes without changing the size or the position;
  // never shrinks it. Fails like a growing SetSize.
  void Reserve(int64_t NewCapacity);

  std::string_view ClassName() const override { return "TTolvanMemoryStream"; }

private:
  // Moves the size to End (> size) for a write from the position: the gap before the position
  // is cleared, the written part is left to the caller.
  void Extend(int64_t End) {
    if (End > FCapacity)
      GrowFor(End);
    if (FPosition > FSize)
      std::memset(FMemory + FSize, 0, static_cast<size_t>(FPosition - FSize));
    FSize = End;
  }
  void GrowFor(int64_t End);
  void SetCapacity(int64_t Capacity);
  // Release 3.90: the block becomes exactly Capacity bytes; beyond Int32 is a range error.
  void SetExactCapacity(int64_t Capacity);
  // Empties the stream and frees its block.
  void FreeBlock();

  uint8_t* FMemory = nullptr;
  int64_t FPosition = 0;
  int64_t FSize = 0;
  int64_t FCapacity = 0;
};

// One operating-system file. The mode word (Classes.h) is read differently for narrow and wide
// names, as the two constructors say; fmCreate creates or empties the file either way.
class TTolvanFileStream : public TTolvanStream {
public:
  // fmCreate: create or empty the file, read and write, no sharing; failure raises 10104.
  // Otherwise open an existing file with the access of the low two bits (3 is refused) and
  // the sharing of bits 4-6 ($00 and $10 none, $20 read, $30 write, $40 both; above $40 is
  // refused); failure raises 10105.
  TTolvanFileStream(const AnsiString& FileName, uint16_t Mode);
  // Access: read and write for fmCreate or bit $02, else write for bit $01, else read.
  // Sharing: none for bit $10, else read for bit $20, else both ($30 shares nothing).
  // Failure raises 10104 for fmCreate, else 10105.
  TTolvanFileStream(const WideString& FileName, uint16_t Mode);
  ~TTolvanFileStream() override;

  int64_t GetSize() override;
  // Sets the end of the file at NewSize; the position stays unless it lay beyond. A failure
  // raises EOSError.
  void SetSize(int64_t NewSize) override;
  // A failed call counts as 0 bytes.
  int64_t Read(void* Buffer, int64_t Count) override;
  int64_t Write(const void* Buffer, int64_t Count) override;
  // The system's file pointer; -1 when it refuses the move (the position then stays).
  int64_t Seek(int64_t Offset, TSeekOrigin Origin) override;

  // Reads or writes at Offset without moving the file pointer; the bytes transferred (a read
  // stops early at the end of the file, a failure stops the transfer).
  int64_t ReadAt(int64_t Offset, void* Buffer, int64_t Count);
  int64_t WriteAt(int64_t Offset, const void* Buffer, int64_t Count);

  int Handle() const { return FHandle; }
  // The name it was opened by; only one of the two is set.
  const AnsiString& FileName() const { return FFileName; }
  const WideString& WideFileName() const { return FWideFileName; }
  uint16_t Mode() const { return FMode; }
  uint32_t FlagsAndAttributes() const { return FFlagsAndAttributes; }

  std::string_view ClassName() const override { return "TTolvanFileStream"; }

private:
  void Open(const std::string& Path, uint16_t Mode, bool Wide);

  int FHandle = -1;
  uint64_t FDevice = 0; // the file's identity in the sharing registry
  uint64_t FInode = 0;
  AnsiString FFileName;
  WideString FWideFileName;
  uint16_t FMode = 0;
  uint32_t FFlagsAndAttributes = 0;
};

// The position a seek asks for, from the stream's current position and size: false when the
// sum overflows (the stream refuses the seek). An unknown origin asks for the current position.
inline bool SeekTarget(int64_t Position, int64_t Size, int64_t Offset, TSeekOrigin Origin,
                       int64_t& Target) noexcept {
  switch (Origin) {
  case soBeginning:
    Target = Offset;
    return true;
  case soCurrent:
    return !__builtin_add_overflow(Position, Offset, &Target);
  case soEnd:
    return !__builtin_add_overflow(Size, Offset, &Target);
  default:
    Target = Position;
    return true;
  }
}

// Checked I/O. A short transfer raises ErrorCode with the position the transfer started at, the
// stream's size afterwards, Count and the bytes transferred.
[[noreturn]] void RaiseStreamWriteError(TStream& Stream, int64_t Count, int64_t Written,
                                        int32_t ErrorCode);
[[noreturn]] void RaiseStreamReadError(TStream& Stream, int64_t Count, int64_t Read,
                                       int32_t ErrorCode);

// A stream's transfer moves its position by the bytes transferred, so the starting position of
// a short one is found afterwards and the common case costs one call.
inline void WriteStreamBuffer(const void* Buffer, int64_t Count, TStream& Stream,
                              int32_t ErrorCode) {
  const int64_t Written = Stream.Write(Buffer, Count);
  if (Written != Count)
    RaiseStreamWriteError(Stream, Count, Written, ErrorCode);
}

inline void ReadStreamBuffer(void* Buffer, int64_t Count, TStream& Stream, int32_t ErrorCode) {
  const int64_t Done = Stream.Read(Buffer, Count);
  if (Done != Count)
    RaiseStreamReadError(Stream, Count, Done, ErrorCode);
}

// One stored scalar, little-endian, through the checked I/O above: each element of a stream form
// is one line with its own code.
template <class T>
requires std::is_trivially_copyable_v<T>
inline void WriteStreamValue(TStream& Stream, T Value, int32_t ErrorCode) {
  unsigned char Bytes[sizeof(T)];
  StoreLE<T>(Bytes, Value);
  WriteStreamBuffer(Bytes, sizeof(T), Stream, ErrorCode);
}

template <class T>
requires std::is_trivially_copyable_v<T>
inline T ReadStreamValue(TStream& Stream, int32_t ErrorCode) {
  unsigned char Bytes[sizeof(T)];
  ReadStreamBuffer(Bytes, sizeof(T), Stream, ErrorCode);
  return LoadLE<T>(Bytes);
}

// Sets the position and raises ErrorCode when the stream does not end up there.
void SetStreamPosition(TStream& Stream, int64_t Position, int32_t ErrorCode);

// The bytes between the position and the end, 0 when the position is outside: what a loader
// checks every count read from the stream against before it allocates.
inline int64_t StreamBytesLeft(TStream& Stream) {
  const int64_t Position = Stream.Position();
  const int64_t Size = Stream.Size();
  return Position >= 0 && Size > Position ? Size - Position : 0;
}

// Temporary files and file tests.

// The system's temporary directory, with a trailing '/'.
WideString GetTempDirectory();
// GetTempDirectory as captured at start-up.
const WideString& TempDirectory();
// Replaces the captured directory (empty: none known). For start-up and tests only: no other
// thread may use temporary files meanwhile.
void SetTempDirectory(const WideString& Directory);
// Creates a new empty file "ACR<unique>.tmp" in TempDirectory and returns its name; empty when
// none can be made (no directory known, or the system refuses).
WideString MakeTempFileName();
// True when the file can be opened for reading while others read and write it: a missing or
// unreadable file, a directory, or a file an engine stream holds without read sharing reads as
// absent. The wide name is tested when it is not empty, else the narrow name; both empty: False.
bool FileExistsEx(const AnsiString& AnsiName, const WideString& WideName);

} // namespace tolvan
