// Classes.h: the class library's stream base.
//
// TStream is the abstract byte stream every engine stream derives from: a size, a position and
// Read / Write / Seek with 64-bit counts. Size() is found by seeking to the end and back unless a
// stream overrides GetSize. ReadBuffer / WriteBuffer insist on the whole count and raise
// EReadError / EWriteError otherwise.
//
// Threads: a stream is not synchronised; callers that share one lock around its use.
#pragma once

#include <cstdint>

#include "classlib/SysUtils.h"

namespace tolvan {

enum TSeekOrigin : uint16_t { soBeginning = 0, soCurrent = 1, soEnd = 2 };

namespace SysConst {
inline constexpr std::string_view SReadError = "Stream read error";
inline constexpr std::string_view SWriteError = "Stream write error";
} // namespace SysConst

class TStream {
public:
  virtual ~TStream() = default;

  virtual int64_t GetSize();
  virtual void SetSize(int64_t NewSize) = 0;
  virtual int64_t Read(void* Buffer, int64_t Count) = 0;
  virtual int64_t Write(const void* Buffer, int64_t Count) = 0;
  virtual int64_t Seek(int64_t Offset, TSeekOrigin Origin) = 0;

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
