// Classes.h: the class library's stream base.
//
// TStream is the abstract byte stream every engine stream derives from: a size, a position and
// Read / Write / Seek with 64-bit counts. Size() is found by seeking to the end and back unless a
// stream overrides GetSize. ReadBuffer / WriteBuffer insist on the whole count and raise
// EReadError / EWriteError otherwise.
//
// Also here: the file mode word of the file streams (fmCreate, fmOpenRead ... fmShareDenyNone)
// and EOSError, the failure of an operating-system call, raised by RaiseLastOSError.
//
// Threads: a stream is not synchronised; callers that share one lock around its use.
#pragma once

#include <cstdint>

#include "classlib/SysUtils.h"

namespace tolvan {

enum TSeekOrigin : uint16_t { soBeginning = 0, soCurrent = 1, soEnd = 2 };

// The file mode word. fmCreate is the whole word; otherwise the low two bits are the access and
// bits 4-6 the sharing.
inline constexpr uint16_t fmCreate = 0xFFFF;
inline constexpr uint16_t fmOpenRead = 0x0000;
inline constexpr uint16_t fmOpenWrite = 0x0001;
inline constexpr uint16_t fmOpenReadWrite = 0x0002;
inline constexpr uint16_t fmShareCompat = 0x0000;
inline constexpr uint16_t fmShareExclusive = 0x0010;
inline constexpr uint16_t fmShareDenyWrite = 0x0020;
inline constexpr uint16_t fmShareDenyRead = 0x0030;
inline constexpr uint16_t fmShareDenyNone = 0x0040;

// A failed operating-system call; ErrorCode is the system's error number (errno).
class EOSError : public Exception {
public:
  EOSError(int ErrorCode, std::string Message)
      : Exception(std::move(Message)), FErrorCode(ErrorCode) {}
  int ErrorCode() const noexcept { return FErrorCode; }

private:
  int FErrorCode;
};

// Raises EOSError for ErrorCode with the text "System Error.  Code: <n>.\r\n<system text>".
[[noreturn]] void RaiseLastOSError(int ErrorCode);

namespace SysConst {
inline constexpr std::string_view SReadError = "Stream read error";
inline constexpr std::string_view SWriteError = "Stream write error";
inline constexpr std::string_view SOSError = "System Error.  Code: %d.\r\n%s";
} // namespace SysConst

class TStream {
public:
  virtual ~TStream() = default;

  virtual int64_t GetSize();
  virtual void SetSize(int64_t NewSize) = 0;
  virtual int64_t Read(void* Buffer, int64_t Count) = 0;
  virtual int64_t Write(const void* Buffer, int64_t Count) = 0;
  virtual int64_t Seek(int64_t Offset, TSeekOrigin Origin) = 0;
  // Finishes the stream's work where finishing may fail (a BLOB stream stores its data here).
  // Call it before destroying such a stream; the base has nothing to finish.
  virtual void Close() {}

  int64_t Size() { return GetSize(); }
  int64_t Position() { return Seek(0, soCurrent); }
  void SetPosition(int64_t Pos) { Seek(Pos, soBeginning); }

  void ReadBuffer(void* Buffer, int64_t Count);
  void WriteBuffer(const void* Buffer, int64_t Count);
  // Copies Count bytes from Source's position (Count 0: all of Source from its beginning);
  // returns the number copied.
  int64_t CopyFrom(TStream& Source, int64_t Count);

protected:
  TStream() = default;
  TStream(const TStream&) = delete;
  TStream& operator=(const TStream&) = delete;
};

} // namespace tolvan
