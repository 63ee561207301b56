#include "storage/memory/TolvanTableStream.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <utility>

#include "classlib/ByteOrder.h"
#include "classlib/SysUtils.h"
#include "foundation/TolvanExcept.h"
#include "foundation/TolvanMessages.h"
#include "foundation/TolvanRelease.h"
#include "foundation/TolvanStreams.h"
#include "storage/TolvanTableData.h"
#include "storage/btree/TolvanBTreeCheck.h"
#include "storage/btree/TolvanBTreeIndex.h"

namespace tolvan {

namespace {

constexpr char Signature[4] = {'A', 'C', 'S', '1'};
// The smallest sequence form (a name of length 0): base, id, type and the five values.
constexpr int64_t MinSequenceFormSize = 39;
constexpr int64_t MaxInt32 = std::numeric_limits<int32_t>::max();

[[noreturn]] void RaiseField(int32_t Code, std::string_view Field, int64_t Value) {
  throw ETolvanException::CreateFmt(Code, SInvalidTableStreamField, Field, Value);
}

// Frees a compression output block (run-time heap) on every path.
struct THeapHold {
  void* Block = nullptr;
  ~THeapHold() { std::free(Block); }
};

// A read-only stream over bytes someone else owns: the decompressed body.
class TSpanStream : public TStream {
public:
  TSpanStream(const uint8_t* Data, int64_t Size) : FData(Data), FSize(Size) {}
  int64_t GetSize() override { return FSize; }
  void SetSize(int64_t) override { throw EStreamError("The body stream cannot change size"); }
  int64_t Read(void* Buffer, int64_t Count) override {
    if (Count <= 0 || FPosition < 0 || FPosition >= FSize)
      return 0;
    const int64_t N = std::min(Count, FSize - FPosition);
    std::memcpy(Buffer, FData + FPosition, size_t(N));
    FPosition += N;
    return N;
  }
  int64_t Write(const void*, int64_t) override { return 0; }
  int64_t Seek(int64_t Offset, TSeekOrigin Origin) override {
    int64_t Target = 0;
    if (SeekTarget(FPosition, FSize, Offset, Origin, Target) && Target >= 0)
      FPosition = Target;
    return FPosition;
  }

private:
  const uint8_t* FData;
  int64_t FSize;
  int64_t FPosition = 0;
};

bool HasBlobColumns(const TTolvanFieldDefs& Defs) noexcept {
  for (int32_t I = 0; I < Defs.Count(); ++I)
    if (Defs.Items(I).IsBlob())
      return true;
  return false;
}

// The null bitmap and the columns: the last column's offset plus its size.
int32_t LayoutRecordSize(const TTolvanFieldDefs& Defs) noexcept {
  const int32_t N = Defs.Count();
  if (N == 0)
    return 0;
  const TTolvanFieldDef& Last = Defs.Items(N - 1);
  const int64_t Size = int64_t(Last.BufferOffset()) + Last.DataSize();
  return Size > MaxInt32 ? -1 : int32_t(Size);
}

// Frees an engine block on every path unless released.
struct TBlockHold {
  uint8_t* Block = nullptr;
  ~TBlockHold() {
    if (Block)
      TTolvanMemoryManager::FreeAndNillMemNoRaise(Block);
  }
  uint8_t* Release() noexcept { return std::exchange(Block, nullptr); }
};

void CheckVersion(double Version) {
  const double Max = Release().TableStreamMaxVersion;
  const double Written = Release().TableStreamVersion;
  int32_t Code = 0;
  if (!(Version <= Max))
    Code = ErrTableVersionTooHigh;
  else if (Version < 1.0001)
    Code = ErrTableVersionBelow10001;
  else if (Version < 1.010001)
    Code = ErrTableVersionBelow101;
  else if (Version < 1.020001)
    Code = ErrTableVersionBelow102;
  if (Code)
    throw ETolvanException::CreateFmt(Code, SInvalidVersionNumber, Version, Written);
}

} // namespace

// --- header
// ---------------------------------------------------------------------------------------

void WriteStreamHeader(TStream& Stream, const TTolvanTableStreamInfo& Info) {
  if (Info.Name.size() > 255)
    throw ERangeError(std::string(SysConst::SRangeError));
  uint8_t Header[TableStreamHeaderSize] = {};
  std::memcpy(Header, Signature, 4);
  StoreLE<double>(Header + 4, Info.Version != 0 ? Info.Version : Release().TableStreamVersion);
  StoreLE<int64_t>(Header + 12, Info.RecordCount);
  StoreLE<int64_t>(Header + 20, Info.UncompressedSize);
  StoreLE<int32_t>(Header + 36, Info.Value);
  Header[40] = Info.Algorithm;
  Header[41] = Info.Level == 0 ? 1 : Info.Level;
  Header[42] = uint8_t(Info.Name.size());
  WriteStreamBuffer(Header, TableStreamHeaderSize, Stream, ErrWriteTableHeader);
  if (!Info.Name.empty())
    WriteStreamBuffer(Info.Name.data(), int64_t(Info.Name.size()), Stream, ErrWriteTableName);
  WriteStreamValue<int64_t>(Stream, Info.ObjectIDCounter, ErrWriteTableObjectID);
}

void ReadStreamHeader(TStream& Stream, TTolvanTableStreamInfo& Info) {
  uint8_t Header[TableStreamHeaderSize];
  ReadStreamBuffer(Header, TableStreamHeaderSize, Stream, ErrReadTableHeader);
  if (std::memcmp(Header, Signature, 4) != 0) {
    const size_t N = size_t(std::find(Header, Header + 4, uint8_t(0)) - Header);
    throw ETolvanException::CreateFmt(ErrTableSignature, SInvalidSignature,
                                      AnsiString(reinterpret_cast<const char*>(Header), N),
                                      AnsiString(Signature, 4));
  }
  TTolvanTableStreamInfo Read;
  Read.Version = LoadLE<double>(Header + 4);
  CheckVersion(Read.Version);
  Read.RecordCount = LoadLE<int64_t>(Header + 12);
  if (Read.RecordCount < 0 || Read.RecordCount > MaxInt32)
    RaiseField(ErrTableStreamRecordCount, "RecordCount", Read.RecordCount);
  Read.UncompressedSize = LoadLE<int64_t>(Header + 20);
  Read.Value = LoadLE<int32_t>(Header + 36);
  Read.Algorithm = Header[40];
  if (Read.Algorithm > caPPM)
    RaiseField(ErrTableStreamAlgorithm, "Algorithm", Read.Algorithm);
  Read.Level = Header[41];
  const uint8_t NameLength = Header[42];
  Read.Name.resize(NameLength);
  if (NameLength)
    ReadStreamBuffer(Read.Name.data(), NameLength, Stream, ErrReadTableName);
  Read.ObjectIDCounter = ReadStreamValue<int64_t>(Stream, ErrReadTableObjectID);
  if (Read.ObjectIDCounter < 0 || Read.ObjectIDCounter > MaxInt32)
    RaiseField(ErrTableStreamObjectID, "ObjectID", Read.ObjectIDCounter);
  Read.BodyPosition = Stream.Position();
  Info = std::move(Read);
}

AnsiString ReadTableNameFromStream(TStream& Stream) {
  const int64_t Start = Stream.Position();
  AnsiString Name;
  try {
    uint8_t Header[TableStreamHeaderSize];
    ReadStreamBuffer(Header, TableStreamHeaderSize, Stream, ErrReadTableNameHeader);
    Name.resize(Header[42]);
    if (!Name.empty())
      ReadStreamBuffer(Name.data(), int64_t(Name.size()), Stream, ErrReadTableNameName);
  } catch (const Exception&) {
    Name.clear();
  }
  try {
    Stream.SetPosition(Start);
  } catch (const Exception&) {
  }
  return Name;
}

// --- records
// --------------------------------------------------------------------------------------

void CollectRecordBlobs(TTolvanBlobBlockTable& Blobs, const TTolvanFieldDefs& Defs,
                        int32_t RecordSize, uint8_t* Record, int64_t Position,
                        std::vector<int64_t>& Lengths) {
  Lengths.clear();
  int64_t Next = Position + RecordSize;
  const int32_t N = Defs.Count();
  for (int32_t I = 0; I < N; ++I) {
    const TTolvanFieldDef& Def = Defs.Items(I);
    if (!Def.IsBlob() || IsFieldNull(Record, I))
      continue;
    int64_t Length = -1;
    Blobs.Read(LoadBlobReference(Record, Def), [&](std::span<const uint8_t> Block) {
      Length = int64_t(Block.size()) - BlobBlockPrefixSize;
    });
    if (Length < 0)
      throw ETolvanException::Create(ErrTableStreamNilBlob, SNilPointerOccurred);
    StoreLE<int64_t>(Record + Def.BufferOffset(), Next);
    Lengths.push_back(Length);
    Next += TableStreamBlobHeaderSize + Length;
  }
}

void WriteRecord(TTolvanBlobBlockTable& Blobs, const TTolvanFieldDefs& Defs, int32_t RecordSize,
                 const uint8_t* Record, uint8_t* Scratch, TStream& Stream) {
  if (!HasBlobColumns(Defs)) {
    WriteStreamBuffer(Record, RecordSize, Stream, ErrWriteTableRecordNoBlobs);
    return;
  }
  std::memcpy(Scratch, Record, size_t(RecordSize));
  std::vector<int64_t> Lengths;
  CollectRecordBlobs(Blobs, Defs, RecordSize, Scratch, Stream.Position(), Lengths);
  WriteStreamBuffer(Scratch, RecordSize, Stream, ErrWriteTableRecord);
  const int32_t N = Defs.Count();
  for (int32_t I = 0; I < N; ++I) {
    const TTolvanFieldDef& Def = Defs.Items(I);
    if (!Def.IsBlob() || IsFieldNull(Record, I))
      continue;
    bool Written = false;
    bool Live = Blobs.Read(LoadBlobReference(Record, Def), [&](std::span<const uint8_t> Block) {
      uint8_t Header[TableStreamBlobHeaderSize];
      std::memcpy(Header, Block.data(), BlobBlockPrefixSize);
      StoreLE<int64_t>(Header + BlobBlockPrefixSize, int64_t(Block.size()) - BlobBlockPrefixSize);
      WriteStreamBuffer(Header, TableStreamBlobHeaderSize, Stream, ErrWriteTableBlobHeader);
      WriteStreamBuffer(Block.data() + BlobBlockPrefixSize,
                        int64_t(Block.size()) - BlobBlockPrefixSize, Stream, ErrWriteTableBlobData);
      Written = true;
    });
    if (!Live || !Written)
      throw ETolvanException::Create(ErrTableStreamNilBlob, SNilPointerOccurred);
  }
}

void ReadBlobValue(TTolvanBlobBlockTable& Blobs, const TTolvanFieldDef& Def, uint8_t* Record,
                   int64_t Expected, TStream& Stream) {
  const int64_t Stored = LoadLE<int64_t>(Record + Def.BufferOffset());
  if (Stored != Expected)
    RaiseField(ErrTableStreamBlobPosition, "BlobPosition", Stored);
  SetStreamPosition(Stream, Stored, ErrReadTableBlobSeek);
  uint8_t Header[TableStreamBlobHeaderSize];
  ReadStreamBuffer(Header, TableStreamBlobHeaderSize, Stream, ErrReadTableBlobHeader);
  const int64_t Length = LoadLE<int64_t>(Header + BlobBlockPrefixSize);
  if (Length < 0 || Length > StreamBytesLeft(Stream) ||
      Length > int64_t(MemMaxBlockSize) - BlobBlockPrefixSize)
    RaiseField(ErrTableStreamBlobLength, "BlobLength", Length);
  TBlockHold Hold{TTolvanBlobBlockTable::NewBlock(Length)};
  std::memcpy(Hold.Block, Header, BlobBlockPrefixSize);
  ReadStreamBuffer(Hold.Block + BlobBlockPrefixSize, Length, Stream, ErrReadTableBlobData);
  TTolvanBlobReference Ref = Blobs.Add(Hold.Block);
  Hold.Release();
  Ref.Marker = BlobStoredMarker;
  StoreBlobReference(Record, Def, Ref);
}

void ReadRecord(TTolvanBlobBlockTable& Blobs, const TTolvanFieldDefs& Defs, int32_t RecordSize,
                uint8_t* Record, TStream& Stream) {
  const int64_t Start = Stream.Position();
  ReadStreamBuffer(Record, RecordSize, Stream, ErrReadTableRecord);
  if (!HasBlobColumns(Defs))
    return;
  int64_t Next = Start + RecordSize;
  const int32_t N = Defs.Count();
  int32_t Resolved = 0;
  try {
    for (int32_t I = 0; I < N; ++I) {
      const TTolvanFieldDef& Def = Defs.Items(I);
      if (!Def.IsBlob())
        continue;
      if (IsFieldNull(Record, I)) {
        // A NULL column's bytes are zero; anything else would be read as a reference later.
        std::memset(Record + Def.BufferOffset(), 0, BlobReferenceSize);
        continue;
      }
      ReadBlobValue(Blobs, Def, Record, Next, Stream);
      ++Resolved;
      Next = Stream.Position();
    }
  } catch (...) {
    // The blocks resolved so far belong to no stored record yet.
    for (int32_t I = 0; I < N && Resolved > 0; ++I) {
      const TTolvanFieldDef& Def = Defs.Items(I);
      if (Def.IsBlob() && !IsFieldNull(Record, I)) {
        Blobs.Free(LoadBlobReference(Record, Def));
        --Resolved;
      }
    }
    throw;
  }
}

void SaveRecords(TTolvanMemoryRecordManager& Records, TTolvanBlobBlockTable& Blobs,
                 const TTolvanFieldDefs& Defs, TStream& Stream) {
  if (Records.RecordCount() <= 0)
    return;
  Records.SaveToStream(Stream);
  const int32_t Size = Records.RecordSize();
  std::vector<uint8_t> Scratch(static_cast<size_t>(Size));
  const uint8_t* Block = Records.RecordBlock();
  for (int32_t Slot = Records.MinID(); Slot <= Records.MaxID(); ++Slot) {
    if (Records.IsSlotDeleted(Slot))
      continue;
    WriteRecord(Blobs, Defs, Size, Block + int64_t(Slot) * Size, Scratch.data(), Stream);
  }
}

void LoadRecords(TTolvanMemoryRecordManager& Records, TTolvanBlobBlockTable& Blobs,
                 const TTolvanFieldDefs& Defs, int64_t RecordCount, TStream& Stream) {
  if (RecordCount <= 0)
    return;
  Records.LoadFromStream(Stream, RecordCount);
  const int32_t Size = Records.RecordSize();
  std::vector<uint8_t> Scratch(static_cast<size_t>(Size));
  int32_t Position = -1;
  for (int64_t I = 0; I < RecordCount; ++I) {
    ReadRecord(Blobs, Defs, Size, Scratch.data(), Stream);
    Records.AppendLoadedRecord(Scratch.data(), Position);
  }
}

// --- the whole table
// ------------------------------------------------------------------------------

namespace {

void WriteBody(TTolvanTableData& Table, TTolvanMemoryRecordManager* Records,
               TTolvanBlobBlockTable& Blobs, TStream& Body) {
  Table.SaveSequences(Body);
  if (Table.FieldManager())
    Table.FieldManager()->SaveToStream(Body);
  else
    TTolvanFieldDefs().SaveToStream(Body);
  if (Table.ConstraintManager())
    Table.ConstraintManager()->SaveToStream(Body);
  else
    TTolvanConstraintDefs().SaveToStream(Body);
  if (Table.IndexManager())
    Table.IndexManager()->SaveToStream(Body);
  else {
    TTolvanIndexDefs().SaveToStream(Body);
    TTolvanMemoryPageManager().SaveToStream(Body);
  }
  if (Records && Records->RecordCount() > 0 && Table.FieldDefs())
    SaveRecords(*Records, Blobs, *Table.FieldDefs(), Body);
}

// About the bytes WriteBody will write, so that a memory stream is grown once rather than piece
// by piece through the records and pages: the record slots and the page blocks, which are nearly
// all of it. BLOB values are left to ordinary growth.
void ReserveBody(TTolvanTableData& Table, TTolvanMemoryRecordManager* Records, TStream& Body) {
  auto* Memory = dynamic_cast<TTolvanMemoryStream*>(&Body);
  if (!Memory)
    return;
  int64_t Bytes = 4096;
  if (Records && Records->RecordCount() > 0)
    Bytes += Records->RecordCount() * int64_t(Records->RecordSize()) +
             (int64_t(Records->Capacity()) + 7) / 8;
  if (Table.IndexManager())
    if (auto* Pages =
            dynamic_cast<TTolvanMemoryPageManager*>(&Table.IndexManager()->GetPageManager()))
      Bytes += int64_t(Pages->Capacity()) * (Pages->PageSize() + 1);
  const int64_t Target = Memory->Position() + Bytes;
  if (Target > MemMaxBlockSize)
    return;
  // Memory that cannot be had ahead may still be had piece by piece; only a block found damaged
  // (and so gone) is an error of its own.
  const bool HadBlock = Memory->Memory() != nullptr;
  try {
    Memory->Reserve(Target);
  } catch (...) {
    if (HadBlock && !Memory->Memory())
      throw;
  }
}

} // namespace

void SaveTableToStream(TTolvanTableData& Table, TTolvanMemoryRecordManager* Records,
                       TTolvanBlobBlockTable& Blobs, TStream& Stream,
                       TTolvanCompressionAlgorithm Algorithm, uint8_t Level, int32_t Value,
                       int64_t ObjectIDCounter) {
  TTolvanTableStreamInfo Info;
  Info.RecordCount = Records ? Records->RecordCount() : 0;
  Info.Value = Value;
  Info.Algorithm = Algorithm;
  Info.Level = Level;
  Info.Name = Table.TableName();
  Info.ObjectIDCounter = ObjectIDCounter;
  if (Info.Name.size() > 255)
    throw ERangeError(std::string(SysConst::SRangeError));
  if (Algorithm > caPPM)
    RaiseField(ErrTableStreamAlgorithm, "Algorithm", Algorithm);

  const int64_t Start = Stream.Position();
  std::exception_ptr BodyError;
  try {
    WriteStreamHeader(Stream, Info);
    if (Algorithm == caNone) {
      ReserveBody(Table, Records, Stream);
      WriteBody(Table, Records, Blobs, Stream);
    } else {
      TTolvanMemoryStream Body;
      ReserveBody(Table, Records, Body);
      WriteBody(Table, Records, Blobs, Body);
      if (Body.Size() > MaxInt32)
        RaiseField(ErrTableStreamBodySize, "BodySize", Body.Size());
      void* Out = nullptr;
      int32_t OutSize = 0;
      if (!CompressBuffer(Algorithm, Level, Body.Memory(), int32_t(Body.Size()), Out, OutSize))
        throw ETolvanException::CreateFmt(ErrTableStreamCompress, SCompressBufferFailed,
                                          int32_t(Algorithm), int32_t(Level), int32_t(Body.Size()),
                                          OutSize);
      THeapHold Hold{Out};
      Info.UncompressedSize = Body.Size();
      Info.Value = OutSize;
      WriteStreamBuffer(Out, OutSize, Stream, ErrWriteTableRecord);
    }
  } catch (...) {
    BodyError = std::current_exception();
  }

  // The header at the start gets its final sizes on every path; when the body failed, a failure
  // here is dropped so that the body's error is the one reported.
  try {
    const int64_t End = Stream.Position();
    Stream.SetPosition(Start);
    if (Stream.Position() != Start)
      throw ETolvanException::CreateFmt(ErrTableStreamPosition, SCannotSetStreamPosition, Start,
                                        End, Stream.Position());
    WriteStreamHeader(Stream, Info);
    SetStreamPosition(Stream, End, ErrTableStreamPosition);
  } catch (...) {
    if (!BodyError)
      throw;
  }
  if (BodyError)
    std::rethrow_exception(BodyError);
}

namespace {

std::unique_ptr<TTolvanLoadedTable> LoadTableParts(TTolvanTableData& Table, TStream& Stream);

void ReadBody(TTolvanTableData& Table, TStream& Body, TTolvanLoadedTable& Loaded) {
  const int32_t Count = ReadStreamValue<int32_t>(Body, ErrLoadSequencesCount);
  if (Count < 0 || int64_t(Count) * MinSequenceFormSize > StreamBytesLeft(Body))
    RaiseStoredValueError(Body, Count, ErrLoadSequencesCount);
  Loaded.Sequences.reserve(size_t(Count));
  for (int32_t I = 0; I < Count; ++I) {
    auto Sequence = std::make_unique<TTolvanSequenceDef>();
    Sequence->LoadFromStream(Body);
    Loaded.Sequences.push_back(std::move(Sequence));
  }
  Loaded.FieldDefs.LoadFromStream(Body);
  Loaded.FieldDefs.CalcLayout();
  Loaded.ConstraintDefs.LoadFromStream(Body);
  Loaded.IndexDefs.LoadFromStream(Body);
  CheckIndexDefs(Loaded.IndexDefs, &Loaded.FieldDefs);
  Loaded.PageStore = std::make_unique<TTolvanMemoryPageManager>();
  Loaded.PageStore->LoadFromStream(Body);
  for (int32_t I = 0; I < Loaded.IndexDefs.Count(); ++I) {
    const int32_t Root = Loaded.IndexDefs.Items(I).RootPageNo();
    if (Root != -1 && (Root < 0 || !Loaded.PageStore->PageAllocated(Root)))
      RaiseStoredValueError(Body, Root, ErrIndexRootPageNo);
  }
  Loaded.HasBlobs = HasBlobColumns(Loaded.FieldDefs);
  Loaded.Blobs = std::make_unique<TTolvanBlobBlockTable>();
  const int64_t RecordCount = Loaded.Header.RecordCount;
  if (RecordCount > 0) {
    const int32_t Size = LayoutRecordSize(Loaded.FieldDefs);
    if (Loaded.FieldDefs.Count() == 0 || Size <= 0 || RecordCount * Size > StreamBytesLeft(Body))
      RaiseField(ErrTableStreamLayout, "RecordSize", Size);
    Loaded.Records = std::make_unique<TTolvanMemoryRecordManager>(Table, Size, 0);
    LoadRecords(*Loaded.Records, *Loaded.Blobs, Loaded.FieldDefs, RecordCount, Body);
  }
}

} // namespace

std::unique_ptr<TTolvanLoadedTable> LoadTableFromStream(TTolvanTableData& Table, TStream& Stream) {
  // The definitions' forms refuse some damage with the class library's errors (a range or
  // overflow check); a damaged table stream is reported as the engine's error throughout.
  try {
    return LoadTableParts(Table, Stream);
  } catch (const ETolvanException&) {
    throw;
  } catch (const Exception& E) {
    throw ETolvanException::Create(ErrTableStreamDamaged, E.Message());
  }
}

namespace {

std::unique_ptr<TTolvanLoadedTable> LoadTableParts(TTolvanTableData& Table, TStream& Stream) {
  auto Loaded = std::make_unique<TTolvanLoadedTable>();
  TTolvanLoadedTable& Fresh = *Loaded;
  ReadStreamHeader(Stream, Fresh.Header);
  if (Fresh.Header.Algorithm == caNone) {
    ReadBody(Table, Stream, Fresh);
  } else {
    const int32_t InSize = Fresh.Header.Value;
    if (InSize <= 0 || InSize > StreamBytesLeft(Stream))
      RaiseField(ErrTableStreamCompressedSize, "CompressedSize", InSize);
    const int64_t OutExpected = Fresh.Header.UncompressedSize;
    if (OutExpected <= 0 || OutExpected > MaxInt32)
      RaiseField(ErrTableStreamUncompressedSize, "UncompressedSize", OutExpected);
    TBlockHold In{static_cast<uint8_t*>(TTolvanMemoryManager::GetMem(InSize))};
    ReadStreamBuffer(In.Block, InSize, Stream, ErrReadTableRecord);
    void* Out = nullptr;
    int32_t OutSize = int32_t(OutExpected);
    if (!DecompressBuffer(Fresh.Header.Algorithm, In.Block, InSize, Out, OutSize))
      throw ETolvanException::CreateFmt(ErrTableStreamDecompress, SDecompressBufferFailed,
                                        int32_t(Fresh.Header.Algorithm), InSize, OutSize);
    THeapHold OutHold{Out};
    if (OutSize != OutExpected)
      RaiseField(ErrTableStreamUncompressedSize, "UncompressedSize", OutSize);
    TSpanStream Body(static_cast<const uint8_t*>(Out), OutSize);
    ReadBody(Table, Body, Fresh);
  }
  return Loaded;
}

} // namespace

// --- the check of loaded indexes -----------------------------------------------------------------

namespace {

// No session: the loaded pages are all committed.
constexpr int32_t LoadCheckSessionID = -2;

struct TKeyHold {
  uint8_t* Key = nullptr;
  ~TKeyHold() { TTolvanBTreeKeyRef::FreeKey(Key); }
};

[[noreturn]] void RaiseIndexEntry(const TTolvanIndexDef& Def, int64_t Number) {
  throw ETolvanException::CreateFmt(ErrTableStreamIndexEntry, SInvalidTableStreamField,
                                    "Index " + Def.Name(), Number);
}

void CheckIndexEntries(TTolvanBTreeIndex& Index, const TTolvanIndexDef& Def, int64_t RecordCount,
                       int64_t NumberLimit, const TTolvanLoadedRecordReader& Reader) {
  TTolvanBTree& Tree = Index.Tree();
  const TTolvanBTreeKeyRef& KeyRef = Index.KeyRef();
  TKeyHold Stored{KeyRef.AllocKey()};
  TKeyHold Made{KeyRef.AllocKey()};
  std::vector<bool> Seen(size_t(std::max<int64_t>(NumberLimit, 0)));
  int64_t Entries = 0;
  TTolvanBTreeScanState State;
  TTolvanRecordID ID{};
  for (bool Start = true;
       Tree.ScanNext(LoadCheckSessionID, Start, true, nullptr, nullptr, nullptr, ID, State);
       Start = false) {
    Tree.ReadEntryAt(LoadCheckSessionID, State.Path, Stored.Key);
    int64_t Number = -1;
    const uint8_t* Record = Reader(ID, Number);
    if (!Record || Number < 0 || Number >= NumberLimit || Seen[size_t(Number)])
      RaiseIndexEntry(Def, Number);
    Seen[size_t(Number)] = true;
    KeyRef.MakeKey(Record, Made.Key);
    if (KeyRef.CompareKeys(Stored.Key, Made.Key) != 0)
      RaiseIndexEntry(Def, Number);
    ++Entries;
  }
  if (Entries != RecordCount)
    RaiseIndexEntry(Def, Entries);
}

} // namespace

void CheckLoadedIndexes(TTolvanBaseIndexManager& Indexes, int64_t RecordCount, int64_t NumberLimit,
                        const TTolvanLoadedRecordReader& Reader) {
  TTolvanIndexDefs& Defs = Indexes.IndexDefs();
  for (int32_t I = 0; I < Defs.Count(); ++I) {
    const TTolvanIndexDef& Def = Defs.Items(I);
    auto* Index = dynamic_cast<TTolvanBTreeIndex*>(&Indexes.GetIndex(Def.ObjectID()));
    if (!Index)
      continue;
    CheckTree(Index->Tree(), LoadCheckSessionID);
    CheckIndexEntries(*Index, Def, RecordCount, NumberLimit, Reader);
  }
}

} // namespace tolvan
