// TolvanTempStreams.h: the engine's scratch streams.
//
// TTolvanTempFileStream keeps its bytes in a temporary file of its own ("ACR....tmp" in
// TempDirectory), made when the stream is created and deleted when it is freed, behind a
// one-block write-back cache of 32768 bytes. Block k covers the bytes k * 32768 to
// (k + 1) * 32768 - 1. A write that reaches the end of a block sends that block to the file at
// once; the block a write ends inside stays in the cache, dirty, until another block is needed
// or the size is set, so sequential writes reach the file in whole blocks. The logical size is
// the stream's own: the file may be shorter while the tail is still cached or was never
// written, and such bytes read as zero.
//
// TTolvanTemporaryStream is a memory stream that moves to a TTolvanTempFileStream when it is
// explicitly sized beyond Threshold (1 MiB). Writes never move it, however much they add, and
// nothing moves it back.
//
// Failures: Read and Write report a block that cannot be loaded or written as a short count
// (the checked I/O of the caller turns that into its error); writing back a dirty block before
// another is used, and SetSize, raise 11698. Setting the file's length surfaces as EOSError.
//
// Threads: a temporary file stream lives inside one temporary stream and is never locked
// itself; a temporary stream is shared between threads only under its Lock.
#pragma once

#include <cstdint>
#include <memory>

#include "foundation/TolvanMemory.h"
#include "foundation/TolvanStreams.h"

namespace tolvan {

inline constexpr int32_t ErrTempStreamWrite = 11698;

inline constexpr int32_t TempStreamBlockSize = 32768;
inline constexpr int32_t TempStreamThreshold = 1048576;

class TTolvanTempFileStream : public TTolvanStream {
public:
  // Makes the temporary file and opens it (10104 when either fails).
  TTolvanTempFileStream();
  ~TTolvanTempFileStream() override;

  int64_t GetSize() override { return FSize; }
  void SetSize(int64_t NewSize) override;
  int64_t Read(void* Buffer, int64_t Count) override;
  int64_t Write(const void* Buffer, int64_t Count) override;
  int64_t Seek(int64_t Offset, TSeekOrigin Origin) override;

  // Writes the dirty block, if any, to the file; 11698 on failure (the block stays dirty).
  void Flush();

  // The file's name as made; the file is gone once the stream is freed.
  const WideString& FileName() const { return FName.Name; }
  TTolvanFileStream& File() { return *FFile; }
  // The cached block (-1: none), its bytes that belong to the stream, and the cached block when
  // the file lacks some of them (-1: none).
  int64_t BufferBlock() const { return FBufferBlock; }
  int64_t BufferValid() const { return FBufferValid; }
  int64_t DirtyBlock() const { return FDirtyBlock; }

  std::string_view ClassName() const override { return "TTolvanTempFileStream"; }

private:
  // Deletes the file when the stream goes, after the file stream has closed it.
  struct TTempName {
    WideString Name;
    ~TTempName();
  };

  bool LoadBlock(int64_t Block);
  int64_t WriteBlock(); // bytes written of the cached block's valid ones

  std::unique_ptr<uint8_t, TTolvanMemDeleter> FBuffer;
  TTempName FName;
  std::unique_ptr<TTolvanFileStream> FFile;
  int64_t FBufferBlock = -1;
  int64_t FBufferValid = 0; // bytes of the cached block from its start; the rest are zero
  int64_t FPosition = 0;
  int64_t FSize = 0;
  int64_t FDirtyBlock = -1;
  int64_t FFileSize = 0; // the file's length: never more than FSize
};

class TTolvanTemporaryStream : public TTolvanStream {
public:
  TTolvanTemporaryStream();

  int64_t GetSize() override { return FInMemory ? FMemory.GetSize() : FFileStream->GetSize(); }
  // Up to Threshold in memory; beyond, the bytes move to a temporary file first.
  void SetSize(int64_t NewSize) override;
  int64_t Read(void* Buffer, int64_t Count) override {
    return FInMemory ? FMemory.Read(Buffer, Count) : FFileStream->Read(Buffer, Count);
  }
  int64_t Write(const void* Buffer, int64_t Count) override {
    return FInMemory ? FMemory.Write(Buffer, Count) : FFileStream->Write(Buffer, Count);
  }
  int64_t Seek(int64_t Offset, TSeekOrigin Origin) override {
    return FInMemory ? FMemory.Seek(Offset, Origin) : FFileStream->Seek(Offset, Origin);
  }

  int32_t Threshold() const { return FThreshold; }
  bool InMemory() const { return FInMemory; }
  // The inner stream of the current side; nil for the other.
  TTolvanMemoryStream* MemoryStream() { return FInMemory ? &FMemory : nullptr; }
  TTolvanTempFileStream* FileStream() { return FFileStream.get(); }

  std::string_view ClassName() const override { return "TTolvanTemporaryStream"; }

private:
  void MoveToFile(int64_t NewSize);

  int32_t FThreshold = TempStreamThreshold;
  // Held in place rather than allocated: most temporary streams never leave memory. Emptied when
  // the stream moves to its file.
  TTolvanMemoryStream FMemory;
  std::unique_ptr<TTolvanTempFileStream> FFileStream;
  bool FInMemory = true;
};

} // namespace tolvan
