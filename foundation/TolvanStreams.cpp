#include "foundation/TolvanStreams.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "foundation/TolvanExcept.h"
#include "foundation/TolvanMemory.h"
#include "foundation/TolvanMessages.h"
#include "foundation/TolvanRelease.h"

namespace tolvan {

namespace {

using TBlock = std::unique_ptr<uint8_t, TTolvanMemDeleter>;

TBlock NewCopyBuffer(int32_t BlockSize) {
  return TBlock(static_cast<uint8_t*>(MemoryManager.GetMem(BlockSize)));
}

// Puts two streams back where they were when the scope ends, whatever ends it.
class TPositionKeeper {
public:
  TPositionKeeper(TStream& A, TStream& B)
      : FA(A), FB(B), FPosA(A.Position()), FPosB(B.Position()) {}
  ~TPositionKeeper() {
    Restore(FA, FPosA);
    Restore(FB, FPosB);
  }
  TPositionKeeper(const TPositionKeeper&) = delete;
  TPositionKeeper& operator=(const TPositionKeeper&) = delete;

private:
  static void Restore(TStream& S, int64_t Pos) noexcept {
    try {
      S.Seek(Pos, soBeginning);
    } catch (...) {
      // The copy's own failure, if any, is the one to report.
    }
  }
  TStream& FA;
  TStream& FB;
  int64_t FPosA;
  int64_t FPosB;
};

double Percent(int64_t Part, int64_t Whole) {
  return Whole > 0 ? static_cast<double>(Part) / static_cast<double>(Whole) * 100.0 : 100.0;
}

// Release 3.90's memory streams keep no spare room: the block is exactly the size.
bool BlockIsExactSize() { return Release().MemoryStreamExactSize; }

} // namespace

// ---------------------------------------------------------------------------------------------
// TTolvanStream

TTolvanStream::~TTolvanStream() { delete FThreadSync.load(std::memory_order_acquire); }

// Most streams are never shared between threads, so the lock is made when first asked for.
TTolvanReadWriteThreadSyncByCriticalSections& TTolvanStream::ThreadSync() {
  TTolvanReadWriteThreadSyncByCriticalSections* Sync = FThreadSync.load(std::memory_order_acquire);
  if (Sync)
    return *Sync;
  auto Fresh = std::make_unique<TTolvanReadWriteThreadSyncByCriticalSections>();
  Fresh->SetOwner(this, ClassName());
  if (FThreadSync.compare_exchange_strong(Sync, Fresh.get(), std::memory_order_acq_rel))
    return *Fresh.release();
  return *Sync; // another thread was first
}

void TTolvanStream::Lock(bool Exclusive) {
  if (Exclusive)
    ThreadSync().BeginWrite();
  else
    ThreadSync().BeginRead();
}

void TTolvanStream::Unlock() { ThreadSync().EndAccess(); }

void TTolvanStream::DoProgress(double Percent) {
  if (FOnProgress)
    FOnProgress(*this, FCancel, Percent);
}

void TTolvanStream::SaveToStream(TStream& Dest) {
  if (FBlockSize == 0)
    throw ETolvanException::Create(ErrSaveToStreamBlockSize, SStreamBlockSizeZero);
  {
    TPositionKeeper Keep(*this, Dest);
    Seek(0, soBeginning);
    const int64_t Total = GetSize();
    int64_t Copied = 0;
    FCancel = false;
    DoProgress(0);
    TBlock Buffer = NewCopyBuffer(FBlockSize);
    while (!FCancel && Copied < Total) {
      const int64_t N = Total - Copied < FBlockSize ? Total - Copied : FBlockSize;
      const int64_t Pos = Position();
      const int64_t Got = Read(Buffer.get(), N);
      if (Got != N)
        throw ETolvanException::CreateFmt(ErrSaveToStreamRead, SCannotReadFromStream, Pos,
                                          GetSize(), N, Got);
      const int64_t DestPos = Dest.Position();
      const int64_t Put = Dest.Write(Buffer.get(), N);
      if (Put != N)
        throw ETolvanException::CreateFmt(ErrSaveToStreamWrite, SCannotWriteToStream, DestPos,
                                          Dest.Size(), N, Put);
      Copied += N;
      DoProgress(Percent(Copied, Total));
    }
  }
  if (!FCancel)
    DoProgress(100);
}

void TTolvanStream::LoadFromStream(TStream& Source) { CopyFromStream(Source, 0, Source.Size()); }

void TTolvanStream::CopyFromStream(TStream& Source, int64_t Offset, int64_t Count) {
  if (FBlockSize == 0)
    throw ETolvanException::Create(ErrCopyFromStreamBlockSize, SStreamBlockSizeZero);
  {
    TPositionKeeper Keep(*this, Source);
    int64_t SourcePos = Source.Seek(Offset, soBeginning);
    SetSize(0);
    Seek(0, soBeginning);
    FCancel = false;
    DoProgress(0);
    int64_t End = Offset;
    if (Count > 0 && __builtin_add_overflow(Offset, Count, &End))
      End = INT64_MAX;
    const int64_t First = End - Offset < FBlockSize ? End - Offset : FBlockSize;
    if (Count > 0 && SourcePos != Offset) // the source cannot be placed there
      throw ETolvanException::CreateFmt(ErrCopyFromStreamRead, SCannotReadFromStream, SourcePos,
                                        Source.Size(), First, int64_t(0));
    const int64_t SourceSize = Source.Size();
    TBlock Buffer = NewCopyBuffer(FBlockSize);
    while (Count > 0 && !FCancel && SourcePos < End) {
      const int64_t N = End - SourcePos < FBlockSize ? End - SourcePos : FBlockSize;
      const int64_t Got = Source.Read(Buffer.get(), N);
      if (Got != N)
        throw ETolvanException::CreateFmt(ErrCopyFromStreamRead, SCannotReadFromStream, SourcePos,
                                          Source.Size(), N, Got);
      const int64_t Pos = Position();
      const int64_t Put = Write(Buffer.get(), N);
      if (Put != N)
        throw ETolvanException::CreateFmt(ErrCopyFromStreamWrite, SCannotWriteToStream, Pos,
                                          GetSize(), N, Put);
      SourcePos += N;
      DoProgress(Percent(SourcePos, SourceSize));
    }
  }
  if (!FCancel)
    DoProgress(100);
}

void TTolvanStream::SaveToFile(const AnsiString& FileName) {
  TTolvanFileStream File(FileName, fmCreate);
  SaveToStream(File);
}

// ---------------------------------------------------------------------------------------------
// TTolvanMemoryStream

TTolvanMemoryStream::TTolvanMemoryStream(void* Block, int32_t BlockSize) {
  if (!Block)
    return;
  const int64_t Real = MemoryManager.GetMemSize(Block);
  if (BlockSize > Real)
    throw ERangeError(std::string(SysConst::SRangeError));
  FMemory = static_cast<uint8_t*>(Block);
  FSize = FCapacity = BlockSize < 0 ? Real : BlockSize;
}

TTolvanMemoryStream::~TTolvanMemoryStream() { MemoryManager.FreeAndNillMemNoRaise(FMemory); }

// Only [0, FSize) is the stream's. The block is never cleared when it is had or grown: what the
// stream gains by SetSize is cleared here, what it gains by a write is cleared (the gap) or
// copied over by Write, so no byte is written twice.
void TTolvanMemoryStream::SetSize(int64_t NewSize) {
  if (NewSize == FSize)
    return;
  if (NewSize <= 0) {
    FreeBlock();
    return;
  }
  if (NewSize > FCapacity) {
    GrowFor(NewSize);
  } else if (BlockIsExactSize()) {
    SetExactCapacity(NewSize);
  } else if (NewSize < FSize) {
    const int64_t Quantum = FCapacity == 4 ? 1020 : MemoryManager.SizeClassQuantum(FCapacity);
    if (FCapacity - NewSize >= Quantum)
      SetCapacity(NewSize);
  }
  if (NewSize > FSize)
    std::memset(FMemory + FSize, 0, static_cast<size_t>(NewSize - FSize));
  FSize = NewSize;
  if (FPosition > FSize)
    FPosition = FSize;
}

void TTolvanMemoryStream::GrowFor(int64_t End) {
  if (BlockIsExactSize()) {
    SetExactCapacity(End);
    return;
  }
  if (!FMemory) {
    SetCapacity(End > 1024 ? End : 1024);
    return;
  }
  const int64_t Quantum = FCapacity == 4 ? 1020 : MemoryManager.SizeClassQuantum(FCapacity);
  int64_t Step =
      FCapacity >= GeometricStreamGrowth && FCapacity / 2 > Quantum ? FCapacity / 2 : Quantum;
  if (End - FCapacity > Step)
    Step = End - FCapacity;
  int64_t Capacity = FCapacity + Step;
  if (Capacity <= MemMaxBlockSize)
    Capacity = (Capacity + 3) & ~int64_t(3);
  // Half the capacity must not be what makes a block the memory manager could give too large.
  if (Capacity > MemMaxBlockSize && End <= MemMaxBlockSize)
    Capacity = MemMaxBlockSize;
  SetCapacity(Capacity);
}

void TTolvanMemoryStream::Reserve(int64_t NewCapacity) {
  if (NewCapacity > FCapacity && !BlockIsExactSize())
    SetCapacity(NewCapacity);
}

void TTolvanMemoryStream::FreeBlock() {
  FSize = FCapacity = 0;
  if (FPosition > 0)
    FPosition = 0;
  if (FMemory)
    MemoryManager.FreeAndNillMem(FMemory);
}

// The size is checked before anything changes.
void TTolvanMemoryStream::SetExactCapacity(int64_t Capacity) {
  if (Capacity > INT32_MAX)
    throw ERangeError(std::string(SysConst::SRangeError));
  if (Capacity != FCapacity)
    SetCapacity(Capacity);
}

void TTolvanMemoryStream::SetCapacity(int64_t Capacity) {
  try {
    if (FMemory)
      MemoryManager.ReallocMem(FMemory, false, Capacity);
    else
      FMemory = static_cast<uint8_t*>(MemoryManager.GetMem(Capacity));
  } catch (...) {
    // A block whose guard was found damaged is gone; the stream is empty then.
    if (!FMemory) {
      FSize = FCapacity = 0;
      if (FPosition > 0)
        FPosition = 0;
    }
    throw;
  }
  FCapacity = Capacity;
}

int64_t TTolvanMemoryStream::Seek(int64_t Offset, TSeekOrigin Origin) {
  int64_t Target;
  if (!SeekTarget(FPosition, FSize, Offset, Origin, Target))
    return -1;
  FPosition = Target;
  return Target;
}

// ---------------------------------------------------------------------------------------------
// The sharing registry of open files

namespace {

struct TShareRequest {
  bool Read = false;
  bool Write = false;
  bool ShareRead = false;
  bool ShareWrite = false;
  bool Create = false;
};

// Two opens of one file agree when each may do what the other lets it.
bool Compatible(const TShareRequest& A, const TShareRequest& B) {
  return !(A.Read && !B.ShareRead) && !(A.Write && !B.ShareWrite) && !(B.Read && !A.ShareRead) &&
         !(B.Write && !A.ShareWrite);
}

using TFileKey = std::pair<dev_t, ino_t>;

class TShareRegistry {
public:
  // Under the registry's guard: the open, the check against the others and the entry are one
  // step, so two threads cannot both be granted conflicting access.
  std::mutex Guard;
  std::map<TFileKey, std::vector<std::pair<const void*, TShareRequest>>> Open;

  bool Allows(const TFileKey& Key, const TShareRequest& R) const {
    auto It = Open.find(Key);
    if (It == Open.end())
      return true;
    for (const auto& Other : It->second)
      if (!Compatible(Other.second, R))
        return false;
    return true;
  }

  void Remove(const void* Owner, const TFileKey& Key) {
    auto It = Open.find(Key);
    if (It == Open.end())
      return;
    auto& List = It->second;
    for (size_t I = 0; I < List.size(); ++I)
      if (List[I].first == Owner) {
        List.erase(List.begin() + static_cast<ptrdiff_t>(I));
        break;
      }
    if (List.empty())
      Open.erase(It);
  }
};

// Never destroyed: file streams may outlive every other static object.
TShareRegistry& Registry() {
  static TShareRegistry* R = new TShareRegistry;
  return *R;
}

// Regular files and devices can be streams; directories, pipes and sockets cannot (a pipe
// would also block the open or the first read).
bool StreamableFile(const struct stat& St) {
  return S_ISREG(St.st_mode) || S_ISCHR(St.st_mode) || S_ISBLK(St.st_mode);
}

// Opens Path for R and registers Owner's access; -1 on any failure or conflict. The file is
// emptied for a create only once the open is granted, so a refused create leaves it as it was.
int OpenShared(const std::string& Path, const TShareRequest& R, const void* Owner, TFileKey& Key) {
  if (Path.empty())
    return -1;
  int Flags = O_CLOEXEC | O_NONBLOCK;
  Flags |= R.Read && R.Write ? O_RDWR : R.Write ? O_WRONLY : O_RDONLY;
  if (R.Create)
    Flags |= O_CREAT;
  TShareRegistry& Reg = Registry();
  std::lock_guard<std::mutex> Lock(Reg.Guard);
  int Fd;
  do
    Fd = ::open(Path.c_str(), Flags, 0666);
  while (Fd < 0 && errno == EINTR);
  if (Fd < 0)
    return -1;
  struct stat St;
  bool Ok = ::fstat(Fd, &St) == 0 && StreamableFile(St);
  if (Ok) {
    Key = {St.st_dev, St.st_ino};
    Ok = Reg.Allows(Key, R);
  }
  if (Ok && R.Create && S_ISREG(St.st_mode))
    Ok = ::ftruncate(Fd, 0) == 0;
  if (Ok && !S_ISREG(St.st_mode)) // devices read and write blocking, like files
    Ok = ::fcntl(Fd, F_SETFL, ::fcntl(Fd, F_GETFL) & ~O_NONBLOCK) == 0;
  if (!Ok) {
    ::close(Fd);
    return -1;
  }
  if (Owner)
    Reg.Open[Key].emplace_back(Owner, R);
  return Fd;
}

constexpr int64_t MaxTransfer = 1 << 30; // per system call

} // namespace

// ---------------------------------------------------------------------------------------------
// TTolvanFileStream

TTolvanFileStream::TTolvanFileStream(const AnsiString& FileName, uint16_t Mode)
    : FFileName(FileName), FMode(Mode) {
  Open(FileName, Mode, false);
}

TTolvanFileStream::TTolvanFileStream(const WideString& FileName, uint16_t Mode)
    : FWideFileName(FileName), FMode(Mode) {
  Open(WideToUtf8(FileName), Mode, true);
}

void TTolvanFileStream::Open(const std::string& Path, uint16_t Mode, bool Wide) {
  TShareRequest R;
  if (Mode == fmCreate) {
    R.Read = R.Write = R.Create = true;
  } else if (Wide) {
    R.Read = (Mode & 0x02) != 0 || (Mode & 0x01) == 0;
    R.Write = (Mode & 0x03) != 0;
    R.ShareRead = (Mode & 0x10) == 0;
    R.ShareWrite = (Mode & 0x30) == 0;
  } else {
    const int Access = Mode & 0x03;
    const int Share = Mode & 0xF0;
    if (Access == 3 || Share > fmShareDenyNone)
      throw ETolvanException::CreateFmt(ErrCannotOpenFile, SCannotOpenFile, FFileName, Mode);
    R.Read = Access != fmOpenWrite;
    R.Write = Access != fmOpenRead;
    R.ShareRead = Share == fmShareDenyWrite || Share == fmShareDenyNone;
    R.ShareWrite = Share == fmShareDenyRead || Share == fmShareDenyNone;
  }
  TFileKey Key;
  FHandle = OpenShared(Path, R, this, Key);
  if (FHandle >= 0) {
    FDevice = Key.first;
    FInode = Key.second;
    return;
  }
  if (Mode == fmCreate) {
    if (Wide)
      throw ETolvanException::CreateFmt(ErrCannotCreateFile, SCannotCreateFile, FWideFileName);
    throw ETolvanException::CreateFmt(ErrCannotCreateFile, SCannotCreateFile, FFileName);
  }
  if (Wide)
    throw ETolvanException::CreateFmt(ErrCannotOpenFile, SCannotOpenFile, FWideFileName, Mode);
  throw ETolvanException::CreateFmt(ErrCannotOpenFile, SCannotOpenFile, FFileName, Mode);
}

TTolvanFileStream::~TTolvanFileStream() {
  if (FHandle < 0)
    return;
  TShareRegistry& Reg = Registry();
  std::lock_guard<std::mutex> Lock(Reg.Guard);
  Reg.Remove(this, {static_cast<dev_t>(FDevice), static_cast<ino_t>(FInode)});
  ::close(FHandle);
}

int64_t TTolvanFileStream::GetSize() {
  struct stat St;
  if (::fstat(FHandle, &St) == 0 && S_ISREG(St.st_mode))
    return St.st_size;
  return TTolvanStream::GetSize();
}

void TTolvanFileStream::SetSize(int64_t NewSize) {
  const int64_t Pos = Position();
  if (NewSize < 0)
    RaiseLastOSError(EINVAL);
  int Rc;
  do
    Rc = ::ftruncate(FHandle, NewSize);
  while (Rc != 0 && errno == EINTR);
  if (Rc != 0)
    RaiseLastOSError(errno);
  if (Pos > NewSize)
    Seek(NewSize, soBeginning);
}

namespace {

// Moves Count bytes through repeated system calls (Call(Done, Chunk) transfers up to Chunk bytes
// at offset Done of the request), retrying interrupted calls; stops at the end of the file or
// at a failure. Returns the bytes moved.
template <class F> int64_t TransferAll(int64_t Count, F Call) {
  int64_t Done = 0;
  while (Done < Count) {
    const int64_t Chunk = Count - Done < MaxTransfer ? Count - Done : MaxTransfer;
    const ssize_t N = Call(Done, size_t(Chunk));
    if (N < 0 && errno == EINTR)
      continue;
    if (N <= 0)
      break;
    Done += N;
  }
  return Done;
}

} // namespace

int64_t TTolvanFileStream::Read(void* Buffer, int64_t Count) {
  auto* B = static_cast<uint8_t*>(Buffer);
  return TransferAll(Count, [&](int64_t Done, size_t N) { return ::read(FHandle, B + Done, N); });
}

int64_t TTolvanFileStream::Write(const void* Buffer, int64_t Count) {
  auto* B = static_cast<const uint8_t*>(Buffer);
  return TransferAll(Count, [&](int64_t Done, size_t N) { return ::write(FHandle, B + Done, N); });
}

int64_t TTolvanFileStream::ReadAt(int64_t Offset, void* Buffer, int64_t Count) {
  auto* B = static_cast<uint8_t*>(Buffer);
  return TransferAll(
      Count, [&](int64_t Done, size_t N) { return ::pread(FHandle, B + Done, N, Offset + Done); });
}

int64_t TTolvanFileStream::WriteAt(int64_t Offset, const void* Buffer, int64_t Count) {
  auto* B = static_cast<const uint8_t*>(Buffer);
  return TransferAll(
      Count, [&](int64_t Done, size_t N) { return ::pwrite(FHandle, B + Done, N, Offset + Done); });
}

int64_t TTolvanFileStream::Seek(int64_t Offset, TSeekOrigin Origin) {
  int Whence;
  switch (Origin) {
  case soBeginning:
    Whence = SEEK_SET;
    break;
  case soCurrent:
    Whence = SEEK_CUR;
    break;
  case soEnd:
    Whence = SEEK_END;
    break;
  default:
    return -1;
  }
  return ::lseek(FHandle, Offset, Whence);
}

// ---------------------------------------------------------------------------------------------
// Checked I/O

void RaiseStreamWriteError(TStream& Stream, int64_t Count, int64_t Written, int32_t ErrorCode) {
  const int64_t Done = Written > 0 ? Written : 0;
  throw ETolvanException::CreateFmt(ErrorCode, SCannotWriteToStream, Stream.Position() - Done,
                                    Stream.Size(), Count, Written);
}

void RaiseStreamReadError(TStream& Stream, int64_t Count, int64_t Read, int32_t ErrorCode) {
  const int64_t Done = Read > 0 ? Read : 0;
  throw ETolvanException::CreateFmt(ErrorCode, SCannotReadFromStream, Stream.Position() - Done,
                                    Stream.Size(), Count, Read);
}

void SetStreamPosition(TStream& Stream, int64_t Position, int32_t ErrorCode) {
  const int64_t Before = Stream.Position();
  const int64_t Now = Stream.Seek(Position, soBeginning);
  // A refused seek answers -1, which only a read-back tells from a position of -1.
  if (Now != Position || (Now < 0 && Stream.Position() != Position))
    throw ETolvanException::CreateFmt(ErrorCode, SCannotSetStreamPosition, Position, Before,
                                      Stream.Size());
}

// ---------------------------------------------------------------------------------------------
// Temporary files and file tests

namespace {

WideString& TempDirectoryVar() {
  static WideString* Dir = new WideString(GetTempDirectory());
  return *Dir;
}

// Captured when the unit starts, as the other start-up state.
const bool TempDirectoryCaptured = (TempDirectoryVar(), true);

} // namespace

// A $TMPDIR that is not valid UTF-8 could not be named by a wide path, so /tmp is used then.
WideString GetTempDirectory() {
  const char* Env = std::getenv("TMPDIR");
  std::string Dir = Env && *Env ? Env : "/tmp";
  WideString Wide = Utf8ToWide(Dir);
  if (WideToUtf8(Wide) != Dir)
    Wide = u"/tmp";
  if (Wide.back() != u'/')
    Wide += u'/';
  return Wide;
}

const WideString& TempDirectory() {
  (void)TempDirectoryCaptured;
  return TempDirectoryVar();
}

void SetTempDirectory(const WideString& Directory) { TempDirectoryVar() = Directory; }

WideString MakeTempFileName() {
  const WideString& Dir = TempDirectory();
  if (Dir.empty())
    return {};
  std::string Template = WideToUtf8(Dir);
  if (Template.back() != '/')
    Template += '/';
  Template += "ACRXXXXXX.tmp";
  const int Fd = ::mkostemps(Template.data(), 4, O_CLOEXEC);
  if (Fd < 0)
    return {};
  ::close(Fd);
  return Utf8ToWide(Template);
}

bool FileExistsEx(const AnsiString& AnsiName, const WideString& WideName) {
  std::string Path;
  if (!WideName.empty())
    Path = WideToUtf8(WideName);
  else if (!AnsiName.empty())
    Path = AnsiName;
  else
    return false;
  TShareRequest R;
  R.Read = R.ShareRead = R.ShareWrite = true;
  TFileKey Key;
  const int Fd = OpenShared(Path, R, nullptr, Key);
  if (Fd < 0)
    return false;
  ::close(Fd);
  return true;
}

} // namespace tolvan
