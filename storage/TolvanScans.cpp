#include "storage/TolvanScans.h"

#include <algorithm>
#include <string>
#include <vector>

#include "classlib/SysUtils.h"
#include "foundation/TolvanExcept.h"
#include "foundation/TolvanMessages.h"
#include "schema/expr/TolvanExpression.h"
#include "storage/TolvanIndexManager.h"
#include "storage/TolvanRecordBitmap.h"
#include "storage/TolvanRecordManager.h"
#include "storage/TolvanTableData.h"

namespace tolvan {

void LoadRecord(TTolvanTableData& Table, int32_t SessionID, TTolvanNavState& State) {
  if (!Table.RecordManager())
    throw ETolvanException::Create(ErrLoadRecordNoRecordManager, SNilPointerOccurred);
  if (!Table.IndexManager())
    throw ETolvanException::Create(ErrLoadRecordNoIndexManager, SNilPointerOccurred);
  if (!State.Buffer)
    throw ETolvanException::Create(ErrLoadRecordNoBuffer, SNilPointerOccurred);
  State.SessionID = SessionID;
  if (State.IndexID != -1 && (State.Mode == rmNext || State.Mode == rmPrior))
    Table.IndexManager()->GetRecordViaIndex(SessionID, State);
  else
    Table.RecordManager()->GetRecord(State);
}

bool KeyConditionHolds(TTolvanSearchIndexes& Indexes, const TTolvanScanSearchCondition& Condition,
                       const uint8_t* Record) {
  if (!Condition.KeyBuffer)
    return Condition.ConditionType >= sctEqual && Condition.ConditionType <= sctGreaterOrEqual;
  const int32_t Cmp = Indexes.CompareRecordKeys(Condition.IndexID, Record, Condition.KeyBuffer,
                                                Condition.KeyFieldCount);
  switch (Condition.ConditionType) {
  case sctEqual:
    return Cmp == 0;
  case sctLess:
    return Cmp < 0;
  case sctGreater:
    return Cmp > 0;
  case sctLessOrEqual:
    return Cmp <= 0;
  case sctGreaterOrEqual:
    return Cmp >= 0;
  default:
    return false;
  }
}

namespace {

bool IsDriving(const TTolvanDrivingConditions& D, int32_t I) noexcept {
  return I == D.First || I == D.Second;
}

// The stored record of the id, read into Record in store order.
bool ReadStored(TTolvanTableData& Table, int32_t SessionID, const TTolvanRecordID& ID,
                uint8_t* Record) {
  TTolvanNavState S;
  S.Mode = rmCurrent;
  S.RecordID = ID;
  S.Buffer = Record;
  LoadRecord(Table, SessionID, S);
  return S.Result == rrOK;
}

// A scan state of the driving index, freed on every way out.
class TScanState {
public:
  explicit TScanState(TTolvanIndex& Index) : FIndex(Index), FState(Index.CreateScanState()) {}
  ~TScanState() {
    try {
      FIndex.FreeScanState(FState);
    } catch (...) {
    }
  }
  TScanState(const TScanState&) = delete;
  TScanState& operator=(const TScanState&) = delete;
  TTolvanIndexScanState* Get() const noexcept { return FState; }

private:
  TTolvanIndex& FIndex;
  TTolvanIndexScanState* FState;
};

// Key paths of one index, freed on every way out.
class TKeyPaths {
public:
  explicit TKeyPaths(TTolvanIndex& Index) : FIndex(Index) {}
  ~TKeyPaths() {
    for (TTolvanIndexKeyPath*& P : FPaths) {
      try {
        FIndex.FreeKeyPath(P);
      } catch (...) {
      }
    }
  }
  TKeyPaths(const TKeyPaths&) = delete;
  TKeyPaths& operator=(const TKeyPaths&) = delete;
  TTolvanIndexKeyPath* New() {
    FPaths.push_back(nullptr);
    FPaths.back() = FIndex.CreateKeyPath();
    return FPaths.back();
  }

private:
  TTolvanIndex& FIndex;
  std::vector<TTolvanIndexKeyPath*> FPaths;
};

// The driving conditions of a request, looked up once.
struct TDriving {
  TDriving(const TTolvanScanRequest& R)
      : Start(&ConditionAt(*R.Conditions, R.Driving.First)),
        End(R.Driving.Second == -1 ? nullptr : &ConditionAt(*R.Conditions, R.Driving.Second)) {}
  const TTolvanScanSearchCondition* Start;
  const TTolvanScanSearchCondition* End;
};

} // namespace

bool NeedsRecordCheck(const TTolvanScanRequest& R) {
  if (R.Hooks.FilterRecord && *R.Hooks.FilterRecord)
    return true;
  for (int32_t I = 0; I < ConditionCount(*R.Conditions); ++I) {
    if (IsDriving(R.Driving, I))
      continue;
    const TTolvanScanSearchCondition& C = ConditionAt(*R.Conditions, I);
    if (IsKeyCondition(C) || !C.Expression->IsEmpty())
      return true;
  }
  return false;
}

bool RecordPasses(TTolvanSearchIndexes& Indexes, const TTolvanScanRequest& R,
                  const TTolvanDrivingConditions& Driving) {
  for (int32_t I = 0; I < ConditionCount(*R.Conditions); ++I) {
    if (IsDriving(Driving, I))
      continue;
    const TTolvanScanSearchCondition& C = ConditionAt(*R.Conditions, I);
    if (IsKeyCondition(C)) {
      if (!KeyConditionHolds(Indexes, C, R.Record))
        return false;
    } else if (!C.Expression->IsEmpty() && !C.Expression->EvaluateBoolean()) {
      return false;
    }
  }
  return !R.Hooks.FilterRecord || !*R.Hooks.FilterRecord || (*R.Hooks.FilterRecord)(R.Record);
}

// --- full scan ----------------------------------------------------------------------------------

bool FullScan(TTolvanTableData& Table, TTolvanSearchIndexes& Indexes, const TTolvanScanRequest& R,
              TTolvanRecordID* Found) {
  const bool Callback = R.Hooks.FilterRecord && *R.Hooks.FilterRecord;
  if (R.ResultSet && ConditionCount(*R.Conditions) == 0 && !Callback)
    return false;
  TTolvanNavState S;
  S.IndexID = R.CursorIndexID;
  S.Buffer = R.Record;
  S.RecordID = R.CurrentRecordID;
  S.Mode = R.Forward ? rmNext : rmPrior;
  S.AtBegin = R.FromBeginning && R.Forward;
  S.AtEnd = R.FromBeginning && !R.Forward;
  const TTolvanDrivingConditions None;
  for (;;) {
    LoadRecord(Table, R.SessionID, S);
    if (S.Result != rrOK)
      return false;
    S.AtBegin = S.AtEnd = 0;
    if (!RecordPasses(Indexes, R, None))
      continue;
    if (!R.ResultSet) {
      if (Found)
        *Found = S.RecordID;
      return true;
    }
    R.ResultSet->Add(S.RecordID);
  }
}

// --- index-order scan ---------------------------------------------------------------------------

bool IndexOrderScan(TTolvanTableData& Table, TTolvanSearchIndexes& Indexes,
                    const TTolvanScanRequest& R, TTolvanRecordID* Found) {
  const TDriving D(R);
  TTolvanIndex& Index = Table.IndexManager()->GetIndex(D.Start->IndexID);
  const bool Check = NeedsRecordCheck(R);
  TScanState State(Index);
  TTolvanRecordID ID = R.CurrentRecordID;
  if (!R.FromBeginning && !ReadStored(Table, R.SessionID, ID, R.Record))
    return false;
  bool Start = R.FromBeginning;
  while (Index.ScanNext(R.SessionID, Start, R.Forward, D.Start, D.End, R.Record, ID, State.Get())) {
    Start = false;
    if (Check) {
      if (!ReadStored(Table, R.SessionID, ID, R.Record) || !RecordPasses(Indexes, R, R.Driving))
        continue;
    }
    if (!R.ResultSet) {
      if (Found)
        *Found = ID;
      return true;
    }
    R.ResultSet->Add(ID);
  }
  return false;
}

// --- store-order scan ---------------------------------------------------------------------------

bool StoreOrderScan(TTolvanTableData& Table, TTolvanSearchIndexes& Indexes,
                    const TTolvanScanRequest& R, TTolvanRecordID* Found) {
  const TDriving D(R);
  TTolvanIndex& Index = Table.IndexManager()->GetIndex(D.Start->IndexID);
  const bool Check = NeedsRecordCheck(R);
  TScanState State(Index);
  const int64_t FirstAdded = R.ResultSet ? R.ResultSet->Count() : 0;
  TTolvanRecordID ID = R.CurrentRecordID;
  TTolvanRecordID Best{-1, 0};
  bool HaveBest = false;
  // Forward: the smallest id (after the current one); backward: the largest (before it).
  const int32_t Wanted = R.Forward ? 1 : -1;
  bool Start = true;
  while (Index.ScanNext(R.SessionID, Start, R.Forward, D.Start, D.End, R.Record, ID, State.Get())) {
    Start = false;
    if (Check) {
      if (!ReadStored(Table, R.SessionID, ID, R.Record) || !RecordPasses(Indexes, R, R.Driving))
        continue;
    }
    if (R.FirstMatchOnly && !R.ResultSet) {
      if (Found)
        *Found = ID;
      return true;
    }
    if (R.ResultSet) {
      R.ResultSet->Add(ID);
      continue;
    }
    if (!R.FromBeginning && Table.CompareRecordIDs(ID, R.CurrentRecordID) != Wanted)
      continue;
    if (!HaveBest || Table.CompareRecordIDs(ID, Best) == -Wanted) {
      Best = ID;
      HaveBest = true;
    }
  }
  if (R.ResultSet) {
    if (!R.KeepScanOrder && R.ResultSet->Count() > FirstAdded)
      R.ResultSet->SortFrom(FirstAdded);
    return false;
  }
  if (HaveBest && Found)
    *Found = Best;
  return HaveBest;
}

// --- reordered scan -----------------------------------------------------------------------------

namespace {

[[noreturn]] void RaisePosition(int32_t Code, int32_t IndexID, const TTolvanRecordID& ID) {
  throw ETolvanException::CreateFmt(Code, SCannotFindRecordPositionInIndex, IndexID, ID.PageNo,
                                    int32_t(ID.PageItemNo));
}

} // namespace

bool ReorderedScan(TTolvanTableData& Table, TTolvanSearchIndexes& Indexes,
                   const TTolvanScanRequest& R, TTolvanRecordID* Found) {
  const TDriving D(R);
  TTolvanBaseIndexManager& Manager = *Table.IndexManager();
  TTolvanIndex& Order = Manager.GetIndex(R.CursorIndexID);
  TTolvanIndex& Driver = Manager.GetIndex(D.Start->IndexID);
  const bool Check = NeedsRecordCheck(R);
  TKeyPaths Paths(Order);
  TScanState State(Driver);

  TTolvanIndexKeyPath* Current = nullptr;
  if (!R.FromBeginning) {
    Current = Paths.New();
    TTolvanNavState S;
    S.Mode = rmCurrent;
    S.RecordID = R.CurrentRecordID;
    S.Buffer = R.Record;
    LoadRecord(Table, R.SessionID, S);
    if (S.Result != rrOK)
      RaisePosition(ErrScanCurrentUnreadable, R.CursorIndexID, R.CurrentRecordID);
    if (Table.CompareRecordIDs(S.RecordID, R.CurrentRecordID) != 0)
      RaisePosition(ErrScanCurrentMoved, R.CursorIndexID, R.CurrentRecordID);
    if (!Order.FindKeyPath(R.SessionID, R.CurrentRecordID, R.Record, Current))
      RaisePosition(ErrScanCurrentNotInIndex, R.CursorIndexID, R.CurrentRecordID);
  }

  struct TCandidate {
    TTolvanRecordID ID;
    TTolvanIndexKeyPath* Path;
  };
  std::vector<TCandidate> Kept; // with a result set: every passing record and its path
  TTolvanIndexKeyPath* Best = nullptr;
  TTolvanRecordID BestID{-1, 0};
  TTolvanIndexKeyPath* Spare = nullptr; // a path not kept, reused for the next candidate
  const int32_t Wanted = R.Forward ? 1 : -1;
  TTolvanRecordID ID = R.CurrentRecordID;
  bool Start = true;
  while (
      Driver.ScanNext(R.SessionID, Start, R.Forward, D.Start, D.End, R.Record, ID, State.Get())) {
    Start = false;
    // The candidate's key is needed for its place in the cursor's order.
    if (!ReadStored(Table, R.SessionID, ID, R.Record))
      continue;
    if (Check && !RecordPasses(Indexes, R, R.Driving))
      continue;
    if (R.FirstMatchOnly && !R.ResultSet) {
      if (Found)
        *Found = ID;
      return true;
    }
    TTolvanIndexKeyPath* Path = Spare ? Spare : Paths.New();
    Spare = nullptr;
    if (!Order.FindKeyPath(R.SessionID, ID, R.Record, Path))
      RaisePosition(R.ResultSet ? ErrScanResultNotInIndex : ErrScanCandidateNotInIndex,
                    R.CursorIndexID, ID);
    if (R.ResultSet) {
      R.ResultSet->Add(ID);
      Kept.push_back({ID, Path});
      continue;
    }
    if (Current && Order.CompareKeyPaths(Path, Current) != Wanted) {
      Spare = Path;
      continue;
    }
    if (Best && Order.CompareKeyPaths(Path, Best) != -Wanted) {
      Spare = Path;
      continue;
    }
    Spare = Best;
    Best = Path;
    BestID = ID;
  }
  if (R.ResultSet) {
    if (!R.KeepScanOrder && !Kept.empty()) {
      std::sort(Kept.begin(), Kept.end(), [&](const TCandidate& A, const TCandidate& B) {
        return Order.CompareKeyPaths(A.Path, B.Path) < 0;
      });
      std::vector<TTolvanRecordID> IDs(Kept.size());
      for (size_t I = 0; I < Kept.size(); ++I)
        IDs[I] = Kept[I].ID;
      R.ResultSet->ReorderFrom(R.ResultSet->Count() - int64_t(Kept.size()), IDs);
    }
    return false;
  }
  if (Best && Found)
    *Found = BestID;
  return Best != nullptr;
}

// --- choice -------------------------------------------------------------------------------------

bool RunScan(TTolvanTableData& Table, TTolvanSearchIndexes& Indexes, const TTolvanScanRequest& R,
             TTolvanRecordID* Found) {
  const int32_t Count = ConditionCount(*R.Conditions);
  for (const int32_t P : {R.Driving.First, R.Driving.Second})
    if (P < -1 || P >= Count)
      throw ETolvanException::CreateFmt(10382, SInvalidConditionNumber, P, Count);
  if (R.Driving.First == -1) {
    if (R.Driving.Second != -1)
      throw ETolvanException::CreateFmt(10382, SInvalidConditionNumber, R.Driving.Second, Count);
    return FullScan(Table, Indexes, R, Found);
  }
  if (R.CursorIndexID == -1)
    return StoreOrderScan(Table, Indexes, R, Found);
  if (ConditionAt(*R.Conditions, R.Driving.First).IndexID == R.CursorIndexID)
    return IndexOrderScan(Table, Indexes, R, Found);
  return ReorderedScan(Table, Indexes, R, Found);
}

} // namespace tolvan
