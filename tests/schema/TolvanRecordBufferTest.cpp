#include "schema/TolvanRecordBuffer.h"
#include "tests/schema/SchemaTestSupport.h"
#include "tests/schema/support/FakeCursor.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "foundation/TolvanExcept.h"

using namespace tolvan;
using namespace tolvan::test;

namespace {

struct TColumnSpec {
  TTolvanFieldType Type;
  int32_t Size;
};

// Field definitions named F0, F1, ... laid out.
std::unique_ptr<TTolvanFieldDefs> Layout(std::initializer_list<TColumnSpec> Columns) {
  auto Defs = std::make_unique<TTolvanFieldDefs>();
  int I = 0;
  for (const TColumnSpec& C : Columns) {
    TTolvanFieldDef& F = Defs->AddNew();
    F.SetName("F" + std::to_string(I++));
    F.SetType(C.Type, C.Size);
  }
  Defs->CalcLayout();
  return Defs;
}

TBytes Bytes(const uint8_t* P, int32_t N) { return TBytes(P, P + N); }

// --- layouts ------------------------------------------------------------------------------------

TEST(RecordBuffer, GoldenLayouts) {
  auto Defs = Layout({{tftChar, 10}, {tftVarchar, 10}, {tftInteger, 0}});
  EXPECT_EQ(Defs->NullBitmapSize(), 1);
  EXPECT_EQ(Defs->Items(0).BufferOffset(), 1);
  EXPECT_EQ(Defs->Items(1).BufferOffset(), 12);
  EXPECT_EQ(Defs->Items(2).BufferOffset(), 23);
  EXPECT_EQ(Defs->RecordBufferSize(), 27);

  EXPECT_EQ(Layout({})->RecordBufferSize(), 0);

  auto Nine = Layout({{tftByte, 0},
                      {tftByte, 0},
                      {tftByte, 0},
                      {tftByte, 0},
                      {tftByte, 0},
                      {tftByte, 0},
                      {tftByte, 0},
                      {tftByte, 0},
                      {tftByte, 0}});
  EXPECT_EQ(Nine->NullBitmapSize(), 2);
  uint8_t Buffer[12] = {};
  SetAllNull(Buffer, Nine->Count());
  EXPECT_EQ(ToHex(Bytes(Buffer, 3)), "FF FF 00");
  for (int32_t I = 0; I < 9; ++I)
    EXPECT_TRUE(IsFieldNull(Buffer, I));
  SetFieldNull(Buffer, 8, false);
  EXPECT_EQ(ToHex(Bytes(Buffer, 2)), "FF FE");
}

TEST(RecordBuffer, PackedPositionTrailerAndBlobReference) {
  const TTolvanCursorPosition Position{1, 0, {5, 2}};
  uint8_t P[8];
  StoreLE(P, Position);
  EXPECT_EQ(ToHex(Bytes(P, 8)), "01 00 05 00 00 00 02 00");

  uint8_t Record[12] = {};
  StoreRecordTrailer(Record, 3, {NewRecordID, bfInserted});
  EXPECT_EQ(ToHex(Bytes(Record, 12)), "00 00 00 FF FF FF FF FF FF 03 00 00");
  StoreRecordID(Record, 3, {0x01020304, 0x0506});
  StoreBookmarkFlag(Record, 3, bfEOF);
  EXPECT_EQ(ToHex(Bytes(Record, 12)), "00 00 00 04 03 02 01 06 05 02 00 00");
  const TTolvanRecordTrailer T = LoadRecordTrailer(Record, 3);
  EXPECT_TRUE((T.RecordID == TTolvanRecordID{0x01020304, 0x0506}));
  EXPECT_EQ(T.BookmarkFlag, bfEOF);
  EXPECT_EQ(LoadBookmarkFlag(Record, 3), bfEOF);

  auto Defs = Layout({{tftByte, 0}, {tftBLOB, 0}});
  const TTolvanFieldDef& Blob = Defs->Items(1);
  ASSERT_EQ(Blob.DataSize(), BlobReferenceSize);
  uint8_t Buffer[11] = {};
  StoreBlobReference(Buffer, Blob, {0xA1B2C3D4, 0x0102, BlobWrittenMarker});
  EXPECT_EQ(ToHex(Bytes(Buffer + 2, 8)), "D4 C3 B2 A1 02 01 0F 0F");
  EXPECT_TRUE(IsBlobWritten(Buffer, Blob));
  SetBlobWritten(false, Buffer, Blob);
  EXPECT_EQ(ToHex(Bytes(Buffer + 8, 2)), "F0 F0");
  const TTolvanBlobReference R = LoadBlobReference(Buffer, Blob);
  EXPECT_EQ(R.Handle, 0xA1B2C3D4u);
  EXPECT_EQ(R.Generation, 0x0102);
  EXPECT_EQ(R.Marker, BlobStoredMarker);
  EXPECT_EQ(Buffer[10], 0) << "nothing written past the reference";
}

// --- bounded copies -----------------------------------------------------------------------------

// The sources of every bounded case: empty, short, exact, one longer, far longer than the room.
const int32_t SourceLengths[][5] = {
    {0, 2, 5, 6, 40}, // text of 5 characters
    {0, 2, 4, 5, 40}, // 4 bytes
};

struct TBoundedColumn {
  const char* Name;
  TColumnSpec Spec;
  int32_t Room; // characters or bytes the column keeps
  bool Text;
  bool Wide;
};

const TBoundedColumn BoundedColumns[] = {
    {"Char(5)", {tftChar, 5}, 5, true, false},
    {"Varchar(5)", {tftVarchar, 5}, 5, true, false},
    {"WideChar(3)", {tftWideChar, 3}, 3, true, true},
    {"WideVarchar(3)", {tftWideVarchar, 3}, 3, true, true},
    {"Bytes(4)", {tftBytes, 4}, 4, false, false},
};

// Source characters (or bytes) 'a', 'b', ...; never zero.
uint8_t SourceUnit(int32_t I) { return uint8_t('a' + I % 26); }

// The column bytes a source of Length units must leave, or an empty vector for null.
TBytes Expected(const TBoundedColumn& C, int32_t DataSize, int32_t Length) {
  if (C.Text && Length == 0)
    return {};
  TBytes Out(size_t(DataSize), 0);
  const int32_t Keep = std::min(Length, C.Text && !C.Wide ? DataSize - 1 : C.Room);
  for (int32_t I = 0; I < Keep; ++I)
    Out[size_t(C.Wide ? 2 * I : I)] = SourceUnit(I);
  return Out;
}

// The three ways into a column: SetFieldData, the bounded writer with a size, and the cursor's
// SetCursorFieldValue with a value borrowing the source.
enum class TWriter { Untyped, Sized, CursorValue };

// A value of the column's kind borrowing Length units at Source, no terminator behind them.
void BorrowSource(TTolvanVariant& V, const TBoundedColumn& C, void* Source, int32_t Length) {
  const TTolvanValueType Type = C.Wide ? tvtWideString : C.Text ? tvtString : tvtBytes;
  V.SetBuffer(Source, C.Wide ? 2 * Length : Length, Type, false, false);
}

void WriteThroughCursor(const TBoundedColumn& C, const TTolvanFieldDefs& Defs, int32_t Target,
                        void* Source, int32_t Length, uint8_t* Buffer) {
  TFakeCursor Cursor;
  Cursor.SetInMemory(true);
  TTolvanFieldDefs Fields;
  Fields.Assign(Defs);
  Cursor.OpenTable(&Fields, nullptr, nullptr);
  TTolvanVariant V;
  BorrowSource(V, C, Source, Length);
  Cursor.SetCursorFieldValue(V, Target, Buffer, true);
  Cursor.CloseTable();
}

// Writes a slack-free source of Length units into a fresh buffer laid out by Defs (the target
// column at Target), returns false when the writer does not apply to the case.
bool WriteSource(TWriter Writer, const TBoundedColumn& C, const TTolvanFieldDefs& Defs,
                 int32_t Target, int32_t Length, uint8_t* Buffer) {
  if (C.Wide) {
    std::unique_ptr<char16_t[]> Units(new char16_t[size_t(Length)]);
    for (int32_t I = 0; I < Length; ++I)
      Units[size_t(I)] = SourceUnit(I);
    if (Writer == TWriter::Untyped)
      SetFieldData(Target, Defs, std::u16string_view(Units.get(), size_t(Length)), Buffer);
    else if (Writer == TWriter::Sized)
      WriteFieldData(Target, Defs, Units.get(), 2 * Length, Buffer);
    else
      WriteThroughCursor(C, Defs, Target, Units.get(), Length, Buffer);
    return true;
  }
  if (C.Text && Writer == TWriter::Untyped) {
    // Terminated, with no byte behind the terminator.
    std::unique_ptr<uint8_t[]> Text(new uint8_t[size_t(Length) + 1]);
    for (int32_t I = 0; I < Length; ++I)
      Text[size_t(I)] = SourceUnit(I);
    Text[size_t(Length)] = 0;
    SetFieldData(Target, Defs, Text.get(), Buffer);
    return true;
  }
  // The untyped form reads DataSize bytes of a fixed column: only sources that long apply.
  if (Writer == TWriter::Untyped && Length < Defs.Items(Target).DataSize())
    return false;
  std::unique_ptr<uint8_t[]> Source(new uint8_t[size_t(Length)]);
  for (int32_t I = 0; I < Length; ++I)
    Source[size_t(I)] = SourceUnit(I);
  if (Writer == TWriter::Untyped)
    SetFieldData(Target, Defs, Source.get(), Buffer);
  else if (Writer == TWriter::Sized)
    WriteFieldData(Target, Defs, Source.get(), Length, Buffer);
  else
    WriteThroughCursor(C, Defs, Target, Source.get(), Length, Buffer);
  return true;
}

TEST(RecordBuffer, BoundedCopiesKeepToTheColumn) {
  for (TWriter Writer : {TWriter::Untyped, TWriter::Sized, TWriter::CursorValue}) {
    for (const TBoundedColumn& C : BoundedColumns) {
      for (int32_t Length : SourceLengths[C.Text ? 0 : 1]) {
        SCOPED_TRACE(std::string(C.Name) + " from " + std::to_string(Length) +
                     (Writer == TWriter::Sized         ? " sized"
                      : Writer == TWriter::CursorValue ? " as a value"
                                                       : " untyped"));
        // Target between two guards, over a buffer of 0x5A bytes.
        auto Defs = Layout({{tftInteger, 0}, C.Spec, {tftInteger, 0}});
        const TTolvanFieldDef& T = Defs->Items(1);
        TBytes Buffer(size_t(Defs->RecordBufferSize()), 0x5A);
        Buffer[0] = 0x00;
        const TBytes Before = Buffer;
        if (!WriteSource(Writer, C, *Defs, 1, Length, Buffer.data()))
          continue;
        const TBytes Want = Expected(C, T.DataSize(), Length);
        EXPECT_EQ(IsFieldNull(Buffer.data(), 1), Want.empty());
        if (Want.empty()) {
          EXPECT_EQ(Bytes(Buffer.data() + T.BufferOffset(), T.DataSize()),
                    Bytes(Before.data() + T.BufferOffset(), T.DataSize()));
        } else {
          EXPECT_EQ(ToHex(Bytes(Buffer.data() + T.BufferOffset(), T.DataSize())), ToHex(Want));
        }
        EXPECT_EQ(Buffer[0] & ~0x02, 0) << "only the target's null bit may change";
        EXPECT_EQ(Bytes(Buffer.data() + 1, T.BufferOffset() - 1),
                  Bytes(Before.data() + 1, T.BufferOffset() - 1));
        const int32_t End = T.BufferOffset() + T.DataSize();
        EXPECT_EQ(Bytes(Buffer.data() + End, int32_t(Buffer.size()) - End),
                  Bytes(Before.data() + End, int32_t(Buffer.size()) - End))
            << "the guard behind changed";

        // The column last, in a buffer that ends with it; read back into a destination of
        // exactly the column's size.
        auto Last = Layout({C.Spec});
        const TTolvanFieldDef& L = Last->Items(0);
        std::unique_ptr<uint8_t[]> Cut(new uint8_t[size_t(Last->RecordBufferSize())]);
        std::memset(Cut.get(), 0, size_t(Last->RecordBufferSize()));
        ASSERT_TRUE(WriteSource(Writer, C, *Last, 0, Length, Cut.get()));
        if (Want.empty()) {
          EXPECT_TRUE(IsFieldNull(Cut.get(), 0));
          continue;
        }
        EXPECT_EQ(ToHex(Bytes(Cut.get() + L.BufferOffset(), L.DataSize())), ToHex(Want));
        if (C.Wide) {
          WideString Text;
          ASSERT_TRUE(GetFieldData(0, *Last, Text, Cut.get()));
          EXPECT_EQ(Text.size(), size_t(std::min(Length, C.Room)));
        } else {
          // Text comes back up to its terminator, other columns whole.
          std::unique_ptr<uint8_t[]> Out(new uint8_t[size_t(L.DataSize())]);
          ASSERT_TRUE(GetFieldData(0, *Last, Out.get(), Cut.get()));
          const int32_t N = C.Text ? std::min(Length, C.Room) + 1 : L.DataSize();
          EXPECT_EQ(ToHex(Bytes(Out.get(), N)), ToHex(TBytes(Want.begin(), Want.begin() + N)));
        }
      }
    }
  }
}

TEST(RecordBuffer, UnterminatedTextReadsBackCutAndTerminated) {
  auto Defs = Layout({{tftChar, 5}, {tftWideChar, 3}});
  const TTolvanFieldDef& N = Defs->Items(0);
  const TTolvanFieldDef& W = Defs->Items(1);
  std::unique_ptr<uint8_t[]> Buffer(new uint8_t[size_t(Defs->RecordBufferSize())]);
  Buffer[0] = 0;
  std::memset(Buffer.get() + N.BufferOffset(), 'x', size_t(N.DataSize()));
  // Wide: three characters, then a fourth where the terminator belongs.
  for (int32_t I = 0; I < 4; ++I)
    StoreLE<uint16_t>(Buffer.get() + W.BufferOffset() + 2 * I, uint16_t('p' + I));

  uint8_t Out[7];
  std::memset(Out, 0xEE, sizeof Out);
  ASSERT_TRUE(GetFieldData(0, *Defs, Out, Buffer.get()));
  EXPECT_EQ(ToHex(Bytes(Out, 7)), "78 78 78 78 78 00 EE");
  WideString Text;
  ASSERT_TRUE(GetFieldData(1, *Defs, Text, Buffer.get()));
  EXPECT_EQ(Text, u"pqr");

  // A surrogate pair that does not fit whole is left out whole, writing or reading.
  SetFieldData(1, *Defs, std::u16string_view(u"ab\U0001F600"), Buffer.get());
  EXPECT_EQ(ToHex(Bytes(Buffer.get() + W.BufferOffset(), 8)), "61 00 62 00 00 00 00 00");
  StoreLE<uint16_t>(Buffer.get() + W.BufferOffset() + 4, 0xD83D);
  StoreLE<uint16_t>(Buffer.get() + W.BufferOffset() + 6, 0xDE00);
  ASSERT_TRUE(GetFieldData(1, *Defs, Text, Buffer.get()));
  EXPECT_EQ(Text, u"ab");
}

TEST(RecordBuffer, NullsEmptyTextAndBlobColumns) {
  auto Defs = Layout({{tftVarchar, 4}, {tftInteger, 0}, {tftMemo, 0}});
  TBytes Buffer(size_t(Defs->RecordBufferSize()), 0);
  SetAllNull(Buffer.data(), Defs->Count());

  // A null column answers false and leaves the destination alone.
  uint8_t Out[8];
  std::memset(Out, 0xEE, sizeof Out);
  EXPECT_FALSE(GetFieldData(1, *Defs, Out, Buffer.data()));
  EXPECT_EQ(Out[0], 0xEE);

  // An empty text is stored as NULL, also over a value.
  SetFieldData(0, *Defs, "abc", Buffer.data());
  EXPECT_FALSE(IsFieldNull(Buffer.data(), 0));
  SetFieldData(0, *Defs, "", Buffer.data());
  EXPECT_TRUE(IsFieldNull(Buffer.data(), 0));

  // A nil source only sets the bit.
  const int32_t V = 77;
  SetFieldData(1, *Defs, &V, Buffer.data());
  const TBytes Before = Buffer;
  SetFieldData(1, *Defs, nullptr, Buffer.data());
  EXPECT_TRUE(IsFieldNull(Buffer.data(), 1));
  EXPECT_EQ(TBytes(Buffer.begin() + 1, Buffer.end()), TBytes(Before.begin() + 1, Before.end()));

  // A BLOB column copies nothing out, answers true when not null, and refuses bytes in.
  const TTolvanFieldDef& Memo = Defs->Items(2);
  StoreBlobReference(Buffer.data(), Memo, {9, 1, BlobStoredMarker});
  SetFieldNull(Buffer.data(), 2, false);
  std::memset(Out, 0xEE, sizeof Out);
  EXPECT_TRUE(GetFieldData(2, *Defs, Out, Buffer.data()));
  EXPECT_EQ(Out[0], 0xEE);
  const TBytes Forged(8, 0x41);
  const TBytes Kept = Buffer;
  const ETolvanException E = Raised([&] { SetFieldData(2, *Defs, Forged.data(), Buffer.data()); });
  EXPECT_EQ(E.NativeError(), 10732);
  EXPECT_EQ(std::string(E.Message()),
            "Error getting field data - FieldNo = 2, MemoryOffset = 10, MemoryDataSize = 8 - "
            "Native error: 10732");
  EXPECT_EQ(Buffer, Kept);
  SetFieldData(2, *Defs, nullptr, Buffer.data());
  EXPECT_TRUE(IsFieldNull(Buffer.data(), 2));
}

TEST(RecordBuffer, FieldNumbersAndFormsAreCheckedBeforeAnyByteMoves) {
  auto Defs = Layout({{tftChar, 3}, {tftWideVarchar, 3}, {tftInteger, 0}});
  TBytes Buffer(size_t(Defs->RecordBufferSize()), 0);
  uint8_t Out[16];
  WideString Text;
  const int32_t Count = Defs->Count();
  for (int32_t No : {-1, Count, Count + 1}) {
    SCOPED_TRACE(No);
    const ETolvanException Get = Raised([&] { GetFieldData(No, *Defs, Out, Buffer.data()); });
    EXPECT_EQ(Get.NativeError(), 10000);
    EXPECT_EQ(std::string(Get.Message()), "Invalid field number - FieldNo = " + std::to_string(No) +
                                              ", FieldCount = 3 - Native error: 10000");
    EXPECT_EQ(NativeCodeOf([&] { GetFieldData(No, *Defs, Text, Buffer.data()); }), 10000);
    EXPECT_EQ(NativeCodeOf([&] { SetFieldData(No, *Defs, "a", Buffer.data()); }), 10004);
    EXPECT_EQ(NativeCodeOf([&] { SetFieldData(No, *Defs, nullptr, Buffer.data()); }), 10004);
    EXPECT_EQ(
        NativeCodeOf([&] { SetFieldData(No, *Defs, std::u16string_view(u"a"), Buffer.data()); }),
        10004);
    EXPECT_EQ(NativeCodeOf([&] { WriteFieldData(No, *Defs, "a", 1, Buffer.data()); }), 10004);
  }

  // A form that does not fit the column's type.
  const int32_t I = 5;
  EXPECT_EQ(NativeCodeOf([&] { GetFieldData(1, *Defs, Out, Buffer.data()); }), 10002);
  EXPECT_EQ(NativeCodeOf([&] { SetFieldData(1, *Defs, "a", Buffer.data()); }), 10734);
  EXPECT_EQ(NativeCodeOf([&] { GetFieldData(0, *Defs, Text, Buffer.data()); }), 10733);
  EXPECT_EQ(NativeCodeOf([&] { SetFieldData(0, *Defs, std::u16string_view(u"a"), Buffer.data()); }),
            10734);
  EXPECT_EQ(NativeCodeOf([&] { GetFieldData(2, *Defs, Text, Buffer.data()); }), 10002);
  EXPECT_EQ(NativeCodeOf([&] { SetFieldData(2, *Defs, std::u16string_view(u"a"), Buffer.data()); }),
            10732);

  // A column added after the layout was computed has no place in the buffer.
  TTolvanFieldDef& Late = Defs->AddNew();
  Late.SetName("Late");
  Late.SetType(tftVarchar, 4);
  TTolvanFieldDef& LateInt = Defs->AddNew();
  LateInt.SetName("LateInt");
  LateInt.SetType(tftInteger, 0);
  const TBytes Before = Buffer;
  EXPECT_EQ(NativeCodeOf([&] { GetFieldData(3, *Defs, Out, Buffer.data()); }), 10733);
  EXPECT_EQ(NativeCodeOf([&] { SetFieldData(3, *Defs, "a", Buffer.data()); }), 10734);
  EXPECT_EQ(NativeCodeOf([&] { GetFieldData(4, *Defs, Out, Buffer.data()); }), 10002);
  EXPECT_EQ(NativeCodeOf([&] { SetFieldData(4, *Defs, &I, Buffer.data()); }), 10732);
  EXPECT_EQ(Buffer, Before);
}

} // namespace
