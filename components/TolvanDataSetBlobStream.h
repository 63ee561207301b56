// TolvanDataSetBlobStream.h: TTolvanBlobStream, the stream through which the framework's BLOB
// fields read and write a dataset cursor's BLOB stream.
//
// Opening checks the dataset and its cursor before touching either, then opens the cursor's
// stream for the field of the current record buffer (write mode empties it); a failure after
// that releases the cursor's stream again.
//
// Ownership: the framework or the user holds the stream (std::unique_ptr<TStream>). The cursor
// owns the stream this one forwards to and refers back to this one as its owner, never freeing
// it: when the cursor lets go first (a post, a cancel, the cursor's close) it calls
// CloseFromEngine, and the stream is closed from then on. Close() takes the cursor stream's
// modified flag, drops the back-reference, has the dataset release the field's streams (which
// stores written data) and, when something was written, marks the dataset modified and sends a
// field-change data event. Close may raise; the destructor closes as a fallback and reports. A
// closed stream raises 11233 "Nil pointer occured" when used.
//
// Threads: a dataset, its cursor and its BLOB streams serve one thread at a time.
#pragma once

#include <cstdint>

#include "classlib/DB.h"
#include "foundation/TolvanStreams.h"
#include "storage/local/TolvanLocalBLOBStream.h"

namespace tolvan {

class TField;
class TTolvanDataSet;

inline constexpr int32_t ErrBlobStreamReadOnly = 10106;
inline constexpr int32_t ErrBlobStreamNil = 11233;
inline constexpr int32_t ErrBlobStreamFieldNo = 11234;
inline constexpr int32_t ErrBlobStreamDataSet = 11633;

class TTolvanBlobStream : public TTolvanStream, private ITolvanBlobStreamOwner {
public:
  TTolvanBlobStream(TField& Field, TBlobStreamMode Mode);
  ~TTolvanBlobStream() override;
  TTolvanBlobStream(const TTolvanBlobStream&) = delete;
  TTolvanBlobStream& operator=(const TTolvanBlobStream&) = delete;

  // Runs the close once; later calls do nothing.
  void Close() override;
  bool Closed() const noexcept { return FStream == nullptr; }
  bool Modified() const noexcept { return FModified; }

  int64_t GetSize() override;
  void SetSize(int64_t NewSize) override;
  int64_t Read(void* Buffer, int64_t Count) override;
  int64_t Write(const void* Buffer, int64_t Count) override;
  int64_t Seek(int64_t Offset, TSeekOrigin Origin) override;
  // Size := position.
  void Truncate();

  std::string_view ClassName() const override { return "TTolvanBlobStream"; }

private:
  void CloseFromEngine() noexcept override;
  TTolvanStream& Stream() const;
  // The cursor stream's modified flag, and the back-reference dropped.
  void Detach() noexcept;
  void ReportChange() noexcept;

  TTolvanDataSet* FDataSet = nullptr;
  TField* FField = nullptr;
  TTolvanStream* FStream = nullptr;
  bool FModified = false;
};

} // namespace tolvan
