// The record operations of TTolvanTableData: navigation, searches, record numbers, BLOB values,
// bulk deletes and updates, and the result-set upkeep after a post.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "classlib/SysUtils.h"
#include "foundation/TolvanExcept.h"
#include "foundation/TolvanMessages.h"
#include "schema/TolvanRecordBuffer.h"
#include "schema/expr/TolvanExpression.h"
#include "storage/TolvanScans.h"
#include "storage/TolvanSearch.h"
#include "storage/TolvanTableData.h"

namespace tolvan {

namespace {

int32_t SessionIDOf(const TTolvanCursor& Cursor) noexcept {
  return Cursor.Session() ? Cursor.Session()->SessionID() : -1;
}

TTolvanRecordBitmap& ResultSetOf(const TTolvanCursor& Cursor) {
  TTolvanRecordBitmap* Set = Cursor.ResultBitmap();
  if (!Set)
    throw EInvalidPointer(std::string(SysConst::SInvalidPointer));
  return *Set;
}

using TEngineBlock = std::unique_ptr<uint8_t, TTolvanMemDeleter>;

TEngineBlock NewBuffer(int64_t Size) {
  return TEngineBlock(
      static_cast<uint8_t*>(TTolvanMemoryManager::AllocMem(std::max<int64_t>(Size, 1))));
}

// Puts the cursor back where it stood unless Keep is called.
class TPositionGuard {
public:
  explicit TPositionGuard(TTolvanCursor& Cursor) noexcept
      : FCursor(Cursor), FSaved(Cursor.SavePosition()) {}
  ~TPositionGuard() {
    if (!FKept)
      FCursor.RestorePosition(FSaved);
  }
  TPositionGuard(const TPositionGuard&) = delete;
  TPositionGuard& operator=(const TPositionGuard&) = delete;
  void Keep() noexcept { FKept = true; }

private:
  TTolvanCursor& FCursor;
  TTolvanCursorPosition FSaved;
  bool FKept = false;
};

// Runs Body, then commits the session's pages, also when Body fails (a failed commit after a
// failure is dropped: the first error passes on).
template <class TBody>
void CommitPagesAfter(TTolvanTableData& Table, int32_t SessionID, TBody&& Body) {
  try {
    Body();
  } catch (...) {
    try {
      if (TTolvanPageManager* Pages = Table.GetPageManager())
        Pages->Commit(SessionID);
    } catch (...) {
    }
    throw;
  }
  if (TTolvanPageManager* Pages = Table.GetPageManager())
    Pages->Commit(SessionID);
}

// A restricted cursor's result set is rebuilt on its next move once a bulk operation has
// changed which records it sees, also when the operation stopped half way.
struct TResetResultSet {
  TTolvanCursor& Cursor;
  ~TResetResultSet() {
    if (TTolvanTableData::IsRestricted(Cursor) && Cursor.ResultBitmap())
      Cursor.ResultBitmap()->SetFilled(false);
  }
};

// Whether a foreign key referencing the table has a delete (or update) action other than none.
bool HasForeignKeyActions(TTolvanBaseConstraintManager* Constraints, bool OnDelete) {
  if (!Constraints || !Constraints->ConstraintDefs().HasActions())
    return false;
  const TTolvanConstraintDefs& Defs = Constraints->ConstraintDefs();
  for (int32_t I = 0; I < Defs.Count(); ++I) {
    const TTolvanConstraintDef& Def = Defs.Items(I);
    if (Def.ConstraintType() != tctForeignKeyAction)
      continue;
    const auto& Action = static_cast<const TTolvanConstraintDefForeignKeyAction&>(Def);
    if ((OnDelete ? Action.OnDelete() : Action.OnUpdate()) != tfaNoAction)
      return true;
  }
  return false;
}

bool ExpressionAccepts(TTolvanExpression* E, uint8_t* Buffer) {
  if (!E)
    return true;
  E->SetRecordBuffer(Buffer);
  return E->IsEmpty() || E->EvaluateBoolean();
}

} // namespace

void TTolvanForeignKeyRoutines::ApplyForeignKeyActions(TTolvanTableData&, TTolvanCursor&, int32_t,
                                                       bool) {
  throw ETolvanException::Create(11394, SOperationNotSupported);
}

// --- searches and navigation --------------------------------------------------------------------

bool TTolvanTableData::Search(TTolvanCursor& Cursor, TTolvanExpression* Expression,
                              const TTolvanScanSearchCondition* Condition, bool FromBeginning,
                              bool Forward, TTolvanRecordID* FoundID,
                              TTolvanRecordBitmap* ResultSet, bool FirstMatchOnly) {
  return SearchTable(*this, Cursor, Expression, Condition, FromBeginning, Forward, FoundID,
                     ResultSet, FirstMatchOnly);
}

bool TTolvanTableData::Locate(TTolvanCursor& Cursor, TTolvanExpression* Expression) {
  if (!Expression)
    throw ETolvanException::Create(ErrLocateNoExpression, SNilPointerOccurred);
  TPositionGuard Position(Cursor);
  TTolvanRecordID Found{-1, 0};
  if (!Search(Cursor, Expression, nullptr, true, true, &Found, nullptr, false))
    return false;
  Cursor.SetBof(false);
  Cursor.SetEof(false);
  Cursor.SetPosition(Found);
  GetRecord(Cursor, rmCurrent);
  Position.Keep();
  return true;
}

bool TTolvanTableData::GotoKey(TTolvanCursor& Cursor, uint8_t ConditionType) {
  TTolvanScanSearchCondition Condition;
  Condition.ConditionType = ConditionType;
  Condition.KeyBuffer = Cursor.SearchKey();
  Condition.KeyFieldCount = Cursor.SearchKeyFieldCount();
  Condition.IndexID = Cursor.IndexID();
  // Only a key comparison can stand without an expression.
  if (ConditionType < sctEqual || ConditionType > sctGreaterOrEqual)
    throw ETolvanException::CreateFmt(ErrScanConditionInvalid, SInvalidScanCondition,
                                      Condition.IndexID, Condition.KeyFieldCount);
  TPositionGuard Position(Cursor);
  TTolvanRecordID Found{-1, 0};
  if (!Search(Cursor, nullptr, &Condition, true, true, &Found, nullptr, false))
    return false;
  Cursor.SetBof(false);
  Cursor.SetEof(false);
  Cursor.SetPosition(Found);
  Position.Keep();
  return true;
}

bool TTolvanTableData::RecordExists(TTolvanCursor& Cursor) {
  if (!RecordManager())
    throw ETolvanException::Create(ErrLoadRecordNoRecordManager, SNilPointerOccurred);
  return RecordManager()->RecordExists(Cursor.Position(), SessionIDOf(Cursor));
}

TTolvanGetRecordResult TTolvanTableData::GetRecord(TTolvanCursor& Cursor,
                                                   TTolvanGetRecordMode Mode) {
  if (GetTotalRecordCount() == 0)
    return rrEndReached;
  const int32_t SessionID = SessionIDOf(Cursor);
  TTolvanNavState S;
  S.SessionID = SessionID;
  S.Mode = Mode;
  S.Buffer = Cursor.RecordBuffer();
  S.RecordID = Cursor.Position();
  S.AtBegin = Cursor.Bof() ? 1 : 0;
  S.AtEnd = Cursor.Eof() ? 1 : 0;
  if (IsRestricted(Cursor)) {
    TTolvanRecordBitmap& Set = ResultSetOf(Cursor);
    if (!Set.Filled())
      BuildResultBitmap(*this, Cursor);
    // Only this cursor's own posts keep its set up to date: another session may have deleted
    // a record the set names, or changed it so that it no longer passes, since the set was
    // built. A move passes over such records in its direction.
    const TTolvanGetRecordMode Onward = Mode;
    for (;;) {
      Set.Navigate(S);
      if (S.Result != rrOK)
        break;
      S.Mode = rmCurrent;
      S.IndexID = -1;
      S.AtBegin = S.AtEnd = 0;
      LoadRecord(*this, SessionID, S);
      if (Mode == rmCurrent || (S.Result == rrOK && RecordMatches(Cursor, S.Buffer)))
        break;
      S.Mode = Onward;
    }
    if (S.Result == rrBeginReached) {
      S.AtBegin = 1;
      S.AtEnd = 0;
    } else if (S.Result == rrEndReached) {
      S.AtBegin = 0;
      S.AtEnd = 1;
    }
  } else {
    S.IndexID = Cursor.IndexID();
    LoadRecord(*this, SessionID, S);
  }
  if (S.Result == rrOK)
    S.AtBegin = S.AtEnd = 0;
  Cursor.SetPosition(S.RecordID);
  Cursor.SetBof(S.AtBegin != 0);
  Cursor.SetEof(S.AtEnd != 0);
  return S.Result;
}

// --- record numbers and counts ------------------------------------------------------------------

int64_t TTolvanTableData::GetRecordCount(TTolvanCursor& Cursor) {
  if (!IsRestricted(Cursor))
    return GetTotalRecordCount();
  TTolvanRecordBitmap& Set = ResultSetOf(Cursor);
  if (!Set.Filled())
    BuildResultBitmap(*this, Cursor);
  return Set.Count();
}

void TTolvanTableData::SetRecNo(TTolvanCursor& Cursor, int64_t RecNo) {
  const int64_t Count = GetRecordCount(Cursor);
  if (Count <= 0)
    return;
  // Numbers outside 1 .. Count land on the nearest record.
  RecNo = std::clamp<int64_t>(RecNo, 1, Count);
  if (IsRestricted(Cursor)) {
    TTolvanRecordID ID{-1, 0};
    ResultSetOf(Cursor).ItemAt(ID, RecNo);
    Cursor.SetPosition(ID);
  } else if (Cursor.IndexID() != -1) {
    TTolvanRecordID ID{-1, 0};
    // An unrestricted cursor sees every record: the index counts them all.
    IndexManager()
        ->GetIndex(Cursor.IndexID())
        .GetRecordIDByRecNo(SessionIDOf(Cursor), nullptr, RecNo, ID);
    Cursor.SetPosition(ID);
  } else {
    SetRecNoPhysical(Cursor, RecNo);
  }
  Cursor.SetBof(false);
  Cursor.SetEof(false);
}

int64_t TTolvanTableData::GetRecNo(TTolvanCursor& Cursor) {
  if (Cursor.Bof() || Cursor.Eof() || GetRecordCount(Cursor) == 0)
    return -1;
  if (IsRestricted(Cursor))
    return ResultSetOf(Cursor).RecNoOf(Cursor.Position());
  if (Cursor.IndexID() == -1)
    return GetRecNoPhysical(Cursor);
  TEngineBlock Record = NewBuffer(int64_t(RecordSize()) + RecordTrailerSize);
  TTolvanNavState S;
  S.Mode = rmCurrent;
  S.RecordID = Cursor.Position();
  S.Buffer = Record.get();
  LoadRecord(*this, SessionIDOf(Cursor), S);
  if (S.Result != rrOK)
    return -1;
  return IndexManager()
      ->GetIndex(Cursor.IndexID())
      .GetRecNo(SessionIDOf(Cursor), S.RecordID, Record.get(), nullptr);
}

// --- BLOB values --------------------------------------------------------------------------------

std::unique_ptr<TTolvanStream>
TTolvanTableData::OpenBlob(TTolvanCursor& Cursor, bool, int32_t FieldNo, TTolvanBlobOpenMode Mode) {
  if (!FieldDefs())
    throw ETolvanException::Create(ErrOpenBlobNoBlock, SNilPointerOccurred);
  return OpenBlobValue(FBlobBlocks, &Cursor, Cursor.RecordBuffer(), *FieldDefs(), FieldNo, Mode);
}

void TTolvanTableData::WriteBlob(TTolvanCursor& Cursor, int32_t FieldNo,
                                 TTolvanLocalBLOBStream& Stream) {
  if (!FieldDefs() || !Cursor.RecordBuffer())
    throw ETolvanException::Create(ErrLoadRecordNoBuffer, SNilPointerOccurred);
  WriteBlobValue(FBlobBlocks, Cursor.RecordBuffer(), *FieldDefs(), FieldNo, Stream);
}

void TTolvanTableData::FreeBlob(uint8_t* Buffer, int32_t FieldNo) {
  if (FHasBlobs && Buffer && FieldDefs())
    FreeBlobValue(FBlobBlocks, Buffer, *FieldDefs(), FieldNo);
}

void TTolvanTableData::FreeAllBlobs(uint8_t* Buffer) {
  if (FHasBlobs && Buffer && FieldDefs())
    FreeAllBlobValues(FBlobBlocks, Buffer, *FieldDefs());
}

bool TTolvanTableData::IsBlobWritten(const uint8_t* Buffer, int32_t FieldNo) const {
  return tolvan::IsBlobWritten(Buffer, FieldDefs()->Items(FieldNo));
}

void TTolvanTableData::SetBlobWritten(bool Written, uint8_t* Buffer, int32_t FieldNo) {
  tolvan::SetBlobWritten(Written, Buffer, FieldDefs()->Items(FieldNo));
}

void TTolvanTableData::SetBlobMarks(bool Written, TTolvanCursor& Cursor) {
  if (FHasBlobs && Cursor.RecordBuffer() && FieldDefs())
    tolvan::SetBlobMarks(Written, Cursor.RecordBuffer(), *FieldDefs());
}

void TTolvanTableData::CancelRecord(TTolvanCursor& Cursor) {
  if (FHasBlobs && Cursor.RecordBuffer() && FieldDefs())
    FreeWrittenBlobValues(FBlobBlocks, Cursor.RecordBuffer(), *FieldDefs());
}

// --- bulk operations ----------------------------------------------------------------------------

// Visits every record the cursor sees, read into its record buffer and made current: the ids of
// its result set, or the store from its first record to its end. A listed record that has gone
// meanwhile (a cascade in the same table) is skipped. Visit may delete the record it is given.
template <class TVisit>
void TTolvanTableData::ForEachVisibleRecord(TTolvanCursor& Cursor, int32_t LoadErrorCode,
                                            TVisit&& Visit) {
  const int32_t SessionID = SessionIDOf(Cursor);
  Cursor.SetBof(false);
  Cursor.SetEof(false);
  TTolvanNavState S;
  S.Buffer = Cursor.RecordBuffer();
  const auto Raise = [&](const TTolvanRecordID& ID) {
    throw ETolvanException::CreateFmt(LoadErrorCode, SCannotLoadRecord, ID.PageNo, ID.PageItemNo,
                                      TableName());
  };
  if (IsRestricted(Cursor)) {
    TTolvanRecordBitmap& Set = ResultSetOf(Cursor);
    if (!Set.Filled())
      BuildResultBitmap(*this, Cursor);
    // The set is this cursor's; a copy keeps the walk independent of upkeep done meanwhile.
    const std::vector<TTolvanRecordID> IDs = Set.IDs();
    for (const TTolvanRecordID& ID : IDs) {
      S.Mode = rmCurrent;
      S.IndexID = -1;
      S.RecordID = ID;
      S.AtBegin = S.AtEnd = 0;
      LoadRecord(*this, SessionID, S);
      if (S.Result == rrMissing)
        continue;
      if (S.Result != rrOK)
        Raise(ID);
      Cursor.SetPosition(ID);
      Visit(ID);
    }
    return;
  }
  S.Mode = rmNext;
  S.IndexID = -1;
  S.AtBegin = 1;
  for (;;) {
    const TTolvanRecordID From = S.RecordID;
    LoadRecord(*this, SessionID, S);
    if (S.Result == rrEndReached)
      return;
    if (S.Result != rrOK)
      Raise(From);
    S.AtBegin = 0;
    Cursor.SetPosition(S.RecordID);
    Visit(S.RecordID);
  }
}

void TTolvanTableData::DeleteAllRecords(TTolvanCursor& Cursor) {
  if (!Cursor.RecordBuffer())
    throw ETolvanException::Create(ErrLoadRecordNoBuffer, SNilPointerOccurred);
  const int32_t SessionID = SessionIDOf(Cursor);
  const bool Actions = HasForeignKeyActions(ConstraintManager(), true);
  TResetResultSet Reset{Cursor};
  CommitPagesAfter(*this, SessionID, [&] {
    ForEachVisibleRecord(Cursor, ErrDeleteAllLoadRecord, [&](const TTolvanRecordID& ID) {
      if (Actions) {
        ForeignKeyRoutines().ApplyForeignKeyActions(*this, Cursor, SessionID, true);
        // A cascade back into this table may have taken the record already.
        if (!RecordManager()->RecordExists(ID, SessionID))
          return;
        Cursor.SetPosition(ID);
      }
      if (IndexManager())
        IndexManager()->DeleteKeys(Cursor);
      // The blocks go only once the record is gone: a refused delete keeps its values.
      if (RecordManager()->DeleteRecord(ID, SessionID))
        FreeAllBlobs(Cursor.RecordBuffer());
    });
  });
}

void TTolvanTableData::UpdateAllRecords(TTolvanCursor& Cursor, const TStringList& FieldNames,
                                        std::span<TTolvanVariant* const> Values,
                                        bool SkipForeignKeys) {
  if (FieldNames.Count() != int32_t(Values.size()) || Values.empty())
    throw ETolvanException::CreateFmt(ErrUpdateAllItemCount, SInvalidItemNumber,
                                      int32_t(Values.size()), FieldNames.Count());
  for (TTolvanVariant* V : Values)
    if (!V)
      throw EInvalidPointer(std::string(SysConst::SInvalidPointer));
  if (!Cursor.RecordBuffer())
    throw ETolvanException::Create(ErrLoadRecordNoBuffer, SNilPointerOccurred);
  const int32_t SessionID = SessionIDOf(Cursor);
  const bool Actions = HasForeignKeyActions(ConstraintManager(), false);

  // The old-record buffer lives for the operation; the cursor's own comes back afterwards.
  TEngineBlock Old = NewBuffer(int64_t(RecordSize()) + RecordTrailerSize);
  struct TRestoreBeforeImage {
    TTolvanCursor& Cursor;
    uint8_t* Saved;
    ~TRestoreBeforeImage() { Cursor.SetBeforeImage(Saved); }
  } Restore{Cursor, Cursor.BeforeImage()};
  Cursor.SetBeforeImage(Old.get());

  std::vector<int32_t> FieldNos;
  TResetResultSet Reset{Cursor};
  CommitPagesAfter(*this, SessionID, [&] {
    ForEachVisibleRecord(Cursor, ErrUpdateAllLoadRecord, [&](const TTolvanRecordID& ID) {
      uint8_t* Record = Cursor.RecordBuffer();
      std::memcpy(Old.get(), Record, size_t(RecordSize()));
      if (FieldNos.empty())
        for (int32_t I = 0; I < FieldNames.Count(); ++I) {
          const int32_t FieldNo = Cursor.VisibleFieldDefs().IndexOfName(FieldNames.Strings(I));
          if (FieldNo < 0)
            throw ETolvanException::CreateFmt(ErrUpdateAllFieldNotFound, SCannotFindFieldInTable,
                                              FieldNames.Strings(I), TableName());
          FieldNos.push_back(FieldNo);
        }
      for (size_t I = 0; I < FieldNos.size(); ++I)
        Cursor.SetCursorFieldValue(*Values[I], FieldNos[I], Record, false);
      CheckConstraints(Cursor, SessionID, Record, Old.get(), false, ID, SkipForeignKeys);
      if (Actions)
        ForeignKeyRoutines().ApplyForeignKeyActions(*this, Cursor, SessionID, false);
      if (IndexManager())
        IndexManager()->UpdateKeys(Cursor);
      RecordManager()->UpdateRecord(Record, ID, SessionID);
    });
  });
}

// --- result-set upkeep --------------------------------------------------------------------------

bool TTolvanTableData::IsRestricted(const TTolvanCursor& Cursor) {
  return Cursor.CursorIsFiltered() || Cursor.CursorHasRange();
}

bool TTolvanTableData::RecordMatches(TTolvanCursor& Cursor, uint8_t* Buffer) {
  if (Cursor.CursorHasRange()) {
    TTolvanIndex& Index = IndexManager()->GetIndex(Cursor.IndexID());
    if (Cursor.RangeStartKey()) {
      const int32_t C =
          Index.CompareRecordKeys(Buffer, Cursor.RangeStartKey(), Cursor.RangeStartKeyFieldCount());
      if (Cursor.RangeStartExclusive() ? C <= 0 : C < 0)
        return false;
    }
    if (Cursor.RangeEndKey()) {
      const int32_t C =
          Index.CompareRecordKeys(Buffer, Cursor.RangeEndKey(), Cursor.RangeEndKeyFieldCount());
      if (Cursor.RangeEndExclusive() ? C >= 0 : C > 0)
        return false;
    }
  }
  return ExpressionAccepts(Cursor.Filter(), Buffer) &&
         ExpressionAccepts(Cursor.ExternalFilter(), Buffer) &&
         ExpressionAccepts(Cursor.ProbeFilter(), Buffer) && Cursor.CallCursorFilterEvent(Buffer);
}

void TTolvanTableData::AfterPostInsert(TTolvanCursor& Cursor, const TTolvanCursorPosition& Saved) {
  if (!RecordMatches(Cursor, Cursor.RecordBuffer())) {
    Cursor.RestorePosition(Saved);
    if (!Cursor.Bof() && !Cursor.Eof())
      GetRecord(Cursor, rmCurrent);
    return;
  }
  if (Cursor.IndexID() != -1)
    InsertIntoResultSet(Cursor);
  else
    ResultSetOf(Cursor).InsertAfter(Cursor.Position(), {}, false, true);
}

void TTolvanTableData::InsertIntoResultSet(TTolvanCursor& Cursor) {
  TTolvanRecordBitmap& Set = ResultSetOf(Cursor);
  uint8_t* Record = Cursor.RecordBuffer();
  if (!Record)
    throw ETolvanException::Create(ErrLoadRecordNoBuffer, SNilPointerOccurred);
  const size_t Size = size_t(RecordSize());
  TEngineBlock Copy = NewBuffer(int64_t(Size));
  std::memcpy(Copy.get(), Record, Size);
  struct TRestoreRecord {
    uint8_t* Record;
    const uint8_t* Copy;
    size_t Size;
    ~TRestoreRecord() { std::memcpy(Record, Copy, Size); }
  } Restore{Record, Copy.get(), Size};

  const TTolvanRecordID ID = Cursor.Position();
  TTolvanNavState S;
  S.Mode = rmPrior;
  S.IndexID = Cursor.IndexID();
  S.RecordID = ID;
  S.Buffer = Record;
  bool Found = false;
  for (;;) {
    LoadRecord(*this, SessionIDOf(Cursor), S);
    if (S.Result != rrOK)
      break;
    S.AtBegin = S.AtEnd = 0;
    if (RecordMatches(Cursor, Record) && Set.AcceptRecord(S.RecordID)) {
      Found = true;
      break;
    }
  }
  Set.InsertAfter(ID, S.RecordID, !Found, false);
}

void TTolvanTableData::AfterPostUpdate(TTolvanCursor& Cursor) {
  TTolvanRecordBitmap& Set = ResultSetOf(Cursor);
  const TTolvanRecordID ID = Cursor.Position();
  if (RecordMatches(Cursor, Cursor.RecordBuffer())) {
    if (Cursor.IndexID() == -1 || !Cursor.BeforeImage())
      return;
    if (IndexManager()->CompareKeys(Cursor.IndexID(), Cursor.RecordBuffer(), Cursor.BeforeImage(),
                                    0) == 0)
      return;
    if (Set.AcceptRecord(ID))
      Set.Remove(ID);
    InsertIntoResultSet(Cursor);
    return;
  }
  if (!Set.AcceptRecord(ID))
    return;
  if (GetRecord(Cursor, rmNext) != rrOK) {
    Cursor.SetPosition(ID);
    Cursor.SetBof(false);
    Cursor.SetEof(false);
    GetRecord(Cursor, rmPrior);
  }
  Set.Remove(ID);
}

} // namespace tolvan
