#include "storage/TolvanRecordBitmap.h"

#include <algorithm>
#include <limits>
#include <string>

#include "classlib/SysUtils.h"
#include "foundation/TolvanExcept.h"
#include "foundation/TolvanMessages.h"
#include "storage/TolvanTableData.h"

namespace tolvan {

namespace {

constexpr int32_t ErrNilTableData = 10425;
constexpr int32_t ErrItemAtNumber = 11326;
constexpr int32_t ErrRemoveMissing = 11327;
constexpr int32_t ErrDuplicateID = 11328;
constexpr int32_t ErrInsertAfterMissing = 11332;

[[noreturn]] void RaiseMissing(int32_t Code, const TTolvanRecordID& ID) {
  throw ETolvanException::CreateFmt(Code, SRecordDoesNotExist, ID.PageNo, int32_t(ID.PageItemNo));
}

} // namespace

TTolvanRecordBitmap::TTolvanRecordBitmap(TTolvanTableData* TableData) : FTableData(TableData) {
  if (!TableData)
    throw ETolvanException::Create(ErrNilTableData, SNilPointerOccurred);
  FItems.SetComparePageNoOnly(TableData->IsMemory());
  FItems.SetCompareAsNumber(TableData->IsTemporary());
}

void TTolvanRecordBitmap::SetFilled(bool Value) {
  FFilled = Value;
  if (!Value) {
    // Rebuilt soon, often to a like size: the storage stays.
    FItems.ClearKeepingStorage();
    FItems.SetSorted(true);
  }
}

void TTolvanRecordBitmap::TuneGrowth() {
  const int64_t Total = FTableData->GetTotalRecordCount();
  if (Total > std::numeric_limits<int32_t>::max())
    throw ERangeError(std::string(SysConst::SRangeError));
  int32_t MaxDelta = int32_t(Total / 10);
  if (MaxDelta <= 0)
    MaxDelta = 1000;
  FItems.SetMaxDelta(MaxDelta);
  FItems.SetGrowDelta(std::max(MaxDelta / 100, 10));
}

void TTolvanRecordBitmap::Add(const TTolvanRecordID& ID) {
  if (FItems.Count() == 0) {
    FItems.Add(ID);
    FItems.SetLastID(ID);
    return;
  }
  if (!FItems.Sorted()) {
    FItems.Add(ID);
    return;
  }
  const int Order = FItems.Compare(ID, FItems.LastID());
  if (Order == 0)
    throw ETolvanException::CreateFmt(ErrDuplicateID, SDuplicateRecordIdInRecordMap, ID.PageNo,
                                      int32_t(ID.PageItemNo));
  FItems.Add(ID);
  if (Order < 0)
    FItems.SetSorted(false);
  else
    FItems.SetLastID(ID);
}

void TTolvanRecordBitmap::Remove(const TTolvanRecordID& ID) {
  const int32_t Index = FItems.IndexOf(ID);
  if (Index < 0)
    RaiseMissing(ErrRemoveMissing, ID);
  FItems.Delete(Index);
}

void TTolvanRecordBitmap::InsertAfter(const TTolvanRecordID& ID, const TTolvanRecordID& AfterID,
                                      bool Prepend, bool Append) {
  int32_t Index;
  if (Append)
    Index = FItems.Count();
  else if (Prepend)
    Index = 0;
  else {
    const int32_t After = FItems.IndexOf(AfterID);
    if (After < 0)
      RaiseMissing(ErrInsertAfterMissing, AfterID);
    Index = After + 1;
  }
  FItems.Insert(Index, ID);
  FItems.SetSorted(false);
}

int64_t TTolvanRecordBitmap::RecNoOf(const TTolvanRecordID& ID) const noexcept {
  // The first position, also where an unsorted set holds ID twice.
  const int32_t Index = FItems.IndexOf(ID);
  return Index < 0 ? -1 : int64_t(Index) + 1;
}

void TTolvanRecordBitmap::ItemAt(TTolvanRecordID& ID, int64_t RecNo) const {
  if (RecNo < 1 || RecNo > Count())
    throw ETolvanException::CreateFmt(ErrItemAtNumber, SInvalidItemNumber, RecNo - 1, Count());
  ID = FItems[int32_t(RecNo - 1)];
}

void TTolvanRecordBitmap::Navigate(TTolvanNavState& State) const {
  if (!FFilled) {
    State.Result = rrMissing;
    return;
  }
  const int32_t N = FItems.Count();
  if (N == 0) {
    State.Result = rrEndReached;
    return;
  }
  int32_t Target;
  if (State.AtBegin) {
    if (State.Mode == rmNext)
      Target = 0;
    else {
      State.Result = State.Mode == rmPrior ? rrBeginReached : rrMissing;
      return;
    }
  } else if (State.AtEnd) {
    if (State.Mode == rmPrior)
      Target = N - 1;
    else {
      State.Result = State.Mode == rmNext ? rrEndReached : rrMissing;
      return;
    }
  } else {
    const int32_t Index = PositionOf(State.RecordID);
    if (Index < 0) {
      State.Result = rrMissing;
      return;
    }
    if (State.Mode == rmNext) {
      if (Index == N - 1) {
        State.Result = rrEndReached;
        return;
      }
      Target = Index + 1;
    } else if (State.Mode == rmPrior) {
      if (Index == 0) {
        State.Result = rrBeginReached;
        return;
      }
      Target = Index - 1;
    } else
      Target = Index;
  }
  State.RecordID = FItems[Target];
  State.Result = rrOK;
  FHint = Target;
}

} // namespace tolvan
