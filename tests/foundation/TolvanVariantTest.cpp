#include "foundation/TolvanVariant.h"
#include "tests/foundation/TestSupport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>

#include "foundation/TolvanExcept.h"
#include "foundation/TolvanMemory.h"
#include "foundation/TolvanStreams.h"

#include <vector>

using namespace tolvan;

namespace {

template <class F>
int32_t CodeOf(F&& Fn) {
  return test::NativeCodeOf(std::forward<F>(Fn));
}

} // namespace

TEST(TolvanVariant, NewValueIsNullOfItsType) {
  TTolvanVariant V(tvtInteger);
  EXPECT_TRUE(V.IsNull());
  EXPECT_EQ(V.DataType(), tvtInteger);
  EXPECT_EQ(V.GetAsString(), "");
  EXPECT_EQ(V.GetAsWideString(), u"");
  EXPECT_EQ(CodeOf([&] { V.GetAsInteger(); }), 30016);
  EXPECT_EQ(CodeOf([&] { V.CheckNotNull(); }), 30016);
  EXPECT_EQ(V.GetLength(), -1);
}

TEST(TolvanVariant, SettersStoreInTheOwnType) {
  TTolvanVariant S(tvtString);
  S.SetAsInteger(5);
  EXPECT_EQ(S.DataType(), tvtString);
  EXPECT_EQ(S.DataSize(), 2);
  EXPECT_EQ(S.GetAsString(), "5");
  EXPECT_EQ(S.GetAsInteger(), 5);
  EXPECT_EQ(S.GetLength(), 1);

  TTolvanVariant Empty(tvtString);
  Empty.SetAsString("");
  EXPECT_TRUE(Empty.IsNull());

  TTolvanVariant N; // no type yet: takes the setter's
  N.SetAsDouble(2.5);
  EXPECT_EQ(N.DataType(), tvtFloat);
  EXPECT_EQ(N.GetAsInteger(), 2);
  N.SetAsDouble(3.5); // same type: overwritten in place
  EXPECT_EQ(N.GetAsDouble(), 3.5);
  N.SetAsInteger(7); // another type: converted into FLOAT
  EXPECT_EQ(N.DataType(), tvtFloat);
  EXPECT_EQ(N.GetAsDouble(), 7.0);

  TTolvanVariant I(tvtInteger);
  I.SetAsInteger(1);
  EXPECT_EQ(CodeOf([&] { I.SetAsString("x"); }), 30051);
  EXPECT_TRUE(I.IsNull()); // a failed conversion leaves a null of the own type
  EXPECT_EQ(I.DataType(), tvtInteger);
}

TEST(TolvanVariant, TypedRoundTrips) {
  TTolvanVariant V;
  V.SetAsShortInt(-5);
  EXPECT_EQ(V.GetAsShortInt(), -5);
  V.Clear();
  V.SetAsWord(65535);
  EXPECT_EQ(V.GetAsWord(), 65535);
  V.Clear();
  V.SetAsCardinal(4000000000u);
  EXPECT_EQ(V.GetAsCardinal(), 4000000000u);
  EXPECT_EQ(V.GetAsLargeInt(), 4000000000);
  V.Clear();
  V.SetAsExtended(1.0L / 3);
  EXPECT_EQ(V.DataSize(), 10);
  EXPECT_EQ(V.GetAsExtended(), 1.0L / 3);
  V.Clear();
  V.SetAsBoolean(true);
  int16_t Raw;
  std::memcpy(&Raw, V.Data(), 2);
  EXPECT_EQ(Raw, -1);
  EXPECT_TRUE(V.GetAsBoolean());
  EXPECT_EQ(V.GetAsString(), "True");
  V.Clear();
  V.SetAsDateTime(-1.25);
  EXPECT_EQ(V.GetAsStoredDateTime().Date, 693593);
  EXPECT_EQ(V.GetAsStoredDateTime().Time, 21600000);
  EXPECT_DOUBLE_EQ(V.GetAsDateTime(), -1.25);
  V.Clear();
  V.SetAsWideString(u"\u0416");
  EXPECT_EQ(V.GetAsWideString(), u"\u0416");
  EXPECT_EQ(V.GetLength(), 1);
  EXPECT_EQ(V.GetAsString(), "?");
}

TEST(TolvanVariant, AssignBorrowsOrCopies) {
  TTolvanVariant Src(tvtInteger);
  Src.SetAsInteger(1);
  TTolvanVariant Shared, Own;
  Shared.Assign(Src, false);
  Own.Assign(Src, true);
  EXPECT_TRUE(Shared.IsBorrowed());
  EXPECT_FALSE(Own.IsBorrowed());
  Src.SetAsInteger(9); // in place: the borrower sees it
  EXPECT_EQ(Shared.GetAsInteger(), 9);
  EXPECT_EQ(Own.GetAsInteger(), 1);
  Shared.Clear(); // never frees what it borrowed
  EXPECT_EQ(Src.GetAsInteger(), 9);
  {
    TTolvanVariant Temp(tvtString);
    Temp.SetAsString("outlives");
    Own.Assign(Temp, true);
  }
  EXPECT_EQ(Own.GetAsString(), "outlives");
}

TEST(TolvanVariant, AssignCopiesWhatTheValueItselfLent) {
  // The source borrows the value's own buffer: the copy is taken before that buffer goes.
  for (TTolvanValueType T : {tvtString, tvtInteger, tvtMemo}) {
    TTolvanVariant Value(T);
    Value.SetAsString("12345");
    TTolvanVariant Lent;
    Lent.Assign(Value, false);
    Value.Assign(Lent, true);
    EXPECT_FALSE(Value.IsBorrowed());
    EXPECT_EQ(Value.GetAsString(), "12345") << int(T);
  }
}

TEST(TolvanVariant, AssignCopiesTheWholeBlobBlock) {
  TTolvanVariant Memo(tvtMemo);
  void* B = MemoryManager.AllocMem(6); // "hello" plus the terminator records carry
  std::memcpy(B, "hello", 5);
  Memo.AttachBuffer(B, 5);
  TTolvanVariant Copy;
  Copy.Assign(Memo, true);
  EXPECT_EQ(Copy.DataSize(), 5);
  EXPECT_EQ(MemoryManager.GetMemSize(Copy.Data()), 6);
  EXPECT_EQ(Copy.GetAsString(), "hello");
  // Borrowed BLOB data is no block: the copy adds a terminator of its own.
  char Record[5] = {'a', 'b', 'c', 'd', 'e'};
  TTolvanVariant Borrowed;
  Borrowed.SetBuffer(Record, 5, tvtBLOB, false, false);
  Copy.Assign(Borrowed, true);
  EXPECT_EQ(MemoryManager.GetMemSize(Copy.Data()), 7);
  EXPECT_EQ(Copy.GetAsString(), "abcde");
}

TEST(TolvanVariant, SetBufferAndCopyDataTo) {
  int32_t X = 42;
  TTolvanVariant V;
  V.SetBuffer(&X, 4, tvtInteger, false, false);
  EXPECT_TRUE(V.IsBorrowed());
  X = 43;
  EXPECT_EQ(V.GetAsInteger(), 43);
  V.SetBuffer(&X, 4, tvtInteger, true, false);
  EXPECT_FALSE(V.IsBorrowed());
  X = 44;
  EXPECT_EQ(V.GetAsInteger(), 43);
  int32_t Out = 0;
  EXPECT_TRUE(V.CopyDataTo(&Out, -1));
  EXPECT_EQ(Out, 43);
  V.SetNull();
  EXPECT_FALSE(V.CopyDataTo(&Out, -1));
  EXPECT_NE(V.Data(), nullptr); // SetNull keeps the buffer
  V.SetDataSize(8);
  EXPECT_EQ(V.DataSize(), 8);
  EXPECT_FALSE(V.IsNull());
}

TEST(TolvanVariant, CastToAndChangeDataType) {
  TTolvanVariant C(tvtChar);
  C.SetAsString("12");
  void* Before = C.Data();
  C.CastTo(tvtString);
  EXPECT_EQ(C.DataType(), tvtString);
  EXPECT_EQ(C.Data(), Before); // only relabelled
  C.CastTo(tvtInteger);
  EXPECT_EQ(C.DataType(), tvtInteger);
  EXPECT_EQ(C.GetAsInteger(), 12);
  TTolvanVariant X(tvtString);
  X.SetAsString("x");
  EXPECT_EQ(CodeOf([&] { X.CastTo(tvtInteger); }), 30051);
  EXPECT_EQ(X.GetAsString(), "x"); // unchanged after a failed cast
  X.ChangeDataType(tvtInteger);
  EXPECT_TRUE(X.IsNull());
  EXPECT_EQ(X.DataType(), tvtInteger);
}

TEST(TolvanVariant, GetTypedValueNeverReadsPastTheBuffer) {
  // A STRING value whose buffer lacks a terminator (borrowed from elsewhere) is cut at its size.
  char Raw[3] = {'a', 'b', 'c'};
  TTolvanVariant V;
  V.SetBuffer(Raw, 3, tvtString, false, false);
  EXPECT_EQ(V.GetAsString(), "ab");
  // A fixed-size getter over a short buffer reads what is there.
  uint8_t Two[2] = {1, 0};
  TTolvanVariant S;
  S.SetBuffer(Two, 2, tvtInteger, false, false);
  EXPECT_EQ(S.GetAsInteger(), 1);
}

namespace {

// A text value of type T holding Text (ANSI characters), the empty text included: CHAR and
// STRING with their terminator, MEMO and WIDEMEMO as their content.
std::unique_ptr<TTolvanVariant> TextValue(TTolvanValueType T, const AnsiString& Text) {
  auto V = std::make_unique<TTolvanVariant>(T);
  const bool Wide = IsWideValueType(T);
  const WideString W = AnsiToWide(Text);
  std::vector<uint8_t> B;
  if (Wide)
    B.assign(reinterpret_cast<const uint8_t*>(W.data()),
             reinterpret_cast<const uint8_t*>(W.data() + W.size()));
  else
    B.assign(Text.begin(), Text.end());
  if (IsBlobValueType(T) && B.empty()) {
    // A value of no bytes: the empty text of the other kind, cast.
    V = TextValue(Wide ? tvtWideString : tvtString, Text);
    V->CastTo(T);
    return V;
  }
  if (!IsBlobValueType(T))
    B.insert(B.end(), Wide ? 2 : 1, 0);
  V->SetBuffer(B.data(), int32_t(B.size()), T, true, true);
  return V;
}

} // namespace

// A BLOB, MEMO or WIDEMEMO size is its content length, and every reader takes that many bytes
// (characters of wide text): text read as one of them, or cast to one and read back, keeps its
// last character.
TEST(TolvanVariant, TextReadAsBlobTypesKeepsEveryCharacter) {
  const TTolvanValueType Sources[] = {tvtChar,       tvtString, tvtWideChar,
                                      tvtWideString, tvtMemo,   tvtWideMemo};
  for (TTolvanValueType Source : Sources)
    for (TTolvanValueType Target : {tvtBLOB, tvtMemo, tvtWideMemo})
      for (const char* Text : {"", "x", "abc"}) {
        if (Source == Target)
          continue;
        SCOPED_TRACE(std::string(ValueTypeToSQLName(Source)) + " '" + Text + "' as " +
                     std::string(ValueTypeToSQLName(Target)));
        auto V = TextValue(Source, Text);
        const WideString W = AnsiToWide(Text);
        // A BLOB keeps the width text came in; MEMO is narrow and WIDEMEMO wide text.
        const bool WideBytes = Target == tvtBLOB ? IsWideValueType(Source) : false;
        if (Target == tvtWideMemo) {
          WideString Got;
          V->GetTypedValue(&Got, Target);
          EXPECT_EQ(Got, W);
        } else {
          AnsiString Got;
          V->GetTypedValue(&Got, Target);
          EXPECT_EQ(Got, WideBytes
                             ? AnsiString(reinterpret_cast<const char*>(W.data()), W.size() * 2)
                             : AnsiString(Text));
        }
        // Cast and read back in the source's own type (a BLOB of wide bytes reads as ANSI text,
        // which is no round trip).
        V->CastTo(Target);
        EXPECT_EQ(V->DataSize(),
                  int32_t(std::strlen(Text)) * (IsWideValueType(Target) || WideBytes ? 2 : 1));
        if (WideBytes)
          continue;
        if (IsWideValueType(Source))
          EXPECT_EQ(V->GetAsWideString(), W);
        else
          EXPECT_EQ(V->GetAsString(), Text);
      }
}

namespace {

std::vector<uint8_t> Saved(const TTolvanVariant& V) {
  TTolvanMemoryStream S;
  V.SaveToStream(S);
  std::vector<uint8_t> B(static_cast<size_t>(S.Size()));
  S.SetPosition(0);
  S.ReadBuffer(B.data(), static_cast<int64_t>(B.size()));
  return B;
}

TTolvanMemoryStream* StreamOf(const std::vector<uint8_t>& B, TTolvanMemoryStream& S) {
  S.SetSize(0);
  if (!B.empty())
    S.WriteBuffer(B.data(), static_cast<int64_t>(B.size()));
  S.SetPosition(0);
  return &S;
}

} // namespace

TEST(TolvanVariantStream, GoldenBytes) {
  TTolvanVariant NullInt(tvtInteger);
  EXPECT_EQ(Saved(NullInt), (std::vector<uint8_t>{7, 0xFF}));
  TTolvanVariant One(tvtInteger);
  One.SetAsInteger(1);
  EXPECT_EQ(Saved(One), (std::vector<uint8_t>{7, 0, 4, 0, 0, 0, 1, 0, 0, 0}));
  TTolvanVariant Str(tvtString);
  Str.SetAsString("ab");
  EXPECT_EQ(Saved(Str), (std::vector<uint8_t>{3, 0, 3, 0, 0, 0, 'a', 'b', 0}));
  TTolvanVariant Wide(tvtWideString);
  Wide.SetAsWideString(u"\u0416");
  EXPECT_EQ(Saved(Wide), (std::vector<uint8_t>{4, 0, 4, 0, 0, 0, 0x16, 0x04, 0, 0}));
  TTolvanVariant Blob(tvtBLOB);
  void* B = MemoryManager.AllocMem(4);
  std::memcpy(B, "\x01\x00\x02", 3);
  Blob.AttachBuffer(B, 3);
  EXPECT_EQ(Saved(Blob), (std::vector<uint8_t>{18, 0, 3, 0, 0, 0, 1, 0, 2}));
  // ...and back.
  TTolvanMemoryStream S;
  TTolvanVariant Back;
  for (const TTolvanVariant* V : {&NullInt, &One, &Str, &Wide, &Blob}) {
    Back.LoadFromStream(*StreamOf(Saved(*V), S));
    EXPECT_EQ(Back.DataType(), V->DataType());
    EXPECT_EQ(Back.IsNull(), V->IsNull());
    EXPECT_EQ(Back.DataSize(), V->IsNull() ? 0 : V->DataSize());
    if (!V->IsNull()) {
      EXPECT_EQ(std::memcmp(Back.Data(), V->Data(), V->DataSize()), 0);
    }
  }
}

// BLOB, MEMO and WIDEMEMO values of every content length, none included, load back as saved.
TEST(TolvanVariantStream, BlobTypesOfAnyLengthRoundTrip) {
  TTolvanMemoryStream S;
  for (TTolvanValueType T : {tvtBLOB, tvtMemo, tvtWideMemo})
    for (const char* Text : {"", "x", "abc"}) {
      auto V = TextValue(tvtString, Text);
      V->CastTo(T);
      const std::vector<uint8_t> Form = Saved(*V);
      TTolvanVariant W;
      ASSERT_EQ(CodeOf([&] { W.LoadFromStream(*StreamOf(Form, S)); }), 0) << T << " " << Text;
      EXPECT_EQ(W.DataType(), T);
      EXPECT_FALSE(W.IsNull());
      EXPECT_EQ(W.DataSize(), V->DataSize());
      EXPECT_EQ(W.GetAsString(), Text);
    }
}

TEST(TolvanVariantStream, DamagedFormsRaiseCleanly) {
  TTolvanVariant Str(tvtString);
  Str.SetAsString("hello");
  std::vector<uint8_t> Good = Saved(Str);
  TTolvanMemoryStream S;
  TTolvanVariant V;
  // Cut at every length.
  for (size_t N = 0; N < Good.size(); ++N) {
    std::vector<uint8_t> Cut(Good.begin(), Good.begin() + N);
    int32_t Code = CodeOf([&] { V.LoadFromStream(*StreamOf(Cut, S)); });
    EXPECT_GE(Code, 10183) << N;
    EXPECT_LE(Code, 10186) << N;
  }
  // Sizes that do not fit: negative, huge, too large for the type, text without terminator.
  struct Case {
    std::vector<uint8_t> Bytes;
    int32_t Code;
  };
  const Case Cases[] = {
      {{3, 0, 0xFF, 0xFF, 0xFF, 0xFF, 'a'}, 10185},
      {{3, 0, 0xFF, 0xFF, 0xFF, 0x7F, 'a'}, 10185},
      {{7, 0, 8, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0}, 10185},
      {{7, 0, 0, 0, 0, 0}, 10185},
      {{3, 0, 2, 0, 0, 0, 'a', 'b'}, 10186},
      {{4, 0, 3, 0, 0, 0, 'a', 0, 0}, 10185},
      {{99, 0, 1, 0, 0, 0, 0}, 10185},
  };
  for (const Case& C : Cases)
    EXPECT_EQ(CodeOf([&] { V.LoadFromStream(*StreamOf(C.Bytes, S)); }), C.Code);
  // Every single flipped bit of the size field raises or loads a well-formed value.
  for (int Bit = 0; Bit < 32; ++Bit) {
    std::vector<uint8_t> F = Good;
    F[2 + Bit / 8] ^= static_cast<uint8_t>(1 << (Bit % 8));
    CodeOf([&] { V.LoadFromStream(*StreamOf(F, S)); });
  }
}

TEST(TolvanVariant, OleVariantExchange) {
  TTolvanVariant V;
  V.SetAsVariant(Variant(int32_t(5)));
  EXPECT_EQ(V.DataType(), tvtInteger);
  EXPECT_EQ(VarType(V.GetAsVariant()), varInteger);
  V.Clear();
  V.SetAsVariant(Variant(u"w\u0416"));
  EXPECT_EQ(V.DataType(), tvtWideString);
  V.Clear();
  V.SetAsVariant(Variant("ansi"));
  EXPECT_EQ(V.DataType(), tvtString);
  EXPECT_EQ(VarType(V.GetAsVariant()), varString);
  V.Clear();
  Variant A = VarArrayCreate({0, 2}, varByte);
  uint8_t* P = static_cast<uint8_t*>(VarArrayLock(A));
  P[0] = 1, P[1] = 2, P[2] = 3;
  V.SetAsVariant(A);
  EXPECT_EQ(V.DataType(), tvtBytes);
  EXPECT_EQ(V.DataSize(), 3);
  Variant Back = V.GetAsVariant();
  EXPECT_EQ(VarArrayHighBound(Back, 1), 2);
  EXPECT_EQ(static_cast<uint8_t*>(VarArrayLock(Back))[2], 3);
  EXPECT_EQ(CodeOf([&] { V.SetAsVariant(Variant()); }), 30113);
  TTolvanVariant Memo(tvtMemo);
  EXPECT_TRUE(VarIsNull(Memo.GetAsVariant()));
  char X = 'x';
  Memo.SetBuffer(&X, 1, tvtMemo, true, true);
  EXPECT_EQ(CodeOf([&] { Memo.GetAsVariant(); }), 30114);
  TTolvanVariant D(tvtDateTime);
  D.SetAsDateTime(1.5);
  EXPECT_EQ(VarType(D.GetAsVariant()), varDate);
  TTolvanVariant Null;
  Null.SetAsVariant(Variant::Null());
  EXPECT_TRUE(Null.IsNull());
}

TEST(TolvanVariant, SettersNeverReadMoreThanTheirType) {
  // An INTEGER value holding an oversized buffer: a typed setter replaces it instead of copying
  // the buffer's size from a 4-byte source.
  uint8_t Big[16] = {};
  TTolvanVariant V;
  V.SetBuffer(Big, 16, tvtInteger, true, true);
  V.SetAsInteger(7);
  EXPECT_EQ(V.DataSize(), 4);
  EXPECT_EQ(V.GetAsInteger(), 7);
}
