// A dataset with one native buffer per field, for the field and definition tests.
#pragma once

#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "classlib/Classes.h"
#include "classlib/DataSet.h"

namespace tolvan::test {

// A stream over a string it does not own; counts the Close calls.
class TStringStream : public TStream {
public:
  TStringStream(std::string& Data, int& Closes) : FData(Data), FCloses(Closes) {}
  void SetSize(int64_t N) override { FData.resize(static_cast<size_t>(N)); }
  int64_t Read(void* B, int64_t C) override {
    int64_t N = std::max<int64_t>(0, std::min<int64_t>(C, int64_t(FData.size()) - FPos));
    if (N)
      std::memcpy(B, FData.data() + FPos, static_cast<size_t>(N));
    FPos += N;
    return N;
  }
  int64_t Write(const void* B, int64_t C) override {
    if (FPos + C > int64_t(FData.size()))
      FData.resize(static_cast<size_t>(FPos + C));
    std::memcpy(FData.data() + FPos, B, static_cast<size_t>(C));
    FPos += C;
    return C;
  }
  int64_t Seek(int64_t O, TSeekOrigin Or) override {
    FPos = Or == soBeginning ? O : Or == soCurrent ? FPos + O : int64_t(FData.size()) + O;
    return FPos;
  }
  void Close() override { ++FCloses; }

private:
  std::string& FData;
  int& FCloses;
  int64_t FPos = 0;
};

class TStandInDataSet : public TDataSet {
public:
  struct TSlot {
    bool Null = true;
    std::vector<uint8_t> Native;
    std::u16string Wide; // what a wide-string field's native pointer shows
    std::string Blob;
  };

  void Enter(TDataSetState S) { SetState(S); }
  TSlot& Slot(const TField& F) { return FSlots[&F]; }
  std::vector<uint8_t> Native(const TField& F) { return Slot(F).Native; }
  // Puts native bytes in place as a stored record would hold them.
  void Put(const TField& F, std::vector<uint8_t> Bytes) {
    TSlot& S = Slot(F);
    S.Native = std::move(Bytes);
    S.Null = false;
  }

  int Writes = 0;
  int BlobCloses = 0;
  int DefinitionChanges = 0;
  int FieldDefReads = 0;
  int IndexDefReads = 0;
  std::function<void(TStandInDataSet&)> OnReadFieldDefs;
  std::function<void(TStandInDataSet&)> OnRefreshIndexDefs;
  TIndexDefs IndexDefs{this};

  bool ReadFieldData(const TField& F, void* Buffer) override {
    TSlot& S = Slot(F);
    if (S.Null)
      return false;
    if (Buffer) {
      if (F.DataType() == ftWideString) {
        const char16_t* P = S.Wide.c_str();
        std::memcpy(Buffer, &P, sizeof P);
      } else {
        std::memcpy(Buffer, S.Native.data(), std::min<size_t>(S.Native.size(), F.DataSize()));
      }
    }
    return true;
  }

  void WriteFieldData(TField& F, const void* Buffer) override {
    TDataSet::WriteFieldData(F, Buffer); // the state check and validation
    ++Writes;
    TSlot& S = Slot(F);
    S.Null = Buffer == nullptr;
    if (Buffer) {
      const auto* B = static_cast<const uint8_t*>(Buffer);
      S.Native.assign(B, B + F.DataSize());
      if (F.DataType() == ftWideString) {
        const char16_t* P;
        std::memcpy(&P, Buffer, sizeof P);
        S.Wide = P;
      }
    }
    DataEvent(deFieldChange, &F);
  }

  std::unique_ptr<TStream> OpenBlobStream(TField& F, TBlobStreamMode Mode) override {
    TSlot& S = Slot(F);
    if (Mode == bmWrite) {
      S.Blob.clear();
      S.Null = false;
    }
    return std::make_unique<TStringStream>(S.Blob, BlobCloses);
  }

  void ReadFieldDefs() override {
    ++FieldDefReads;
    if (OnReadFieldDefs)
      OnReadFieldDefs(*this);
  }
  void RefreshIndexDefs() override {
    ++IndexDefReads;
    if (OnRefreshIndexDefs)
      OnRefreshIndexDefs(*this);
  }
  void DefinitionsChanged() override { ++DefinitionChanges; }

private:
  std::map<const TField*, TSlot> FSlots;
};

} // namespace tolvan::test
