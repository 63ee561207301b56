#include "components/TolvanDataSetBlobStream.h"

#include "classlib/DBFields.h"
#include "components/TolvanDataSet.h"
#include "foundation/TolvanExcept.h"
#include "storage/TolvanDatabaseData.h"

namespace tolvan {

TTolvanBlobStream::TTolvanBlobStream(TField& Field, TBlobStreamMode Mode) : FField(&Field) {
  auto* DataSet = dynamic_cast<TTolvanDataSet*>(Field.DataSet());
  if (Mode != bmRead && DataSet && DataSet->ReadOnly())
    throw ETolvanException::Create(ErrBlobStreamReadOnly, "Dataset is in read only mode");
  if (!DataSet)
    throw ETolvanException::Create(ErrBlobStreamDataSet,
                                   "The dataset object is not TTolvandataset compatible");
  // Everything is checked before the cursor is touched.
  TTolvanCursor* Cursor = DataSet->Cursor();
  if (!Cursor)
    RaiseNil(ErrBlobStreamNil);
  const int32_t FieldNo = Field.FieldNo() - 1;
  const int32_t Count = Cursor->VisibleFieldDefs().Count();
  if (FieldNo < 0 || FieldNo >= Count)
    throw ETolvanException::CreateFmt(ErrBlobStreamFieldNo,
                                      "Invalid field number - FieldNo = %d, FieldCount = %d",
                                      FieldNo, Count);
  FDataSet = DataSet;
  FStream = DataSet->OpenCursorBlob(Field, Mode);
  if (!FStream)
    RaiseNil(ErrBlobStreamNil);
  if (auto* Local = dynamic_cast<TTolvanLocalBLOBStream*>(FStream))
    Local->SetOwner(this);
  SetBlockSize(FStream->BlockSize());
  try {
    if (Mode == bmWrite)
      Truncate();
  } catch (...) {
    Detach();
    try {
      DataSet->ReleaseBlobField(Field);
    } catch (...) {
    }
    throw;
  }
}

TTolvanBlobStream::~TTolvanBlobStream() {
  try {
    Close();
  } catch (...) {
    if (FDataSet)
      FDataSet->ReportException(std::current_exception());
  }
}

void TTolvanBlobStream::Detach() noexcept {
  if (!FStream)
    return;
  if (auto* Local = dynamic_cast<TTolvanLocalBLOBStream*>(FStream)) {
    FModified = FModified || Local->Written();
    if (Local->Owner() == this)
      Local->SetOwner(nullptr);
  }
  FStream = nullptr;
}

void TTolvanBlobStream::ReportChange() noexcept {
  if (!FModified || !FDataSet)
    return;
  try {
    FDataSet->SetModified(true);
    FDataSet->DataEvent(deFieldChange, FField);
  } catch (...) {
    FDataSet->ReportException(std::current_exception());
  }
}

void TTolvanBlobStream::Close() {
  if (!FStream)
    return;
  Detach();
  FDataSet->ReleaseBlobField(*FField);
  ReportChange();
}

void TTolvanBlobStream::CloseFromEngine() noexcept {
  // The cursor has taken the stream out of its list already; closing the field again stores
  // what other streams of it wrote.
  if (!FStream)
    return;
  Detach();
  try {
    // A cursor the dataset has already let go of is closing and frees every stream itself.
    if (FDataSet->Cursor())
      FDataSet->ReleaseBlobField(*FField);
  } catch (...) {
    FDataSet->ReportException(std::current_exception());
  }
  ReportChange();
}

TTolvanStream& TTolvanBlobStream::Stream() const {
  if (!FStream)
    RaiseNil(ErrBlobStreamNil);
  return *FStream;
}

int64_t TTolvanBlobStream::GetSize() { return Stream().GetSize(); }

void TTolvanBlobStream::SetSize(int64_t NewSize) {
  TTolvanStream& S = Stream();
  S.SetSize(NewSize);
  if (S.GetSize() == NewSize)
    FModified = true;
}

int64_t TTolvanBlobStream::Read(void* Buffer, int64_t Count) {
  return Stream().Read(Buffer, Count);
}

int64_t TTolvanBlobStream::Write(const void* Buffer, int64_t Count) {
  const int64_t Written = Stream().Write(Buffer, Count);
  if (Written > 0)
    FModified = true;
  return Written;
}

int64_t TTolvanBlobStream::Seek(int64_t Offset, TSeekOrigin Origin) {
  return Stream().Seek(Offset, Origin);
}

void TTolvanBlobStream::Truncate() { SetSize(Stream().Seek(0, soCurrent)); }

} // namespace tolvan
