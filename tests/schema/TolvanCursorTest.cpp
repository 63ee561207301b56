#include "schema/TolvanCursor.h"
#include "tests/schema/SchemaTestSupport.h"
#include "tests/schema/support/CursorContract.h"
#include "tests/schema/support/FakeCursor.h"
#include "tests/schema/support/OpenCursor.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>

#include "classlib/DB.h"
#include "foundation/TolvanExcept.h"
#include "schema/expr/TolvanExpression.h"

using namespace tolvan;
using namespace tolvan::test;

namespace {

std::unique_ptr<TTolvanCursor> MakeFakeCursor() {
  auto Cursor = std::make_unique<TFakeCursor>();
  Cursor->SetTableName("Contract");
  Cursor->SetInMemory(true);
  return Cursor;
}

} // namespace

INSTANTIATE_TEST_SUITE_P(Fake, CursorContract,
                         ::testing::Values(TCursorContractEnv{"Fake", &MakeFakeCursor}),
                         CursorContractName);

namespace {


TStringList List(std::initializer_list<std::string_view> Items) {
  TStringList L;
  for (std::string_view S : Items)
    L.Add(S);
  return L;
}

// An expression that counts its destruction.
class TCountedExpression : public TTolvanExpression {
public:
  explicit TCountedExpression(int& Freed) : FFreed(Freed) {}
  ~TCountedExpression() override { ++FFreed; }

private:
  int& FFreed;
};

// --- layout, buffers, positions -----------------------------------------------------------------

TEST(Cursor, GoldenLayoutsAndBuffers) {
  TOpenCursor T({{"C", tftChar, 10}, {"V", tftVarchar, 10}, {"I", tftInteger}});
  TTolvanCursor& C = T.Cursor;
  EXPECT_EQ(C.FieldsOffset(), 1);
  EXPECT_EQ(C.RecordIDOffset(), 27);
  EXPECT_EQ(C.RecordSize(), 34);
  EXPECT_EQ(C.CalcFieldsOffset(), 34);
  EXPECT_EQ(C.BookmarkRecordSize(), 33);
  EXPECT_EQ(DataSetBookmarkSize, 7);

  // Fresh buffers are zero; the first one also made the work buffer.
  ASSERT_NE(C.WorkBuffer(), nullptr);
  uint8_t* Fresh = C.AllocRecordBuffer();
  EXPECT_EQ(TBytes(Fresh, Fresh + 34), TBytes(34, 0));
  TTolvanCursor::FreeRecordBuffer(Fresh);
  EXPECT_EQ(Fresh, nullptr);
  uint8_t* Bookmark = C.AllocBookmarkBuffer();
  EXPECT_EQ(TTolvanMemoryManager::GetMemSize(Bookmark), 33);
  EXPECT_EQ(TBytes(Bookmark, Bookmark + 33), TBytes(33, 0));
  TTolvanCursor::FreeRecordBuffer(Bookmark);

  // ClearRecordBuffer leaves the record id 0 and every column null.
  StoreRecordTrailer(T.Buffer, 27, {NewRecordID, bfInserted});
  std::memset(T.Buffer + 1, 0x33, 26);
  C.ClearRecordBuffer(T.Buffer);
  EXPECT_EQ(T.Buffer[0], 0xFF);
  EXPECT_EQ(TBytes(T.Buffer + 1, T.Buffer + 33), TBytes(32, 0));
  EXPECT_EQ(T.Buffer[33], bfInserted) << "the flag lies beyond the bookmark record";

  TOpenCursor Empty({});
  EXPECT_EQ(Empty.Cursor.RecordIDOffset(), 0);
  EXPECT_EQ(Empty.Cursor.RecordSize(), 7);
  EXPECT_EQ(Empty.Cursor.FieldsOffset(), 0);

  TOpenCursor Nine({{"A", tftByte},
                    {"B", tftByte},
                    {"C", tftByte},
                    {"D", tftByte},
                    {"E", tftByte},
                    {"F", tftByte},
                    {"G", tftByte},
                    {"H", tftByte},
                    {"I", tftByte}});
  std::memset(Nine.Buffer, 0, size_t(Nine.Cursor.RecordSize()));
  Nine.Cursor.InitRecord(Nine.Buffer, false);
  EXPECT_EQ(ToHex(TBytes(Nine.Buffer, Nine.Buffer + 3)), "FF FF 00");
}

TEST(Cursor, PositionsRoundTripAndIndexNames) {
  TOpenCursor T({{"I", tftInteger}});
  TTolvanCursor& C = T.Cursor;
  C.SetCursorToEnd();
  C.SetPosition({5, 2});
  const TTolvanCursorPosition Saved = C.SavePosition();
  uint8_t Bytes[8];
  StoreLE(Bytes, Saved);
  EXPECT_EQ(ToHex(TBytes(Bytes, Bytes + 8)), "00 01 05 00 00 00 02 00");
  C.SetToBegin();
  C.SetPosition({9, 9});
  C.RestorePosition(Saved);
  EXPECT_FALSE(C.Bof());
  EXPECT_TRUE(C.Eof());
  EXPECT_TRUE((C.Position() == TTolvanRecordID{5, 2}));

  TTolvanIndexDef& I = C.IndexDefs().AddNew();
  I.SetName("ByName");
  I.SetObjectID(7);
  EXPECT_FALSE(C.CursorHasIndex());
  C.SetIndexName("BYNAME");
  EXPECT_EQ(C.IndexName(), "BYNAME");
  EXPECT_EQ(C.IndexID(), 7);
  EXPECT_TRUE(C.CursorHasIndex());
  C.SetIndexName("nope");
  EXPECT_EQ(C.IndexID(), -1);
  C.SetIndexName("");
  EXPECT_EQ(C.IndexID(), -1);
  EXPECT_FALSE(C.CursorHasIndex());
}

TEST(Cursor, Predicates) {
  TOpenCursor T({{"I", tftInteger}});
  TFakeCursor& C = T.Cursor;
  EXPECT_FALSE(C.CursorIsFiltered());
  EXPECT_FALSE(C.CursorNeedsResultBitmap());

  uint8_t Key[4] = {};
  C.SetRange(Key, nullptr, 1, 0, false, false);
  EXPECT_TRUE(C.CursorHasRange());
  EXPECT_TRUE(C.CursorNeedsResultBitmap());
  C.SetRange(nullptr, Key, 0, 1, false, true);
  EXPECT_TRUE(C.CursorHasRange());
  EXPECT_TRUE(C.RangeEndExclusive());
  C.CancelRange();
  EXPECT_FALSE(C.CursorHasRange());

  C.SetMasterKeyFieldCount(1);
  EXPECT_TRUE(C.CursorHasMasterLink());
  EXPECT_TRUE(C.CursorNeedsResultBitmap());
  C.SetMasterKeyFieldCount(0);

  C.SetOnFilterRecord([](uint8_t*) { return false; });
  EXPECT_TRUE(C.CursorIsFiltered());
  EXPECT_FALSE(C.CallCursorFilterEvent(T.Buffer));
  C.SetOnFilterRecord(nullptr);
  EXPECT_TRUE(C.CallCursorFilterEvent(T.Buffer));

  // An external filter belongs to the cursor until it is taken back; ClearFilter leaves it.
  int Freed = 0;
  C.SetExternalFilter(std::make_unique<TCountedExpression>(Freed));
  EXPECT_TRUE(C.CursorIsFiltered());
  C.ClearFilter();
  EXPECT_NE(C.ExternalFilter(), nullptr);
  std::unique_ptr<TTolvanExpression> Back = C.ReleaseExternalFilter();
  EXPECT_NE(Back, nullptr);
  EXPECT_EQ(C.ExternalFilter(), nullptr);
  EXPECT_FALSE(C.CursorIsFiltered());
  C.SetExternalFilter(std::move(Back));
  C.CloseTable();
  EXPECT_EQ(Freed, 1) << "closing frees the external filter";
  EXPECT_EQ(C.ExternalFilter(), nullptr);
}

// --- field numbers ------------------------------------------------------------------------------

TEST(Cursor, FieldNumbersAreCheckedAtBothEnds) {
  TOpenCursor T({{"A", tftInteger}, {"B", tftVarchar, 5}, {"C", tftInteger}});
  TFakeCursor& C = T.Cursor;
  C.SetProjection(List({"C", "A"}), List({"", ""}));
  ASSERT_EQ(C.VisibleFieldDefs().Count(), 2);

  TTolvanVariant V;
  V.SetAsInteger(1);
  int32_t Out = 0;
  struct TRoutine {
    const char* Name;
    int32_t Code;
    int32_t Count;
    std::function<void(int32_t)> Call;
  };
  const TRoutine Routines[] = {
      {"GetFieldValue table", 10317, 3, [&](int32_t N) { C.GetFieldValue(V, N, true, false); }},
      {"GetFieldValue visible", 10737, 2, [&](int32_t N) { C.GetFieldValue(V, N, false, false); }},
      {"SetCursorFieldValue table", 10318, 3,
       [&](int32_t N) { C.SetCursorFieldValue(V, N, nullptr, true); }},
      {"SetCursorFieldValue visible", 10738, 2,
       [&](int32_t N) { C.SetCursorFieldValue(V, N, nullptr, false); }},
      {"GetFieldNative", 10005, 2, [&](int32_t N) { C.GetFieldNative(N, nullptr, &Out); }},
      {"SetFieldNative", 10006, 2, [&](int32_t N) { C.SetFieldNative(N, &Out, nullptr); }},
      {"GetFieldData", 10000, 3,
       [&](int32_t N) { GetFieldData(N, C.FieldDefs(), &Out, T.Buffer); }},
      {"SetFieldData", 10004, 3,
       [&](int32_t N) { SetFieldData(N, C.FieldDefs(), &Out, T.Buffer); }},
  };
  const TBytes Before = T.Record();
  for (const TRoutine& R : Routines) {
    for (int32_t No : {-1, R.Count, R.Count + 1}) {
      SCOPED_TRACE(std::string(R.Name) + " " + std::to_string(No));
      const ETolvanException E = Raised([&] { R.Call(No); });
      EXPECT_EQ(E.NativeError(), R.Code);
      char Code[8];
      std::snprintf(Code, sizeof Code, "%05d", R.Code);
      EXPECT_EQ(E.Message(), "Invalid field number - FieldNo = " + std::to_string(No) +
                                 ", FieldCount = " + std::to_string(R.Count) +
                                 " - Native error: " + Code);
    }
  }
  EXPECT_EQ(T.Record(), Before);

  // A visible field whose column is gone raises like a number out of range.
  C.VisibleFieldDefs().Items(0).SetTableFieldNo(7);
  EXPECT_EQ(NativeCodeOf([&] { C.GetFieldValue(V, 0, false, false); }), 10737);
  EXPECT_EQ(NativeCodeOf([&] { C.GetFieldNative(0, nullptr, &Out); }), 10005);
}

// --- reading ------------------------------------------------------------------------------------

TEST(Cursor, GetFieldValueBorrowsCopiesAndReadsUnderAProjection) {
  TOpenCursor T({{"A", tftInteger}, {"B", tftVarchar, 5}, {"C", tftSmallInt}});
  TFakeCursor& C = T.Cursor;
  TTolvanVariant V;
  V.SetAsInteger(11);
  C.SetCursorFieldValue(V, 0, nullptr, true);
  V.Clear();
  V.SetAsString("xyz");
  C.SetCursorFieldValue(V, 1, nullptr, true);

  // A null column gives a null of its type.
  C.GetFieldValue(V, 2, true, false);
  EXPECT_TRUE(V.IsNull());
  EXPECT_EQ(V.DataType(), tvtSignedInt16);

  // Borrowed: the value sees the buffer; copied: it keeps its bytes after the buffer is gone.
  TTolvanVariant Borrowed, Copied;
  C.GetFieldValue(Borrowed, 1, true, false);
  EXPECT_TRUE(Borrowed.IsBorrowed());
  EXPECT_EQ(Borrowed.Data(), T.Buffer + C.FieldDefs().Items(1).BufferOffset());
  {
    TOpenCursor Other({{"S", tftVarchar, 5}});
    TTolvanVariant S;
    S.SetAsString("kept");
    Other.Cursor.SetCursorFieldValue(S, 0, nullptr, true);
    Other.Cursor.GetFieldValue(Copied, 0, true, true);
    EXPECT_FALSE(Copied.IsBorrowed());
  }
  EXPECT_EQ(Copied.GetAsString(), "kept");
  EXPECT_EQ(Copied.DataType(), tvtString);

  // Table numbering reads the column itself; visible numbering goes through the projection.
  C.SetProjection(List({"B", "A"}), List({"", "First"}));
  EXPECT_EQ(C.VisibleFieldDefs().Items(1).Name(), "First");
  C.GetFieldValue(V, 0, true, false);
  EXPECT_EQ(V.GetAsInteger(), 11);
  C.GetFieldValue(V, 0, false, false);
  EXPECT_EQ(V.GetAsString(), "xyz");
  C.GetFieldValue(V, 1, false, false);
  EXPECT_EQ(V.GetAsInteger(), 11);
  int32_t Native = 0;
  EXPECT_TRUE(C.GetFieldNative(1, nullptr, &Native));
  EXPECT_EQ(Native, 11);

  // Without a record buffer there is nothing to read.
  C.SetRecordBuffer(nullptr);
  EXPECT_THROW(C.GetFieldValue(V, 0, true, false), EDatabaseError);
  EXPECT_THROW(C.SetCursorFieldValue(V, 0, nullptr, true), EDatabaseError);
}

TEST(Cursor, BlobValuesThroughTheFake) {
  TOpenCursor T({{"I", tftInteger}, {"B", tftBLOB}, {"W", tftWideMemo}, {"M", tftMemo}});
  TFakeCursor& C = T.Cursor;
  TTolvanVariant V;
  // Null and empty BLOBs give a null of the column's type.
  C.GetFieldValue(V, 1, true, false);
  EXPECT_TRUE(V.IsNull());
  EXPECT_EQ(V.DataType(), tvtBLOB);
  TTolvanStream* S = C.OpenBlob(true, 3, tbmWrite);
  S->WriteBuffer("x", 1);
  S->SetSize(0);
  C.CloseBlob(3);
  EXPECT_TRUE(IsFieldNull(T.Buffer, 3));
  C.GetFieldValue(V, 3, true, false);
  EXPECT_TRUE(V.IsNull());
  EXPECT_EQ(V.DataType(), tvtMemo);

  S = C.OpenBlob(true, 1, tbmWrite);
  S->WriteBuffer("12345", 5);
  C.CloseBlob(1);
  EXPECT_TRUE(IsBlobWritten(T.Buffer, C.FieldDefs().Items(1)));
  C.GetFieldValue(V, 1, true, false);
  ASSERT_EQ(V.DataSize(), 5);
  EXPECT_FALSE(V.IsBorrowed());
  EXPECT_EQ(std::memcmp(V.Data(), "12345\0", 6), 0);
  EXPECT_EQ(TTolvanMemoryManager::GetMemSize(V.Data()), 6);

  S = C.OpenBlob(true, 2, tbmWrite);
  S->WriteBuffer(u"ab", 4);
  C.CloseBlob(2);
  C.GetFieldValue(V, 2, true, false);
  ASSERT_EQ(V.DataSize(), 4);
  EXPECT_EQ(TTolvanMemoryManager::GetMemSize(V.Data()), 6);
  EXPECT_EQ(std::memcmp(V.Data(), u"ab\0", 6), 0);
  EXPECT_EQ(V.GetAsWideString(), u"ab");

  // A reader never disturbs an open writer: the value read is the buffer's, and the writer
  // stores its own bytes when it closes.
  S = C.OpenBlob(true, 1, tbmWrite);
  S->WriteBuffer("new", 3);
  C.GetFieldValue(V, 1, true, false);
  EXPECT_EQ(V.DataSize(), 5);
  EXPECT_EQ(C.OpenBlobCount(), 1);
  S->WriteBuffer("er", 2);
  C.CloseBlob(1);
  C.GetFieldValue(V, 1, true, false);
  ASSERT_EQ(V.DataSize(), 5);
  EXPECT_EQ(std::memcmp(V.Data(), "newer", 5), 0);
  EXPECT_EQ(C.BlobBlockCount(), 2) << "the value the writer replaced is freed";

  // Cancelling the insert frees what the edit wrote.
  C.CancelRecord(true);
  EXPECT_EQ(C.BlobBlockCount(), 0);
  EXPECT_TRUE(IsFieldNull(T.Buffer, 1));
}

// A BLOB reader that claims Size bytes and has none.
class TClaimingStream : public TTolvanStream {
public:
  explicit TClaimingStream(int64_t Size) : FSize(Size) {}
  int64_t GetSize() override { return FSize; }
  void SetSize(int64_t) override {}
  int64_t Read(void*, int64_t) override { return 0; }
  int64_t Write(const void*, int64_t) override { return 0; }
  int64_t Seek(int64_t Offset, TSeekOrigin) override { return Offset; }

private:
  int64_t FSize;
};

class TClaimingCursor : public TFakeCursor {
public:
  int64_t Claim = 0;

protected:
  std::unique_ptr<TTolvanStream> OpenBlobReader(int32_t) override {
    return std::make_unique<TClaimingStream>(Claim);
  }
};

TEST(Cursor, BlobReadsThatCannotBeHadLeaveTheValue) {
  TTolvanFieldDefs Fields;
  Fields.AddNew().SetName("M");
  Fields.Items(0).SetType(tftMemo, 0);
  TClaimingCursor C;
  C.SetInMemory(true);
  C.OpenTable(&Fields, nullptr, nullptr);
  TBytes Record(size_t(C.RecordSize()), 0);
  C.SetRecordBuffer(Record.data());
  TTolvanVariant V;
  V.SetAsString("kept");
  C.Claim = int64_t(INT32_MAX);
  EXPECT_THROW(C.GetFieldValue(V, 0, true, false), ERangeError);
  C.Claim = 10;
  EXPECT_EQ(NativeCodeOf([&] { C.GetFieldValue(V, 0, true, false); }), 10117);
  EXPECT_EQ(V.GetAsString(), "kept");
  C.Claim = 0;
  C.GetFieldValue(V, 0, true, false);
  EXPECT_TRUE(V.IsNull());
  EXPECT_EQ(V.DataType(), tvtMemo);
  C.CloseTable();
}

// --- writing ------------------------------------------------------------------------------------

TEST(Cursor, SetCursorFieldValueRefusalsLeaveTheBufferUnchanged) {
  TOpenCursor T({{"I", tftInteger}, {"B", tftBLOB}, {"V", tftVarchar, 4}});
  TFakeCursor& C = T.Cursor;
  C.SetTableName("Tab");
  TTolvanVariant V;
  V.SetAsInteger(5);
  C.SetCursorFieldValue(V, 0, nullptr, true);
  const TBytes Before = T.Record();

  V.Clear();
  V.SetAsString("blob");
  const ETolvanException Table = Raised([&] { C.SetCursorFieldValue(V, 1, nullptr, true); });
  EXPECT_EQ(Table.NativeError(), 11589);
  EXPECT_EQ(Table.Message(), "Setting blob field value is not allowed in this method, FieldNo = "
                             "1, TableName = Tab - Native error: 11589");
  const ETolvanException Visible = Raised([&] { C.SetCursorFieldValue(V, 1, nullptr, false); });
  EXPECT_EQ(Visible.NativeError(), 11591);
  EXPECT_EQ(Visible.Message(), "Setting blob field value is not allowed in this method, FieldNo = "
                               "1, TableName = Tab - Native error: 11591");
  EXPECT_EQ(T.Record(), Before);

  // A failed conversion: neither the column nor its null bit changes.
  V.Clear();
  V.SetAsString("abc");
  EXPECT_THROW(C.SetCursorFieldValue(V, 0, nullptr, true), Exception);
  EXPECT_EQ(T.Record(), Before);
  EXPECT_EQ(V.DataType(), tvtString) << "a failed conversion leaves the value as it was";

  // NULL into a BLOB column only sets its bit.
  StoreBlobReference(T.Buffer, C.FieldDefs().Items(1), {3, 4, BlobStoredMarker});
  SetFieldNull(T.Buffer, 1, false);
  const TBytes WithBlob = T.Record();
  V.Clear(tvtBLOB);
  C.SetCursorFieldValue(V, 1, nullptr, true);
  TBytes Expected = WithBlob;
  Expected[0] |= 0x02;
  EXPECT_EQ(T.Record(), Expected);
}

TEST(Cursor, SetCursorFieldValueConvertsTheCallersValue) {
  TOpenCursor T({{"V", tftVarchar, 6}, {"S", tftSmallInt}, {"W", tftWideChar, 4}});
  TFakeCursor& C = T.Cursor;
  TTolvanVariant V;
  V.SetAsInteger(-42);
  C.SetCursorFieldValue(V, 0, nullptr, true);
  EXPECT_EQ(V.DataType(), tvtString);
  EXPECT_EQ(V.GetAsString(), "-42");
  TTolvanVariant R;
  C.GetFieldValue(R, 0, true, false);
  EXPECT_EQ(R.GetAsString(), "-42");

  V.Clear();
  V.SetAsString("77");
  C.SetCursorFieldValue(V, 1, nullptr, true);
  EXPECT_EQ(V.DataType(), tvtSignedInt16);
  C.GetFieldValue(R, 1, true, false);
  EXPECT_EQ(R.GetAsSmallInt(), 77);

  V.Clear();
  V.SetAsString("too long text");
  C.SetCursorFieldValue(V, 2, nullptr, true);
  WideString W;
  EXPECT_TRUE(GetFieldData(2, C.FieldDefs(), W, T.Buffer));
  EXPECT_EQ(W, u"too ");

  // An empty string is stored as NULL.
  V.Clear();
  V.SetAsString("");
  C.SetCursorFieldValue(V, 0, nullptr, true);
  EXPECT_TRUE(IsFieldNull(T.Buffer, 0));

  // A buffer of the caller's instead of RecordBuffer.
  TBytes Other(size_t(C.RecordSize()), 0);
  SetAllNull(Other.data(), 3);
  V.Clear();
  V.SetAsInteger(9);
  C.SetCursorFieldValue(V, 1, Other.data(), true);
  EXPECT_FALSE(IsFieldNull(Other.data(), 1));
  int16_t S = 0;
  EXPECT_TRUE(GetFieldData(1, C.FieldDefs(), &S, Other.data()));
  EXPECT_EQ(S, 9);

  // Native access with the typed wide form.
  C.SetFieldNative(2, std::u16string_view(u"wide"), nullptr);
  EXPECT_TRUE(C.GetFieldNative(2, nullptr, W));
  EXPECT_EQ(W, u"wide");
  C.SetFieldNative(2, nullptr, nullptr);
  EXPECT_FALSE(C.GetFieldNative(2, nullptr, W));
}

// --- operations with a base behaviour -----------------------------------------------------------

TEST(Cursor, RenameField) {
  TOpenCursor T({{"Alpha", tftInteger}, {"Beta", tftInteger}});
  TFakeCursor& C = T.Cursor;
  const ETolvanException Missing = Raised([&] { C.RenameField("Gamma", "X"); });
  EXPECT_EQ(Missing.NativeError(), 30345);
  EXPECT_EQ(Missing.Message(), "Field 'Gamma' not found - Native error: 30345");
  const ETolvanException Taken = Raised([&] { C.RenameField("alpha", "BETA"); });
  EXPECT_EQ(Taken.NativeError(), 30346);
  EXPECT_EQ(Taken.Message(),
            "Cannot rename field 'alpha'. Field 'BETA' already exists - Native error: 30346");

  C.RenameField("ALPHA", "alpha");
  EXPECT_EQ(C.FieldDefs().Items(0).Name(), "alpha");
  const std::string Long(300, 'n');
  C.RenameField("alpha", Long);
  EXPECT_EQ(C.FieldDefs().Items(0).Name(), Long.substr(0, 255));
  EXPECT_EQ(C.VisibleFieldDefs().Items(0).Name(), "Alpha") << "only FieldDefs changes";
}

TEST(Cursor, BaseRefusalsAndFakeRefusals) {
  TOpenCursor T({{"I", tftInteger}});
  TFakeCursor& C = T.Cursor;
  AnsiString Name;
  const ETolvanException Create = Raised([&] { C.CreateIndexForFields(nullptr, Name); });
  EXPECT_EQ(Create.NativeError(), 11394);
  EXPECT_EQ(Create.Message(), "Error - operation is not supported - Native error: 11394");
  const ETolvanException Master = Raised([&] { C.SetMasterFields(nullptr, 1); });
  EXPECT_EQ(Master.NativeError(), 11393);
  EXPECT_EQ(Master.Message(), "Error - operation is not supported - Native error: 11393");

  EXPECT_EQ(NativeCodeOf([&] { C.SetFilter("I = 1", false, false); }), 11394);
  EXPECT_EQ(NativeCodeOf([&] { C.GotoKey(1); }), 11394);
  EXPECT_EQ(NativeCodeOf([&] { C.DeleteAllRecords(); }), 11394);

  // Projections refuse what the engine refuses.
  EXPECT_EQ(NativeCodeOf([&] { C.SetProjection(List({"I"}), List({})); }), 10321);
  EXPECT_EQ(NativeCodeOf([&] { C.SetProjection(List({}), List({})); }), 10322);
  EXPECT_EQ(NativeCodeOf([&] { C.SetProjection(List({"J"}), List({""})); }), 10323);

  TFakeCursor Missing;
  Missing.SetTableName("Nowhere");
  const ETolvanException NotFound = Raised([&] { Missing.OpenTable(nullptr, nullptr, nullptr); });
  EXPECT_EQ(NotFound.NativeError(), 10028);
  EXPECT_EQ(NotFound.Message(), "Table not found, table name = Nowhere - Native error: 10028");
}

TEST(Cursor, WritesReportThroughLastErrorCode) {
  TOpenCursor T({{"I", tftInteger}});
  TFakeCursor& C = T.Cursor;
  C.ClearRecordBuffer(T.Buffer);
  C.FailNextCheck("Constraint violated");
  C.PostRecord(true);
  EXPECT_EQ(C.LastErrorCode(), -8);
  EXPECT_EQ(C.LastErrorText(), "Constraint violated");
  EXPECT_EQ(C.StoredRowCount(), 0);
  C.PostRecord(true);
  EXPECT_EQ(C.LastErrorCode(), 0);
  EXPECT_EQ(C.LastErrorText(), "");

  C.SetTemporary(true);
  C.EditRecord();
  EXPECT_EQ(C.LastErrorCode(), -9);
  C.DeleteRecord();
  EXPECT_EQ(C.LastErrorCode(), -10);
  C.CancelRecord(false);
  EXPECT_EQ(C.LastErrorCode(), -11);
  EXPECT_EQ(C.StoredRowCount(), 1);
}

} // namespace
