#include "schema/TolvanCursor.h"

#include <cstring>

#include "classlib/DB.h"
#include "foundation/TolvanExcept.h"
#include "foundation/TolvanMessages.h"

namespace tolvan {

namespace {

[[noreturn]] void RaiseFieldNumber(int32_t Code, int32_t FieldNo, int32_t Count) {
  throw ETolvanException::CreateFmt(Code, SInvalidFieldNumber, FieldNo, Count);
}

int32_t CheckedSum(int32_t A, int32_t B) {
  int32_t Sum;
  if (__builtin_add_overflow(A, B, &Sum))
    throw EIntOverflow(std::string(SysConst::SIntOverflow));
  return Sum;
}

} // namespace

TTolvanCursor::~TTolvanCursor() = default;

// --- operations with a base behaviour -----------------------------------------------------------

void TTolvanCursor::RenameField(std::string_view OldName, std::string_view NewName) {
  TTolvanFieldDef* Def = FFieldDefs.FindByName(OldName);
  if (!Def)
    throw ETolvanException::CreateFmt(ErrRenameFieldNotFound, SFieldNotFound, OldName);
  const std::string_view Name = CutShortString(NewName);
  const TTolvanFieldDef* Other = FFieldDefs.FindByName(Name);
  // The column itself may take another case of its own name.
  if (Other && Other != Def)
    throw ETolvanException::CreateFmt(ErrRenameFieldExists, SCannotRenameFieldAlreadyExists,
                                      OldName, Name);
  Def->SetName(Name);
}

void TTolvanCursor::CreateIndexForFields(const TStringList*, AnsiString&) {
  throw ETolvanException::Create(ErrCreateIndexForFields, SOperationNotSupported);
}

void TTolvanCursor::SetMasterFields(const TStringList*, int32_t) {
  throw ETolvanException::Create(ErrSetMasterFields, SOperationNotSupported);
}

// --- field values -------------------------------------------------------------------------------

uint8_t* TTolvanCursor::CurrentBuffer() const {
  if (!FRecordBuffer)
    throw EDatabaseError(std::string(SCursorHasNoRecordBuffer));
  return FRecordBuffer;
}

int32_t TTolvanCursor::TableFieldNo(int32_t FieldNo, int32_t Code) const {
  const int32_t Visible = FVisibleFieldDefs.Count();
  if (FieldNo < 0 || FieldNo >= Visible)
    RaiseFieldNumber(Code, FieldNo, Visible);
  const int32_t No = FVisibleFieldDefs.Items(FieldNo).TableFieldNo();
  if (No < 0 || No >= FFieldDefs.Count())
    RaiseFieldNumber(Code, No, FFieldDefs.Count());
  return No;
}

int32_t TTolvanCursor::ResolveField(int32_t FieldNo, bool TableNumbering, int32_t TableCode,
                                    int32_t VisibleCode) const {
  if (!TableNumbering)
    return TableFieldNo(FieldNo, VisibleCode);
  if (FieldNo < 0 || FieldNo >= FFieldDefs.Count())
    RaiseFieldNumber(TableCode, FieldNo, FFieldDefs.Count());
  return FieldNo;
}

void TTolvanCursor::GetFieldValue(TTolvanVariant& Value, int32_t FieldNo, bool TableNumbering,
                                  bool Copy) {
  const int32_t No =
      ResolveField(FieldNo, TableNumbering, ErrGetFieldValueTableFieldNo, ErrGetFieldValueFieldNo);
  const TTolvanFieldDef& Def = FFieldDefs.Items(No);
  uint8_t* Buffer = CurrentBuffer();
  // A column outside the layout would send the read past the record.
  const int64_t End = int64_t(Def.BufferOffset()) + Def.DataSize();
  if (Def.DataSize() <= 0 || Def.BufferOffset() < FFieldsOffset || End > FRecordIDOffset)
    throw ETolvanException::CreateFmt(ErrGetFieldDataCopy, SErrorGettingFieldData, No,
                                      Def.BufferOffset(), Def.DataSize());
  if (IsFieldNull(Buffer, No)) {
    Value.Clear(Def.BaseType());
    return;
  }
  if (Def.IsBlob()) {
    ReadBlobValue(Value, No, Def);
    return;
  }
  Value.SetBuffer(Buffer + Def.BufferOffset(), Def.DataSize(), Def.BaseType(), Copy, false);
}

void TTolvanCursor::ReadBlobValue(TTolvanVariant& Value, int32_t TableFieldNo,
                                  const TTolvanFieldDef& Def) {
  std::unique_ptr<TTolvanStream> Stream = OpenBlobReader(TableFieldNo);
  const int64_t Size = Stream ? Stream->Size() : 0;
  if (Size <= 0) {
    Value.Clear(Def.BaseType());
    return;
  }
  // Text values carry a terminator behind the content; the value's size is the content's.
  const int32_t Terminator = Def.BaseType() == tvtWideMemo ? 2 : 1;
  if (Size > INT32_MAX - Terminator)
    throw ERangeError(std::string(SysConst::SRangeError));
  std::unique_ptr<uint8_t, TTolvanMemDeleter> Block(
      static_cast<uint8_t*>(MemoryManager.GetMem(Size + Terminator)));
  SetStreamPosition(*Stream, 0, ErrBlobValueRead);
  ReadStreamBuffer(Block.get(), Size, *Stream, ErrBlobValueRead);
  std::memset(Block.get() + Size, 0, size_t(Terminator));
  Value.Clear(Def.BaseType());
  Value.AttachBuffer(Block.release(), int32_t(Size));
}

void TTolvanCursor::SetCursorFieldValue(TTolvanVariant& Value, int32_t FieldNo, uint8_t* Buffer,
                                        bool TableNumbering) {
  const int32_t No =
      ResolveField(FieldNo, TableNumbering, ErrSetFieldValueTableFieldNo, ErrSetFieldValueFieldNo);
  const TTolvanFieldDef& Def = FFieldDefs.Items(No);
  uint8_t* Target = Buffer ? Buffer : CurrentBuffer();
  if (Value.IsNull()) {
    SetFieldNull(Target, No, true);
    return;
  }
  if (Def.IsBlob())
    throw ETolvanException::CreateFmt(TableNumbering ? ErrSetBlobValueTableFieldNo
                                                     : ErrSetBlobValueFieldNo,
                                      SSettingBlobValueNotAllowed, FieldNo, FTableName);
  // Converted before anything is written: a failed conversion leaves the record as it was.
  Value.CastTo(Def.BaseType());
  WriteFieldData(Def, No, FFieldsOffset, FRecordIDOffset, Value.Data(), Value.DataSize(), Target);
}

bool TTolvanCursor::GetFieldNative(int32_t FieldNo, const uint8_t* Buffer, void* Destination) {
  const int32_t No = TableFieldNo(FieldNo, ErrGetFieldNativeFieldNo);
  return GetFieldData(No, FFieldDefs, Destination, Buffer ? Buffer : CurrentBuffer());
}

bool TTolvanCursor::GetFieldNative(int32_t FieldNo, const uint8_t* Buffer,
                                   WideString& Destination) {
  const int32_t No = TableFieldNo(FieldNo, ErrGetFieldNativeFieldNo);
  return GetFieldData(No, FFieldDefs, Destination, Buffer ? Buffer : CurrentBuffer());
}

void TTolvanCursor::SetFieldNative(int32_t FieldNo, const void* Source, uint8_t* Buffer) {
  const int32_t No = TableFieldNo(FieldNo, ErrSetFieldNativeFieldNo);
  SetFieldData(No, FFieldDefs, Source, Buffer ? Buffer : CurrentBuffer());
}

void TTolvanCursor::SetFieldNative(int32_t FieldNo, std::u16string_view Source, uint8_t* Buffer) {
  const int32_t No = TableFieldNo(FieldNo, ErrSetFieldNativeFieldNo);
  SetFieldData(No, FFieldDefs, Source, Buffer ? Buffer : CurrentBuffer());
}

// --- buffers and state --------------------------------------------------------------------------

uint8_t* TTolvanCursor::AllocRecordBuffer() {
  if (!FWorkBuffer)
    FWorkBuffer.reset(static_cast<uint8_t*>(MemoryManager.AllocMem(FRecordSize)));
  return static_cast<uint8_t*>(MemoryManager.AllocMem(FRecordSize));
}

void TTolvanCursor::FreeRecordBuffer(uint8_t*& Buffer) {
  if (Buffer)
    MemoryManager.FreeAndNillMem(Buffer);
}

uint8_t* TTolvanCursor::AllocBookmarkBuffer() {
  return static_cast<uint8_t*>(MemoryManager.AllocMem(BookmarkRecordSize()));
}

void TTolvanCursor::ClearRecordBuffer(uint8_t* Buffer) {
  std::memset(Buffer, 0, size_t(BookmarkRecordSize()));
  InitRecord(Buffer, false);
}

void TTolvanCursor::SetIndexName(std::string_view Name) {
  FIndexName = Name;
  const TTolvanIndexDef* Def = FIndexDefs.FindByName(Name);
  FIndexID = Def ? Def->ObjectID() : -1;
}

void TTolvanCursor::SetSession(TTolvanBaseSession* Value) noexcept {
  if (FOwnedSession && FOwnedSession.get() != Value)
    FOwnedSession.reset();
  FSession = Value;
}

void TTolvanCursor::AdoptSession(std::unique_ptr<TTolvanBaseSession> Value) noexcept {
  FOwnedSession = std::move(Value);
  FSession = FOwnedSession.get();
}

std::unique_ptr<TTolvanBaseSession> TTolvanCursor::ReleaseOwnedSession() noexcept {
  if (FOwnedSession)
    FSession = nullptr;
  return std::move(FOwnedSession);
}

void TTolvanCursor::SetRecordLayout() {
  FFieldDefs.CalcLayout();
  const int32_t E = FFieldDefs.RecordBufferSize();
  const int32_t Size = CheckedSum(E, RecordTrailerSize);
  FFieldsOffset = FFieldDefs.NullBitmapSize();
  FRecordIDOffset = E;
  FRecordSize = Size;
  FCalcFieldsOffset = Size;
}

void TTolvanCursor::StoreRange(uint8_t* StartKey, uint8_t* EndKey, int32_t StartKeyFieldCount,
                               int32_t EndKeyFieldCount, bool StartExclusive,
                               bool EndExclusive) noexcept {
  FRangeStartKey = StartKey;
  FRangeEndKey = EndKey;
  FRangeStartKeyFieldCount = StartKeyFieldCount;
  FRangeEndKeyFieldCount = EndKeyFieldCount;
  FRangeStartExclusive = StartExclusive;
  FRangeEndExclusive = EndExclusive;
}

} // namespace tolvan
