#include "classlib/Classes.h"

#include <cstring>
#include <memory>

#include "classlib/Format.h"

namespace tolvan {

void RaiseLastOSError(int ErrorCode) {
  char Text[256];
  // The GNU strerror_r may return a static string instead of filling Text.
  const char* Msg = strerror_r(ErrorCode, Text, sizeof Text);
  throw EOSError(ErrorCode, Format(SysConst::SOSError, ErrorCode, Msg));
}

int64_t TStream::GetSize() {
  int64_t Pos = Seek(0, soCurrent);
  int64_t End = Seek(0, soEnd);
  Seek(Pos, soBeginning);
  return End;
}

void TStream::ReadBuffer(void* Buffer, int64_t Count) {
  if (Count != 0 && Read(Buffer, Count) != Count)
    throw EReadError(std::string(SysConst::SReadError));
}

void TStream::WriteBuffer(const void* Buffer, int64_t Count) {
  if (Count != 0 && Write(Buffer, Count) != Count)
    throw EWriteError(std::string(SysConst::SWriteError));
}

int64_t TStream::CopyFrom(TStream& Source, int64_t Count) {
  if (Count == 0) {
    Source.SetPosition(0);
    Count = Source.Size();
  }
  constexpr int64_t MaxBuf = 0xF000;
  const int64_t BufSize = Count < MaxBuf ? (Count > 0 ? Count : 1) : MaxBuf;
  std::unique_ptr<char[]> Buf(new char[BufSize]);
  int64_t Done = 0;
  while (Done < Count) {
    int64_t N = Count - Done < BufSize ? Count - Done : BufSize;
    Source.ReadBuffer(Buf.get(), N);
    WriteBuffer(Buf.get(), N);
    Done += N;
  }
  return Done;
}

} // namespace tolvan
