// TolvanLocalBLOBStream.h: the stream a cursor hands out for one BLOB, MEMO or WIDEMEMO field.
//
// It forwards to a compressed BLOB stream over a temporary host stream, both its own. A stream
// opened for reading refuses writes and size changes. A write or a size change marks it
// Written (as the dataset's BLOB writers mark Modified), so closing it stores the value into the
// record buffer only when something was written.
//
// Ownership: owns the BLOB stream and its host (the BLOB stream goes first); the cursor and the
// owner (the dataset's BLOB stream that wraps this one) are referred to. The engine never frees
// an owner: where it lets go of a stream that has one, it calls the owner's CloseFromEngine, which
// may close the field through the cursor again (the cursor's loops tolerate that).
//
// Threads: one thread at a time, like every stream.
#pragma once

#include <cstdint>
#include <memory>

#include "foundation/TolvanBLOBStream.h"
#include "foundation/TolvanStreams.h"
#include "schema/TolvanCursor.h"

namespace tolvan {

inline constexpr int32_t ErrBlobStreamWriteReadOnly = 10115;
inline constexpr int32_t ErrBlobStreamSetSizeReadOnly = 10116;

// The dataset-level stream that wraps a cursor's BLOB stream, as the engine sees it.
class ITolvanBlobStreamOwner {
public:
  // The engine is letting go of the wrapped stream: stop using it.
  virtual void CloseFromEngine() noexcept = 0;

protected:
  ~ITolvanBlobStreamOwner() = default;
};

class TTolvanLocalBLOBStream : public TTolvanStream {
public:
  // Takes Host and the BLOB stream over it.
  TTolvanLocalBLOBStream(std::unique_ptr<TStream> Host,
                         std::unique_ptr<TTolvanCompressedBLOBStream> BlobStream,
                         TTolvanCursor* Cursor, TTolvanBlobOpenMode Mode, int32_t FieldNo);
  ~TTolvanLocalBLOBStream() override;

  TTolvanBlobOpenMode Mode() const noexcept { return FMode; }
  TTolvanCompressedBLOBStream& BlobStream() const noexcept { return *FBlobStream; }
  TStream& Host() const noexcept { return *FHost; }
  TTolvanCursor* Cursor() const noexcept { return FCursor; }
  int32_t FieldNo() const noexcept { return FFieldNo; }
  ITolvanBlobStreamOwner* Owner() const noexcept { return FOwner; }
  // Something was written through the stream, or its size changed.
  bool Written() const noexcept { return FWritten; }
  void SetOwner(ITolvanBlobStreamOwner* Value) noexcept { FOwner = Value; }

  int64_t GetSize() override { return FBlobStream->GetSize(); }
  // Read mode raises 10116 "Cannot write to read only stream".
  void SetSize(int64_t NewSize) override;
  int64_t Read(void* Buffer, int64_t Count) override { return FBlobStream->Read(Buffer, Count); }
  // Read mode raises 10115 "Cannot write to read only stream".
  int64_t Write(const void* Buffer, int64_t Count) override;
  int64_t Seek(int64_t Offset, TSeekOrigin Origin) override {
    return FBlobStream->Seek(Offset, Origin);
  }

  std::string_view ClassName() const override { return "TTolvanLocalBLOBStream"; }

private:
  std::unique_ptr<TStream> FHost; // outlives the BLOB stream that borrows it
  std::unique_ptr<TTolvanCompressedBLOBStream> FBlobStream;
  TTolvanCursor* FCursor;
  ITolvanBlobStreamOwner* FOwner = nullptr;
  TTolvanBlobOpenMode FMode;
  int32_t FFieldNo;
  bool FWritten = false;
};

} // namespace tolvan
