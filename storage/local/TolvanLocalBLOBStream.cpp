#include "storage/local/TolvanLocalBLOBStream.h"

#include "foundation/TolvanExcept.h"
#include "foundation/TolvanMessages.h"

namespace tolvan {

TTolvanLocalBLOBStream::TTolvanLocalBLOBStream(
    std::unique_ptr<TStream> Host, std::unique_ptr<TTolvanCompressedBLOBStream> BlobStream,
    TTolvanCursor* Cursor, TTolvanBlobOpenMode Mode, int32_t FieldNo)
    : FHost(std::move(Host)), FBlobStream(std::move(BlobStream)), FCursor(Cursor), FMode(Mode),
      FFieldNo(FieldNo) {}

TTolvanLocalBLOBStream::~TTolvanLocalBLOBStream() { FBlobStream.reset(); }

void TTolvanLocalBLOBStream::SetSize(int64_t NewSize) {
  if (FMode == tbmRead)
    throw ETolvanException::Create(ErrBlobStreamSetSizeReadOnly, SCannotWriteToReadOnlyStream);
  FBlobStream->SetSize(NewSize);
  FWritten = true;
}

int64_t TTolvanLocalBLOBStream::Write(const void* Buffer, int64_t Count) {
  if (FMode == tbmRead)
    throw ETolvanException::Create(ErrBlobStreamWriteReadOnly, SCannotWriteToReadOnlyStream);
  FWritten = true;
  return FBlobStream->Write(Buffer, Count);
}

} // namespace tolvan
