// CursorContract.h: what every cursor owes its callers, as one parameterized suite over
// TTolvanCursor&.
//
// Include this header in exactly one source of a test binary and instantiate the suite there
// with the implementation's environment:
//
//   INSTANTIATE_TEST_SUITE_P(Fake, CursorContract,
//                            ::testing::Values(TCursorContractEnv{"Fake", &MakeFakeCursor}),
//                            CursorContractName);
//
// MakeCursor returns a closed cursor on a table that does not exist yet (a fresh name at every
// call), configured so that OpenTable with definitions creates it (an in-memory cursor with its
// session). Each test makes one cursor, opens it on the contract's table (ID Integer, Name
// Varchar(10), Data BLOB, Note WideMemo), works through a record buffer of its own and closes
// the cursor at the end.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "foundation/TolvanExcept.h"
#include "schema/TolvanCursor.h"

namespace tolvan::test {

struct TCursorContractEnv {
  const char* Name;
  std::function<std::unique_ptr<TTolvanCursor>()> MakeCursor;
};

inline void PrintTo(const TCursorContractEnv& Env, std::ostream* Out) { *Out << Env.Name; }

inline std::string CursorContractName(const ::testing::TestParamInfo<TCursorContractEnv>& Info) {
  return Info.param.Name;
}

class CursorContract : public ::testing::TestWithParam<TCursorContractEnv> {
protected:
  static constexpr int32_t IDField = 0;
  static constexpr int32_t NameField = 1;
  static constexpr int32_t DataField = 2;
  static constexpr int32_t NoteField = 3;

  void SetUp() override {
    Cursor = GetParam().MakeCursor();
    ASSERT_TRUE(Cursor);
    TTolvanFieldDefs Fields;
    const std::pair<const char*, TTolvanFieldType> Columns[] = {
        {"ID", tftInteger}, {"Name", tftVarchar}, {"Data", tftBLOB}, {"Note", tftWideMemo}};
    for (const auto& [Name, Type] : Columns) {
      TTolvanFieldDef& F = Fields.AddNew();
      F.SetName(Name);
      F.SetType(Type, Type == tftVarchar ? 10 : 0);
    }
    TTolvanIndexDefs Indexes;
    TTolvanConstraintDefs Constraints;
    Cursor->OpenTable(&Fields, &Indexes, &Constraints);
    Buffer = Cursor->AllocRecordBuffer();
    Cursor->SetRecordBuffer(Buffer);
  }

  void TearDown() override {
    if (Cursor) {
      Cursor->CloseAllBlobs(false);
      Cursor->CloseTable();
    }
    TTolvanCursor::FreeRecordBuffer(Buffer);
  }

  // A new record as the dataset starts one: cleared, id {-1, -1}, flag inserted.
  void NewRecord() {
    Cursor->ClearRecordBuffer(Buffer);
    StoreRecordTrailer(Buffer, Cursor->RecordIDOffset(), {NewRecordID, bfInserted});
    Cursor->InsertRecordHook();
  }

  void SetID(int32_t ID) {
    TTolvanVariant V;
    V.SetAsInteger(ID);
    Cursor->SetCursorFieldValue(V, IDField, nullptr, true);
  }
  void SetName(std::string_view Name) {
    TTolvanVariant V;
    V.SetAsString(AnsiString(Name));
    Cursor->SetCursorFieldValue(V, NameField, nullptr, true);
  }

  TTolvanRecordID Insert(int32_t ID, std::string_view Name = "n") {
    NewRecord();
    SetID(ID);
    SetName(Name);
    Cursor->PostRecord(true);
    EXPECT_EQ(Cursor->LastErrorCode(), 0) << Cursor->LastErrorText();
    return LoadRecordID(Buffer, Cursor->RecordIDOffset());
  }

  int32_t ID() {
    TTolvanVariant V;
    Cursor->GetFieldValue(V, IDField, true, false);
    return V.IsNull() ? -1 : V.GetAsInteger();
  }
  AnsiString Name() {
    TTolvanVariant V;
    Cursor->GetFieldValue(V, NameField, true, false);
    return V.GetAsString();
  }

  // The IDs of the visible records, walked from the beginning.
  std::vector<int32_t> Walk() {
    std::vector<int32_t> IDs;
    Cursor->SetToBegin();
    while (Cursor->GetRecord(rmNext) == rrOK)
      IDs.push_back(ID());
    return IDs;
  }

  // Writes Bytes into a BLOB field through a stream and closes it.
  void WriteBlob(int32_t FieldNo, const std::string& Bytes, bool NewRecord) {
    TTolvanStream* S = Cursor->OpenBlob(NewRecord, FieldNo, tbmWrite);
    ASSERT_NE(S, nullptr);
    S->WriteBuffer(Bytes.data(), int64_t(Bytes.size()));
    if (Bytes.empty()) {
      // Written, and empty.
      S->WriteBuffer("x", 1);
      S->SetSize(0);
    }
    Cursor->CloseBlob(FieldNo);
  }

  std::unique_ptr<TTolvanCursor> Cursor;
  uint8_t* Buffer = nullptr;
};

TEST_P(CursorContract, OpensBeforeTheFirstRecord) {
  EXPECT_TRUE(Cursor->Opened());
  EXPECT_TRUE(Cursor->Bof());
  EXPECT_FALSE(Cursor->Eof());
  EXPECT_EQ(Cursor->RecordSize(), Cursor->RecordIDOffset() + 7);
  EXPECT_EQ(Cursor->BookmarkRecordSize(), Cursor->RecordIDOffset() + 6);
  EXPECT_EQ(Cursor->FieldDefs().Count(), 4);
  EXPECT_EQ(Cursor->VisibleFieldDefs().Count(), 4);
  EXPECT_EQ(Cursor->GetRecordCount(), 0);
  EXPECT_EQ(Cursor->GetRecNo(), -1);
  for (TTolvanGetRecordMode Mode : {rmCurrent, rmNext, rmPrior})
    EXPECT_EQ(Cursor->GetRecord(Mode), rrEndReached) << int(Mode);
}

TEST_P(CursorContract, InsertWritesItsIdAndTheInsertedFlag) {
  const TTolvanRecordID A = Insert(1);
  EXPECT_EQ(LoadBookmarkFlag(Buffer, Cursor->RecordIDOffset()), bfInserted);
  EXPECT_FALSE(A == NewRecordID);
  EXPECT_TRUE(Cursor->Position() == A);
  const TTolvanRecordID B = Insert(2);
  EXPECT_FALSE(A == B);
  EXPECT_EQ(Cursor->GetRecordCount(), 2);
  EXPECT_EQ(Walk(), (std::vector<int32_t>{1, 2}));
}

TEST_P(CursorContract, GetRecordAtBothEnds) {
  for (int32_t I = 1; I <= 3; ++I)
    Insert(I);
  Cursor->SetToBegin();
  EXPECT_EQ(Cursor->GetRecord(rmCurrent), rrMissing);
  EXPECT_EQ(Cursor->GetRecord(rmPrior), rrBeginReached);
  ASSERT_EQ(Cursor->GetRecord(rmNext), rrOK);
  EXPECT_EQ(ID(), 1);
  EXPECT_FALSE(Cursor->Bof());
  EXPECT_EQ(Cursor->GetRecord(rmPrior), rrBeginReached);
  ASSERT_EQ(Cursor->GetRecord(rmNext), rrOK);
  ASSERT_EQ(Cursor->GetRecord(rmNext), rrOK);
  EXPECT_EQ(ID(), 3);
  EXPECT_EQ(Cursor->GetRecord(rmNext), rrEndReached);
  ASSERT_EQ(Cursor->GetRecord(rmCurrent), rrOK);
  EXPECT_EQ(ID(), 3);

  Cursor->SetCursorToEnd();
  EXPECT_EQ(Cursor->GetRecord(rmCurrent), rrMissing);
  EXPECT_EQ(Cursor->GetRecord(rmNext), rrEndReached);
  ASSERT_EQ(Cursor->GetRecord(rmPrior), rrOK);
  EXPECT_EQ(ID(), 3);
  EXPECT_FALSE(Cursor->Eof());
  ASSERT_EQ(Cursor->GetRecord(rmPrior), rrOK);
  EXPECT_EQ(ID(), 2);
}

TEST_P(CursorContract, UpdateAndDeleteGoByTheBuffersRecordId) {
  for (int32_t I = 1; I <= 3; ++I)
    Insert(I, "old");
  // The buffer holds record 2 while the cursor stands on record 3.
  Cursor->SetRecNo(2);
  ASSERT_EQ(Cursor->GetRecord(rmCurrent), rrOK);
  Cursor->EditRecord();
  EXPECT_EQ(Cursor->LastErrorCode(), 0);
  SetName("new");
  Cursor->SetRecNo(3);
  Cursor->PostRecord(false);
  EXPECT_EQ(Cursor->LastErrorCode(), 0) << Cursor->LastErrorText();
  std::vector<AnsiString> Names;
  Cursor->SetToBegin();
  while (Cursor->GetRecord(rmNext) == rrOK)
    Names.push_back(Name());
  EXPECT_EQ(Names, (std::vector<AnsiString>{"old", "new", "old"}));

  Cursor->SetRecNo(1);
  ASSERT_EQ(Cursor->GetRecord(rmCurrent), rrOK);
  Cursor->SetRecNo(3);
  Cursor->DeleteRecord();
  EXPECT_EQ(Cursor->LastErrorCode(), 0) << Cursor->LastErrorText();
  EXPECT_EQ(Walk(), (std::vector<int32_t>{2, 3}));

  // The buffer still names the deleted record.
  Cursor->SetRecNo(1);
  ASSERT_EQ(Cursor->GetRecord(rmCurrent), rrOK);
  const TTolvanRecordID Live = LoadRecordID(Buffer, Cursor->RecordIDOffset());
  Cursor->DeleteRecord();
  ASSERT_EQ(Cursor->LastErrorCode(), 0);
  StoreRecordID(Buffer, Cursor->RecordIDOffset(), Live);
  Cursor->DeleteRecord();
  EXPECT_EQ(Cursor->LastErrorCode(), -3);
  Cursor->PostRecord(false);
  EXPECT_EQ(Cursor->LastErrorCode(), -2);
  EXPECT_EQ(Cursor->LastErrorText().substr(0, 23), "Error updating record: ");
  EXPECT_EQ(Walk(), (std::vector<int32_t>{3}));
}

TEST_P(CursorContract, RecordNumbersRoundTrip) {
  for (int32_t I = 1; I <= 5; ++I)
    Insert(10 * I);
  for (int64_t N = 1; N <= 5; ++N) {
    Cursor->SetRecNo(N);
    ASSERT_EQ(Cursor->GetRecord(rmCurrent), rrOK);
    EXPECT_EQ(Cursor->GetRecNo(), N);
    EXPECT_EQ(ID(), 10 * N);
  }
  Cursor->SetRecNo(99);
  EXPECT_EQ(Cursor->GetRecNo(), 5);
  Cursor->SetToBegin();
  EXPECT_EQ(Cursor->GetRecNo(), -1);
  Cursor->SetCursorToEnd();
  EXPECT_EQ(Cursor->GetRecNo(), -1);
}

TEST_P(CursorContract, BlobWrittenIsReadBackAndEmptyGivesNull) {
  NewRecord();
  SetID(1);
  WriteBlob(DataField, std::string("ab\0de", 5), true);
  const std::u16string Wide = u"h\u00e9";
  WriteBlob(NoteField, std::string(reinterpret_cast<const char*>(Wide.data()), 4), true);
  Cursor->PostRecord(true);
  ASSERT_EQ(Cursor->LastErrorCode(), 0) << Cursor->LastErrorText();

  Insert(2);
  Cursor->SetRecNo(1);
  ASSERT_EQ(Cursor->GetRecord(rmCurrent), rrOK);
  TTolvanVariant V;
  Cursor->GetFieldValue(V, DataField, false, false);
  ASSERT_FALSE(V.IsNull());
  EXPECT_EQ(V.DataType(), tvtBLOB);
  ASSERT_EQ(V.DataSize(), 5);
  EXPECT_EQ(std::memcmp(V.Data(), "ab\0de\0", 6), 0);
  Cursor->GetFieldValue(V, NoteField, false, false);
  EXPECT_EQ(V.DataType(), tvtWideMemo);
  ASSERT_EQ(V.DataSize(), 4);
  EXPECT_EQ(std::memcmp(V.Data(), u"h\u00e9\0", 6), 0);

  // Read through a stream of the cursor, then emptied in an edit.
  TTolvanStream* R = Cursor->OpenBlob(false, DataField, tbmRead);
  ASSERT_EQ(R->Size(), 5);
  Cursor->CloseBlob(DataField);
  Cursor->EditRecord();
  WriteBlob(DataField, "", false);
  Cursor->PostRecord(false);
  ASSERT_EQ(Cursor->LastErrorCode(), 0) << Cursor->LastErrorText();
  Cursor->SetRecNo(2);
  ASSERT_EQ(Cursor->GetRecord(rmCurrent), rrOK);
  Cursor->SetRecNo(1);
  ASSERT_EQ(Cursor->GetRecord(rmCurrent), rrOK);
  Cursor->GetFieldValue(V, DataField, false, false);
  EXPECT_TRUE(V.IsNull());
  EXPECT_EQ(V.DataType(), tvtBLOB);
  Cursor->GetFieldValue(V, NoteField, false, false);
  EXPECT_EQ(V.DataSize(), 4);
}

TEST_P(CursorContract, BlobStreamErrors) {
  NewRecord();
  const int32_t Count = Cursor->VisibleFieldDefs().Count();
  for (int32_t No : {-1, Count}) {
    const ETolvanException E = [&] {
      try {
        Cursor->OpenBlob(true, No, tbmRead);
      } catch (const ETolvanException& X) {
        return X;
      }
      ADD_FAILURE() << "no error for field " << No;
      return ETolvanException(0, "");
    }();
    EXPECT_EQ(E.NativeError(), 10110);
    EXPECT_EQ(E.Message(), "Invalid field number - FieldNo = " + std::to_string(No) +
                               ", FieldCount = 4 - Native error: 10110");
  }
  Cursor->OpenBlob(true, DataField, tbmWrite);
  try {
    Cursor->OpenBlob(true, DataField, tbmReadWrite);
    ADD_FAILURE() << "a second writer was let in";
  } catch (const ETolvanException& E) {
    EXPECT_EQ(E.NativeError(), 10115);
    EXPECT_EQ(E.Message(),
              "BLOB field already opened. FieldNo = 2, FieldName = Data - Native error: 10115");
  }
  // Readers may share the field with each other and with the writer.
  Cursor->OpenBlob(true, DataField, tbmRead);
  Cursor->OpenBlob(true, DataField, tbmRead);
  Cursor->CloseAllBlobs(false);
}

TEST_P(CursorContract, FilterEventSkipsRows) {
  for (int32_t I = 1; I <= 6; ++I)
    Insert(I);
  Cursor->SetOnFilterRecord([this](uint8_t* Record) {
    int32_t V = 0;
    return GetFieldData(IDField, Cursor->FieldDefs(), &V, Record) && V % 2 == 0;
  });
  Cursor->ResetResultBitmap();
  EXPECT_TRUE(Cursor->CursorIsFiltered());
  EXPECT_EQ(Cursor->GetRecordCount(), 3);
  EXPECT_EQ(Walk(), (std::vector<int32_t>{2, 4, 6}));
  Cursor->SetRecNo(2);
  ASSERT_EQ(Cursor->GetRecord(rmCurrent), rrOK);
  EXPECT_EQ(ID(), 4);

  Cursor->SetOnFilterRecord(nullptr);
  Cursor->ResetResultBitmap();
  EXPECT_EQ(Cursor->GetRecordCount(), 6);
}

} // namespace tolvan::test
