#include "storage/TolvanSearch.h"

#include <algorithm>
#include <memory>
#include <string>

#include "classlib/SysUtils.h"
#include "foundation/TolvanExcept.h"
#include "foundation/TolvanMemory.h"
#include "foundation/TolvanMessages.h"
#include "schema/TolvanCursor.h"
#include "schema/TolvanRecordBuffer.h"
#include "schema/expr/TolvanExpression.h"
#include "storage/TolvanIndexManager.h"
#include "storage/TolvanRecordBitmap.h"
#include "storage/TolvanRecordManager.h"
#include "storage/TolvanScans.h"
#include "storage/TolvanTableData.h"

namespace tolvan {

// --- the table's answers ------------------------------------------------------------------------

int32_t TTolvanTableSearchIndexes::CompareRecordKeys(int32_t IndexID, const uint8_t* A,
                                                     const uint8_t* B, int32_t ColumnCount) {
  return FTable.IndexManager()->GetIndex(IndexID).CompareRecordKeys(A, B, ColumnCount);
}

int32_t TTolvanTableSearchIndexes::ConditionDirection(const TTolvanScanSearchCondition& Condition) {
  return FTable.IndexManager()->GetIndex(Condition.IndexID).ConditionDirection(Condition);
}

int64_t TTolvanTableSearchIndexes::EstimateRangeCount(int32_t SessionID,
                                                      const TTolvanScanSearchCondition& A,
                                                      int64_t Total,
                                                      const TTolvanScanSearchCondition& B) {
  return FTable.IndexManager()->GetIndex(A.IndexID).EstimateRangeCount(SessionID, A, Total, B);
}

bool TTolvanTableSearchIndexes::IsUniqueLookup(int32_t IndexID) {
  const TTolvanIndexDef* Def = FTable.IndexManager()->GetIndex(IndexID).Def();
  if (!Def)
    return false;
  if (Def->Unique() || Def->Primary())
    return true;
  if (Def->ColumnCount() < 1 || !FTable.FieldDefs())
    return false;
  const TTolvanFieldDef* Field = FTable.FieldDefs()->FindByName(Def->Columns(0).Name());
  return Field && Field->IsAutoinc();
}

int64_t TTolvanTableSearchIndexes::TotalRecordCount() { return FTable.GetTotalRecordCount(); }

int64_t TTolvanTableSearchIndexes::ApproxRecNo(int32_t SessionID, const TTolvanRecordID& RecordID) {
  return FTable.RecordManager()->GetApproxRecNo(RecordID, SessionID);
}

// --- merging ------------------------------------------------------------------------------------

TTolvanMergeOutcome MergeOutcome(uint8_t TypeA, uint8_t TypeB, int32_t C, int32_t CountA,
                                 int32_t CountB) noexcept {
  // A zero c means the keys agree over the shorter one; which condition has more key fields then
  // decides whether one implies the other. An equality with fewer key fields than a strict bound
  // on the same prefix leaves room for records on both sides of the bound's last fields, so
  // those cells answer "both".
  const bool Lt = C<0, Eq = C == 0, Gt = C> 0;
  switch (TypeA * 8 + TypeB) {
  // A: equal
  case sctEqual * 8 + sctEqual:
    return Eq ? tmoLonger : tmoEmpty;
  case sctEqual * 8 + sctLess:
    return Lt ? tmoKeepA : Eq && CountA < CountB ? tmoBoth : tmoEmpty;
  case sctEqual * 8 + sctGreater:
    return Gt ? tmoKeepA : Eq && CountA < CountB ? tmoBoth : tmoEmpty;
  case sctEqual * 8 + sctLessOrEqual:
    return Gt ? tmoEmpty : Lt ? tmoKeepA : CountA >= CountB ? tmoKeepA : tmoBoth;
  case sctEqual * 8 + sctGreaterOrEqual:
    return Lt ? tmoEmpty : Gt ? tmoKeepA : CountA >= CountB ? tmoKeepA : tmoBoth;
  // A: less
  case sctLess * 8 + sctEqual:
    return Gt ? tmoTakeB : Eq && CountB < CountA ? tmoBoth : tmoEmpty;
  case sctLess * 8 + sctLess:
    return Lt ? tmoKeepA : Eq ? tmoShorter : tmoTakeB;
  case sctLess * 8 + sctGreater:
    return Gt ? tmoBoth : tmoEmpty;
  case sctLess * 8 + sctLessOrEqual:
    return Gt ? tmoTakeB : tmoKeepA;
  case sctLess * 8 + sctGreaterOrEqual:
    return Lt || (Eq && CountA <= CountB) ? tmoEmpty : tmoBoth;
  // A: greater
  case sctGreater * 8 + sctEqual:
    return Lt ? tmoTakeB : Eq && CountB < CountA ? tmoBoth : tmoEmpty;
  case sctGreater * 8 + sctLess:
    return Lt ? tmoBoth : tmoEmpty;
  case sctGreater * 8 + sctGreater:
    return Gt ? tmoKeepA : Eq ? tmoShorter : tmoTakeB;
  case sctGreater * 8 + sctLessOrEqual:
    return Gt || (Eq && CountA <= CountB) ? tmoEmpty : tmoBoth;
  case sctGreater * 8 + sctGreaterOrEqual:
    return Lt ? tmoTakeB : tmoKeepA;
  // A: less or equal
  case sctLessOrEqual * 8 + sctEqual:
    return Lt ? tmoEmpty : Gt ? tmoTakeB : CountB >= CountA ? tmoTakeB : tmoBoth;
  case sctLessOrEqual * 8 + sctLess:
    return Lt ? tmoKeepA : Gt ? tmoTakeB : tmoBoth;
  case sctLessOrEqual * 8 + sctGreater:
    return Lt || (Eq && CountB <= CountA) ? tmoEmpty : tmoBoth;
  case sctLessOrEqual * 8 + sctLessOrEqual:
    return Lt ? tmoKeepA : Eq ? tmoLonger : tmoTakeB;
  case sctLessOrEqual * 8 + sctGreaterOrEqual:
    return Lt ? tmoEmpty : Eq && CountA == CountB ? tmoEqualLonger : tmoBoth;
  // A: greater or equal
  case sctGreaterOrEqual * 8 + sctEqual:
    return Gt ? tmoEmpty : Lt ? tmoTakeB : CountB >= CountA ? tmoTakeB : tmoBoth;
  case sctGreaterOrEqual * 8 + sctLess:
    return Gt || (Eq && CountB <= CountA) ? tmoEmpty : tmoBoth;
  case sctGreaterOrEqual * 8 + sctGreater:
    return Gt ? tmoKeepA : tmoTakeB;
  case sctGreaterOrEqual * 8 + sctLessOrEqual:
    return Gt ? tmoEmpty : Eq && CountA == CountB ? tmoEqualLonger : tmoBoth;
  case sctGreaterOrEqual * 8 + sctGreaterOrEqual:
    return Gt ? tmoKeepA : Eq ? tmoLonger : tmoTakeB;
  default:
    return tmoNone;
  }
}

namespace {

bool Comparable(const TTolvanScanSearchCondition& C) noexcept {
  return C.ConditionType != sctExpression && C.ConditionType <= sctGreaterOrEqual && C.KeyBuffer;
}

void TakeKey(TTolvanScanSearchCondition& A, const TTolvanScanSearchCondition& B) noexcept {
  A.KeyBuffer = B.KeyBuffer;
  A.KeyFieldCount = B.KeyFieldCount;
  A.ConditionType = B.ConditionType;
}

} // namespace

void MergeConditions(TTolvanSearchIndexes& Indexes, TTolvanScanSearchCondition& A,
                     const TTolvanScanSearchCondition& B, bool& Empty, bool& Merged) {
  Empty = false;
  Merged = false;
  if (!Comparable(A) || !Comparable(B))
    return;
  const int32_t Shorter = std::min(A.KeyFieldCount, B.KeyFieldCount);
  const int32_t C = Indexes.CompareRecordKeys(A.IndexID, A.KeyBuffer, B.KeyBuffer, Shorter);
  switch (MergeOutcome(A.ConditionType, B.ConditionType, C, A.KeyFieldCount, B.KeyFieldCount)) {
  case tmoNone:
  case tmoBoth:
    return;
  case tmoEmpty:
    Empty = true;
    return;
  case tmoKeepA:
    break;
  case tmoTakeB:
    TakeKey(A, B);
    break;
  case tmoShorter:
    if (B.KeyFieldCount < A.KeyFieldCount)
      TakeKey(A, B);
    break;
  case tmoLonger:
    if (B.KeyFieldCount > A.KeyFieldCount)
      TakeKey(A, B);
    break;
  case tmoEqualLonger:
    if (B.KeyFieldCount > A.KeyFieldCount)
      TakeKey(A, B);
    A.ConditionType = sctEqual;
    break;
  }
  Merged = true;
}

bool SameKeyCondition(TTolvanSearchIndexes& Indexes, const TTolvanScanSearchCondition& A,
                      const TTolvanScanSearchCondition& B) {
  if (A.IndexID != B.IndexID || A.ConditionType != B.ConditionType ||
      A.ConditionType == sctExpression || A.KeyFieldCount != B.KeyFieldCount)
    return false;
  if (!A.KeyBuffer || !B.KeyBuffer)
    return !A.KeyBuffer && !B.KeyBuffer;
  return Indexes.CompareRecordKeys(A.IndexID, A.KeyBuffer, B.KeyBuffer, A.KeyFieldCount) == 0;
}

void RemoveDuplicateConditions(TTolvanSearchIndexes& Indexes, TTolvanSearchConditionList& List) {
  // Lists hold a handful of conditions; the pairwise walk costs nothing beside one record read.
  int32_t I = 0;
  while (I < ConditionCount(List)) {
    bool Duplicate = false;
    for (int32_t J = 0; J < ConditionCount(List) && !Duplicate; ++J)
      Duplicate = J != I && SameKeyCondition(Indexes, ConditionAt(List, I), ConditionAt(List, J));
    if (Duplicate)
      List.erase(List.begin() + I);
    else
      ++I;
  }
}

uint8_t* TTolvanSearchBuffers::Grown(std::unique_ptr<uint8_t, TTolvanMemDeleter>& Block,
                                     int64_t& Have, int64_t Size) {
  if (!Block || Have < Size) {
    Block.reset();
    Have = 0;
    Block.reset(static_cast<uint8_t*>(TTolvanMemoryManager::AllocMem(std::max<int64_t>(Size, 1))));
    Have = Size;
  }
  return Block.get();
}

bool SimplifyConditions(TTolvanSearchIndexes& Indexes, TTolvanSearchConditionList& List,
                        TTolvanSearchBuffers* Scratch) {
  std::vector<int32_t> OwnIndexIDs;
  TTolvanSearchConditionList OwnResult;
  std::vector<int32_t>& IndexIDs = Scratch ? Scratch->IndexIDs : OwnIndexIDs;
  TTolvanSearchConditionList& Result = Scratch ? Scratch->Simplified : OwnResult;
  IndexIDs.clear();
  Result.clear();
  for (const TTolvanScanSearchCondition& C : List)
    if (IsKeyCondition(C) &&
        std::find(IndexIDs.begin(), IndexIDs.end(), C.IndexID) == IndexIDs.end())
      IndexIDs.push_back(C.IndexID);

  Result.reserve(List.size());
  for (const int32_t IndexID : IndexIDs) {
    const size_t First = Result.size();
    for (const TTolvanScanSearchCondition& C : List) {
      if (!IsKeyCondition(C) || C.IndexID != IndexID)
        continue;
      bool MergedAny = false;
      for (size_t M = First; M < Result.size(); ++M) {
        bool Empty = false, Merged = false;
        MergeConditions(Indexes, Result[M], C, Empty, Merged);
        if (Empty)
          return true;
        MergedAny = MergedAny || Merged;
      }
      if (!MergedAny)
        Result.push_back(C);
    }
  }
  RemoveDuplicateConditions(Indexes, Result);
  for (const TTolvanScanSearchCondition& C : List)
    if (!IsKeyCondition(C))
      Result.push_back(C);
  List.swap(Result);
  return false;
}

// --- driving conditions -------------------------------------------------------------------------

bool SquareExceeds(int64_t Estimate, int64_t Threshold) noexcept {
  if (Estimate < 0)
    Estimate = 0;
  if (Threshold < 0)
    return true;
  if (Estimate == 0)
    return false;
  // Estimate^2 > T  <=>  Estimate > floor(T / Estimate) for T >= 0.
  return Estimate > Threshold / Estimate;
}

namespace {

int32_t FirstUniqueEquality(TTolvanSearchIndexes& Indexes, const TTolvanSearchConditionList& List) {
  for (int32_t I = 0; I < ConditionCount(List); ++I) {
    const TTolvanScanSearchCondition& C = ConditionAt(List, I);
    if (IsKeyCondition(C) && C.ConditionType == sctEqual && C.IndexID != -1 &&
        Indexes.IsUniqueLookup(C.IndexID))
      return I;
  }
  return -1;
}

// The only key condition of the list when it is on the cursor's index.
int32_t LoneConditionOnIndex(const TTolvanSearchConditionList& List, int32_t CursorIndexID) {
  int32_t Found = -1;
  for (int32_t I = 0; I < ConditionCount(List); ++I) {
    if (!IsKeyCondition(ConditionAt(List, I)))
      continue;
    if (Found != -1)
      return -1;
    Found = I;
  }
  return Found != -1 && CursorIndexID != -1 && ConditionAt(List, Found).IndexID == CursorIndexID
             ? Found
             : -1;
}

TTolvanDrivingConditions BestEstimate(TTolvanSearchIndexes& Indexes, int32_t SessionID,
                                      const TTolvanSearchConditionList& List, int32_t CursorIndexID,
                                      const TTolvanRecordID& CurrentRecordID, bool Probing) {
  TTolvanDrivingConditions Choice;
  const int64_t Total = Indexes.TotalRecordCount();
  int64_t Best = Total;
  const int32_t Count = ConditionCount(List);
  for (int32_t I = 0; I < Count; ++I) {
    const TTolvanScanSearchCondition& A = ConditionAt(List, I);
    if (!IsKeyCondition(A) || A.IndexID == -1)
      continue;
    int32_t Second = -1;
    if (I + 1 < Count) {
      const TTolvanScanSearchCondition& N = ConditionAt(List, I + 1);
      if (IsKeyCondition(N) && N.IndexID == A.IndexID)
        Second = I + 1;
    }
    const TTolvanScanSearchCondition& B = Second == -1 ? A : ConditionAt(List, Second);
    const int64_t Estimate = Indexes.EstimateRangeCount(SessionID, A, Total, B);
    if (Estimate < Best) {
      Best = Estimate;
      Choice = {I, Second};
    }
    if (Second != -1)
      I = Second;
  }
  if (Choice.First == -1 || Probing)
    return Choice;
  // A probe runs once per driving row, so its narrowest range drives whatever the table's size.
  // A range scan through another order than the cursor's keeps every candidate; without a
  // cursor index it only pays while the range is small beside the records still ahead.
  const int64_t Threshold =
      CursorIndexID != -1 ? Total : (Total - Indexes.ApproxRecNo(SessionID, CurrentRecordID)) / 5;
  if (SquareExceeds(Best, Threshold))
    return {};
  return Choice;
}

int32_t FirstIndexed(const TTolvanSearchConditionList& List) {
  for (int32_t I = 0; I < ConditionCount(List); ++I) {
    const TTolvanScanSearchCondition& C = ConditionAt(List, I);
    if (IsKeyCondition(C) && C.IndexID != -1)
      return I;
  }
  return -1;
}

// Puts a driving pair in scan order. The scan runs from the first entry satisfying its start
// condition to the last satisfying its end condition, which is the records satisfying both only
// when the start is the lower bound (or an equality) and the end the upper bound (or an
// equality): greater, then equal, then less. A pair that does not bound a range from both sides
// (two bounds of one direction, a condition without key) drives with its first condition alone,
// and the other is tested on each record.
void OrderPair(TTolvanSearchIndexes& Indexes, const TTolvanSearchConditionList& List, bool Forward,
               TTolvanDrivingConditions& D) {
  const TTolvanScanSearchCondition& A = ConditionAt(List, D.First);
  const TTolvanScanSearchCondition& B = ConditionAt(List, D.Second);
  const int32_t DA = Indexes.ConditionDirection(A);
  const int32_t DB = Indexes.ConditionDirection(B);
  if (!A.KeyBuffer || !B.KeyBuffer || DA == DB) {
    D.Second = -1;
    return;
  }
  int32_t Lower = D.First, Upper = D.Second;
  if (DB < DA)
    std::swap(Lower, Upper);
  D.First = Forward ? Lower : Upper;
  D.Second = Forward ? Upper : Lower;
}

} // namespace

TTolvanDrivingConditions ChooseDrivingConditions(TTolvanSearchIndexes& Indexes, int32_t SessionID,
                                                 const TTolvanSearchConditionList& List,
                                                 int32_t CursorIndexID,
                                                 const TTolvanRecordID& CurrentRecordID,
                                                 bool Forward, bool Probing) {
  TTolvanDrivingConditions D;
  D.First = FirstUniqueEquality(Indexes, List);
  if (D.First == -1)
    D.First = LoneConditionOnIndex(List, CursorIndexID);
  if (D.First == -1)
    D = BestEstimate(Indexes, SessionID, List, CursorIndexID, CurrentRecordID, Probing);
  if (D.First == -1) {
    // The fallback walks one index anyway: a second condition on that index bounds the walk
    // from the other side, which never visits more entries than the first bound alone.
    D.First = FirstIndexed(List);
    if (D.First != -1 && D.First + 1 < ConditionCount(List)) {
      const TTolvanScanSearchCondition& N = ConditionAt(List, D.First + 1);
      if (IsKeyCondition(N) && N.IndexID == ConditionAt(List, D.First).IndexID)
        D.Second = D.First + 1;
    }
  }
  if (D.Second != -1)
    OrderPair(Indexes, List, Forward, D);
  return D;
}

// --- the search ---------------------------------------------------------------------------------

void BuildConditions(TTolvanCursor& Cursor, TTolvanSearchConditionList& List,
                     const TTolvanScanSearchCondition* Condition, TTolvanExpression* Expression) {
  const auto AddExpression = [&](TTolvanExpression* E) {
    if (!E)
      return;
    TTolvanScanSearchCondition C;
    C.Expression = E;
    List.push_back(C);
  };
  const auto AddKey = [&](uint8_t Type, uint8_t* Key, int32_t Count) {
    TTolvanScanSearchCondition C;
    C.ConditionType = Type;
    C.KeyBuffer = Key;
    C.KeyFieldCount = Count;
    C.IndexID = Cursor.IndexID();
    if (C.IndexID == -1)
      throw ETolvanException::CreateFmt(10388, SInvalidScanCondition, C.IndexID,
                                        ConditionCount(List));
    List.push_back(C);
  };
  if (Condition) {
    if (!Condition->Expression && Condition->IndexID == -1)
      throw ETolvanException::CreateFmt(10388, SInvalidScanCondition, Condition->IndexID,
                                        ConditionCount(List));
    List.push_back(*Condition);
  }
  AddExpression(Expression);
  AddExpression(Cursor.Filter());
  AddExpression(Cursor.ExternalFilter());
  AddExpression(Cursor.ProbeFilter());
  if (Cursor.RangeStartKey())
    AddKey(Cursor.RangeStartExclusive() ? sctGreater : sctGreaterOrEqual, Cursor.RangeStartKey(),
           Cursor.RangeStartKeyFieldCount());
  if (Cursor.RangeEndKey())
    AddKey(Cursor.RangeEndExclusive() ? sctLess : sctLessOrEqual, Cursor.RangeEndKey(),
           Cursor.RangeEndKeyFieldCount());
}

namespace {

// Unbinds the search's expressions from its record buffer when the search ends.
class TUnbindExpressions {
public:
  explicit TUnbindExpressions(const TTolvanSearchConditionList& List) noexcept : FList(List) {}
  ~TUnbindExpressions() {
    for (const TTolvanScanSearchCondition& C : FList)
      if (C.Expression) {
        try {
          C.Expression->SetRecordBuffer(nullptr);
        } catch (...) {
        }
      }
  }
  TUnbindExpressions(const TUnbindExpressions&) = delete;
  TUnbindExpressions& operator=(const TUnbindExpressions&) = delete;

private:
  const TTolvanSearchConditionList& FList;
};

bool Oversized(const TTolvanExpression* E) { return E && E->HasOversizedStringEquality(); }

// The key conditions the indexable comparisons of List's expressions make are appended to List;
// Extracted holds the comparisons until they are given back.
// Array is the scratch the extraction works in (cleared first).
void ExtractIndexConditions(TTolvanTableData& Table, TTolvanSearchConditionList& List,
                            TTolvanExtractedComparisons& Extracted,
                            TTolvanScanSearchConditionArray& Array) {
  // Without an index nothing is extractable.
  if (!Table.IndexManager() || Table.IndexManager()->IndexDefs().Count() == 0)
    return;
  Array.Clear();
  for (const TTolvanScanSearchCondition& C : List)
    if (C.Expression)
      Array.AddExpression(C.Expression);
  const int32_t Given = Array.Count();
  if (Given == 0)
    return;
  Array.ExtractIndexConditions(Table.IndexManager()->IndexDefs(), Extracted);
  for (int32_t I = Given; I < Array.Count(); ++I)
    List.push_back(Array.Items(I));
}

} // namespace

namespace {

// Claims one part of the cursor's search buffers for one search, or nothing when the cursor keeps
// none or a search further out holds that part; released on every way out.
class TClaim {
public:
  TClaim(TTolvanSearchBuffers* Buffers, bool TTolvanSearchBuffers::*Flag) noexcept
      : FBuffers(Buffers && !(Buffers->*Flag) ? Buffers : nullptr), FFlag(Flag) {
    if (FBuffers)
      FBuffers->*FFlag = true;
  }
  ~TClaim() {
    if (FBuffers)
      FBuffers->*FFlag = false;
  }
  TClaim(const TClaim&) = delete;
  TClaim& operator=(const TClaim&) = delete;
  TTolvanSearchBuffers* Buffers() const noexcept { return FBuffers; }

private:
  TTolvanSearchBuffers* FBuffers;
  bool TTolvanSearchBuffers::*FFlag;
};

using TEngineBlock = std::unique_ptr<uint8_t, TTolvanMemDeleter>;

// A record buffer of Size bytes: the claimed one, else Own made for this search.
uint8_t* RecordBufferFor(const TClaim& Claim, uint8_t* (TTolvanSearchBuffers::*Kept)(int64_t),
                         int64_t Size, TEngineBlock& Own) {
  if (Claim.Buffers())
    return (Claim.Buffers()->*Kept)(Size);
  Own.reset(static_cast<uint8_t*>(TTolvanMemoryManager::AllocMem(Size)));
  return Own.get();
}

} // namespace

bool SearchTable(TTolvanTableData& Table, TTolvanCursor& Cursor, TTolvanExpression* Expression,
                 const TTolvanScanSearchCondition* Condition, bool FromBeginning, bool Forward,
                 TTolvanRecordID* Found, TTolvanRecordBitmap* ResultSet, bool FirstMatchOnly) {
  if (Table.GetTotalRecordCount() == 0)
    return false;
  // An equality with a constant longer than its column matches nothing; extracted, the constant
  // would be cut to the column and match the rows equal to the cut text.
  if (Oversized(Expression) || Oversized(Cursor.Filter()) || Oversized(Cursor.ExternalFilter()) ||
      Oversized(Cursor.ProbeFilter()) || (Condition && Oversized(Condition->Expression)))
    return false;

  // Declared first, so the buffers stay claimed until everything below has let go of them.
  const TClaim Claim(Cursor.SearchBuffers(), &TTolvanSearchBuffers::SearchInUse);
  TTolvanSearchConditionList OwnList;
  TTolvanSearchConditionList& List = Claim.Buffers() ? Claim.Buffers()->Conditions : OwnList;
  List.clear();
  BuildConditions(Cursor, List, Condition, Expression);
  // Declared after the unbinding, so the comparisons are back in their filters when it runs.
  TUnbindExpressions Unbind(List);
  TTolvanExtractedComparisons OwnExtracted;
  TTolvanScanSearchConditionArray OwnArray;
  TTolvanExtractedComparisons& Extracted =
      Claim.Buffers() ? Claim.Buffers()->Extracted : OwnExtracted;
  // Gives the comparisons back on every way out, also those in the cursor's kept list.
  struct TGiveBack {
    TTolvanExtractedComparisons& List;
    ~TGiveBack() { List.ReleaseAll(); }
  } GiveBack{Extracted};
  ExtractIndexConditions(Table, List, Extracted,
                         Claim.Buffers() ? Claim.Buffers()->Extraction : OwnArray);
  TTolvanTableSearchIndexes Indexes(Table);
  if (SimplifyConditions(Indexes, List, Claim.Buffers()))
    return false;

  const int32_t SessionID = Cursor.Session() ? Cursor.Session()->SessionID() : -1;
  TTolvanScanRequest R;
  R.SessionID = SessionID;
  R.Conditions = &List;
  R.CursorIndexID = Cursor.IndexID();
  R.CurrentRecordID = Cursor.Position();
  R.Forward = Forward;
  R.FromBeginning = FromBeginning;
  R.FirstMatchOnly = FirstMatchOnly;
  R.KeepScanOrder = Cursor.KeepScanOrder();
  R.ResultSet = ResultSet;
  R.Driving = ChooseDrivingConditions(Indexes, SessionID, List, R.CursorIndexID, R.CurrentRecordID,
                                      Forward, Cursor.ProbeFilter() != nullptr);
  // A record buffer of this search's own: a filter callback may search the same table.
  TEngineBlock OwnRecord;
  R.Record = RecordBufferFor(Claim, &TTolvanSearchBuffers::SearchRecord,
                             int64_t(Table.RecordSize()) + RecordTrailerSize, OwnRecord);
  for (const TTolvanScanSearchCondition& C : List)
    if (C.Expression)
      C.Expression->SetRecordBuffer(R.Record);
  R.Hooks.FilterRecord = Cursor.OnFilterRecord() ? &Cursor.OnFilterRecord() : nullptr;
  return RunScan(Table, Indexes, R, Found);
}

void BuildResultBitmap(TTolvanTableData& Table, TTolvanCursor& Cursor) {
  TTolvanRecordBitmap* Set = Cursor.ResultBitmap();
  if (!Set)
    throw EInvalidPointer(std::string(SysConst::SInvalidPointer));
  Set->SetFilled(false);
  Set->TuneGrowth();
  if (Table.GetTotalRecordCount() == 0)
    return;
  const TClaim Claim(Cursor.SearchBuffers(), &TTolvanSearchBuffers::ResultInUse);
  TEngineBlock OwnFresh;
  uint8_t* const Fresh = RecordBufferFor(Claim, &TTolvanSearchBuffers::ResultRecord,
                                         int64_t(Table.RecordSize()) + RecordTrailerSize, OwnFresh);
  struct TRestore {
    TTolvanCursor& Cursor;
    TTolvanCursorPosition Position;
    uint8_t* Buffer;
    ~TRestore() {
      Cursor.SetRecordBuffer(Buffer);
      Cursor.RestorePosition(Position);
    }
  } Restore{Cursor, Cursor.SavePosition(), Cursor.RecordBuffer()};
  Cursor.SetRecordBuffer(Fresh);
  Cursor.SetToBegin();
  SearchTable(Table, Cursor, nullptr, nullptr, true, true, nullptr, Set, false);
  Set->SetFilled(true);
}

} // namespace tolvan
