// A dataset over a vector of rows, with the minimal hooks an engine dataset overrides: a cursor
// index with begin and end flags, one has-value byte per column, the write-state check. Every
// hook call can be logged, and the k-th one can be made to raise.
#pragma once

#include <algorithm>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "classlib/ByteOrder.h"
#include "classlib/DataSet.h"

namespace tolvan::test {

struct TInjectedFault : EDatabaseError {
  TInjectedFault() : EDatabaseError("injected") {}
};

class TFakeDataSet : public TDataSet {
public:
  struct TRow {
    int32_t Id;
    std::vector<uint8_t> Data;
  };

  // Columns: ID integer, NAME string(8), V integer.
  TFakeDataSet() {
    FieldDefs().Add("ID", ftInteger);
    FieldDefs().Add("NAME", ftString, 8);
    FieldDefs().Add("V", ftInteger);
    FieldDefs().SetUpdated(true);
  }

  std::vector<TRow> Rows;
  std::string Log;
  bool Logging = false;
  int64_t Calls = 0;
  int64_t FailAt = 0;
  bool ReadOnly = false;
  bool NoCursor = false; // OpenEngineCursor leaves no cursor, quietly
  int NewBuffers = 0;
  std::set<uint8_t*> Live;
  int32_t Pos = -1;
  bool AtBegin = true, AtEnd = false;

  void Enter(TDataSetState S) { SetState(S); }
  using TDataSet::CalcBuffer;

  // Adds rows with ID = V = each value and NAME "r<value>".
  void Fill(std::initializer_list<int32_t> Ids) {
    for (int32_t Id : Ids)
      Rows.push_back(MakeRow(Id, "r" + std::to_string(Id), Id));
  }
  TRow MakeRow(int32_t Id, const std::string& Name, int32_t V) {
    TRow R{FNextId++, std::vector<uint8_t>(DataBytes(), 0)};
    R.Data[0] = 1;
    StoreLE<int32_t>(&R.Data[1], Id);
    R.Data[5] = 1;
    std::memcpy(&R.Data[6], Name.data(), std::min<size_t>(Name.size(), 8));
    R.Data[15] = 1;
    StoreLE<int32_t>(&R.Data[16], V);
    return R;
  }
  static int32_t IdOf(const TRow& R) { return LoadLE<int32_t>(&R.Data[1]); }
  int32_t ShownId() { return FieldByName("ID").AsInteger(); }

  // Record layout: per column a has-value byte and the native data, then the 4-byte row id
  // and the flag byte, then the calculated fields.
  static constexpr int32_t ColOff[3] = {0, 5, 15};
  static constexpr int32_t DataBytes() { return 20; }
  static constexpr int32_t IdOff = 20, FlagOff = 24, CalcOff = 25;

  uint8_t* RecordBufferFor() {
    switch (State()) {
    case dsBrowse:
      return IsEmpty() ? nullptr : ActiveBuffer();
    case dsEdit:
    case dsInsert:
      return ActiveBuffer();
    case dsCalcFields:
      return CalcBuffer() ? CalcBuffer() : TempBuffer();
    case dsInactive:
      return nullptr;
    default:
      return TempBuffer();
    }
  }

  bool ReadFieldData(const TField& F, void* Buffer) override {
    const uint8_t* R = RecordBufferFor();
    if (!R)
      return false;
    const uint8_t* P = F.FieldNo() > 0 ? R + ColOff[F.FieldNo() - 1] : R + CalcOff + F.Offset();
    if (!P[0])
      return false;
    if (Buffer)
      std::memcpy(Buffer, P + 1, static_cast<size_t>(F.DataSize()));
    return true;
  }

  void WriteFieldData(TField& F, const void* Buffer) override {
    TDataSet::WriteFieldData(F, Buffer); // the state check and validation
    uint8_t* R = RecordBufferFor();
    if (!R)
      DatabaseError("no record buffer", this);
    uint8_t* P = F.FieldNo() > 0 ? R + ColOff[F.FieldNo() - 1] : R + CalcOff + F.Offset();
    P[0] = Buffer != nullptr;
    if (Buffer)
      std::memcpy(P + 1, Buffer, static_cast<size_t>(F.DataSize()));
    else
      std::memset(P + 1, 0, static_cast<size_t>(F.DataSize()));
    if (State() != dsCalcFields && State() != dsFilter && State() != dsNewValue)
      DataEvent(deFieldChange, &F);
  }

  bool CanModify() override { return !ReadOnly; }
  TDataSource* MasterSource = nullptr;
  int32_t RecordCount() override { return static_cast<int32_t>(Rows.size()); }

protected:
  void Hook(const char* Name) {
    ++Calls;
    if (Logging)
      Log.append(Log.empty() ? "" : " ").append(Name);
    if (Calls == FailAt)
      throw TInjectedFault();
  }

  void OpenEngineCursor(bool InfoQuery) override {
    Hook("OpenEngineCursor");
    FCursor = !NoCursor;
    if (FCursor)
      TDataSet::OpenEngineCursor(InfoQuery);
  }
  void OpenData() override {
    Hook("OpenData");
    TDataSet::OpenData();
    SetBookmarkSize(4);
  }
  bool HasCursor() const override { return FCursor; }
  void CloseEngineCursor() override {
    Hook("CloseEngineCursor");
    TDataSet::CloseEngineCursor();
    FCursor = false;
  }
  void CloseData() override {
    Hook("CloseData");
    TDataSet::CloseData();
  }
  int32_t RecordBufferSize() override {
    Hook("RecordBufferSize");
    return CalcOff + CalcFieldsSize();
  }
  uint8_t* NewRecordBuffer() override {
    Hook("NewRecordBuffer");
    uint8_t* B = TDataSet::NewRecordBuffer();
    Live.insert(B);
    ++NewBuffers;
    return B;
  }
  void DisposeRecordBuffer(uint8_t* B) override {
    if (Live.erase(B) != 1)
      throw std::logic_error("buffer disposed twice");
    TDataSet::DisposeRecordBuffer(B);
    Hook("DisposeRecordBuffer");
  }
  void InitRecordBuffer(uint8_t* B) override {
    Hook("InitRecordBuffer");
    std::memset(B, 0, static_cast<size_t>(CalcOff + CalcFieldsSize()));
  }
  void InitNewRecord(uint8_t* B) override {
    Hook("InitNewRecord");
    TDataSet::InitNewRecord(B);
    B[FlagOff] = bfInserted;
    StoreLE<int32_t>(B + IdOff, -1);
  }

  TGetResult FetchRecord(uint8_t* B, TGetMode Mode, bool DoCheck) override {
    (void)DoCheck;
    Hook("FetchRecord");
    const int32_t N = static_cast<int32_t>(Rows.size());
    if (Mode == gmNext) {
      Pos = AtBegin ? 0 : Pos + 1;
      AtBegin = false;
      if (Pos >= N) {
        Pos = N;
        AtEnd = true;
        return grEOF;
      }
    } else if (Mode == gmPrior) {
      Pos = AtEnd ? N - 1 : Pos - 1;
      AtEnd = false;
      if (Pos < 0) {
        Pos = -1;
        AtBegin = true;
        return grBOF;
      }
    } else if (AtBegin || AtEnd || Pos < 0 || Pos >= N) {
      return grError;
    }
    const TRow& R = Rows[static_cast<size_t>(Pos)];
    std::memcpy(B, R.Data.data(), R.Data.size());
    StoreLE<int32_t>(B + IdOff, R.Id);
    B[FlagOff] = bfCurrent;
    CalculateFields(B);
    return grOK;
  }
  void MoveToBegin() override {
    Hook("MoveToBegin");
    Pos = -1;
    AtBegin = true;
    AtEnd = false;
  }
  void MoveToEnd() override {
    Hook("MoveToEnd");
    Pos = static_cast<int32_t>(Rows.size());
    AtBegin = false;
    AtEnd = true;
  }
  int32_t Find(int32_t Id) const {
    for (size_t I = 0; I < Rows.size(); ++I)
      if (Rows[I].Id == Id)
        return static_cast<int32_t>(I);
    return -1;
  }
  void PositionOnRecord(uint8_t* B) override {
    Hook("PositionOnRecord");
    const int32_t I = Find(LoadLE<int32_t>(B + IdOff));
    if (I < 0)
      DatabaseError("record gone", this);
    Pos = I;
    AtBegin = AtEnd = false;
  }

  void ReadBookmark(const uint8_t* B, uint8_t* Data) override {
    Hook("ReadBookmark");
    std::memcpy(Data, B + IdOff, 4);
  }
  void WriteBookmark(uint8_t* B, const uint8_t* Data) override {
    Hook("WriteBookmark");
    std::memcpy(B + IdOff, Data, 4);
  }
  TBookmarkFlag ReadBookmarkFlag(const uint8_t* B) override {
    Hook("ReadBookmarkFlag");
    return static_cast<TBookmarkFlag>(B[FlagOff]);
  }
  void WriteBookmarkFlag(uint8_t* B, TBookmarkFlag Flag) override {
    Hook("WriteBookmarkFlag");
    B[FlagOff] = Flag;
  }
  void GotoBookmarkPosition(const uint8_t* Bm) override {
    Hook("GotoBookmarkPosition");
    Pos = Find(LoadLE<int32_t>(Bm));
    if (Pos < 0)
      Pos = static_cast<int32_t>(Rows.size()) + 1; // nowhere: a current fetch fails
    AtBegin = AtEnd = false;
  }
  bool IsBookmarkValid(const uint8_t* Bm) override {
    Hook("IsBookmarkValid");
    return Find(LoadLE<int32_t>(Bm)) >= 0;
  }
  int32_t CompareBookmarkIDs(const uint8_t* A, const uint8_t* B) override {
    Hook("CompareBookmarkIDs");
    if (!A || !B)
      return TDataSet::CompareBookmarkIDs(A, B);
    const int32_t X = Find(LoadLE<int32_t>(A)), Y = Find(LoadLE<int32_t>(B));
    return X < Y ? -1 : X > Y ? 1 : 0;
  }

  void BeginInsertRecord() override {
    Hook("BeginInsertRecord");
    const int32_t N = static_cast<int32_t>(Rows.size());
    FInsertAt = AtEnd || Pos >= N ? N : std::max(Pos, 0);
  }
  void EditRecord() override {
    Hook("EditRecord");
    if (Pos < 0 || Pos >= static_cast<int32_t>(Rows.size()))
      DatabaseError("no current record", this);
  }
  void PostRecord() override {
    Hook("PostRecord");
    const uint8_t* B = ActiveBuffer();
    std::vector<uint8_t> Data(B, B + DataBytes());
    if (State() == dsInsert) {
      const int32_t At = B[FlagOff] == bfEOF ? static_cast<int32_t>(Rows.size()) : FInsertAt;
      Rows.insert(Rows.begin() + At, TRow{FNextId++, std::move(Data)});
      Pos = At;
    } else {
      Rows.at(static_cast<size_t>(Pos)).Data = std::move(Data);
    }
    AtBegin = AtEnd = false;
  }
  void CancelRecord() override { Hook("CancelRecord"); }
  void DeleteRecord() override {
    Hook("DeleteRecord");
    Rows.erase(Rows.begin() + Pos);
    AtBegin = AtEnd = false;
  }
  void ClearCalculatedFields(uint8_t* B) override {
    Hook("ClearCalculatedFields");
    std::memset(B + CalcOff, 0, static_cast<size_t>(CalcFieldsSize()));
  }
  TDataSource* GetMasterSource() const override { return MasterSource; }
  bool LocateRecord(std::string_view, const Variant& KeyValues, TLocateOptions) override {
    Hook("LocateRecord");
    for (size_t I = 0; I < Rows.size(); ++I) {
      if (IdOf(Rows[I]) != KeyValues.AsInteger())
        continue;
      DoBeforeScroll();
      CursorPosChanged();
      Pos = static_cast<int32_t>(I);
      AtBegin = AtEnd = false;
      Resync(true, true);
      DoAfterScroll();
      return true;
    }
    return false;
  }

private:
  bool FCursor = false;
  int32_t FInsertAt = 0;
  int32_t FNextId = 1;
};

} // namespace tolvan::test
