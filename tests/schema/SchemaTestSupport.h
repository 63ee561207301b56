// SchemaTestSupport.h: helpers the definition tests share: byte forms as hex, streams over
// vectors, a stream that refuses writes past a limit, element tables of stored forms, random
// definitions and field-by-field comparison.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "foundation/TolvanStreams.h"
#include "schema/TolvanMetaObjectDefs.h"
#include "tests/foundation/TestSupport.h"

namespace tolvan::test {

using TBytes = std::vector<uint8_t>;

// "02 49 44" -> {0x02, 0x49, 0x44}; blanks are ignored.
inline TBytes Hex(std::string_view Text) {
  TBytes Out;
  int High = -1;
  for (char C : Text) {
    int V = C >= '0' && C <= '9'   ? C - '0'
            : C >= 'A' && C <= 'F' ? C - 'A' + 10
            : C >= 'a' && C <= 'f' ? C - 'a' + 10
                                   : -1;
    if (V < 0)
      continue;
    if (High < 0) {
      High = V;
    } else {
      Out.push_back(uint8_t(High * 16 + V));
      High = -1;
    }
  }
  return Out;
}

inline std::string ToHex(const TBytes& Bytes) {
  static const char Digits[] = "0123456789ABCDEF";
  std::string S;
  for (uint8_t B : Bytes) {
    if (!S.empty())
      S += ' ';
    S += Digits[B >> 4];
    S += Digits[B & 15];
  }
  return S;
}

// The stored form of a definition or collection.
template <class T> TBytes Saved(const T& Object) {
  TVectorStream S;
  Object.SaveToStream(S);
  return S.Data;
}

// Reads Object from Bytes and expects the whole form to be used.
template <class T> void LoadAll(T& Object, const TBytes& Bytes) {
  TVectorStream S(Bytes);
  Object.LoadFromStream(S);
  EXPECT_EQ(S.Pos, int64_t(Bytes.size())) << "bytes left after the form";
}

// --- element tables -----------------------------------------------------------------------------

// One stored element: its width and the codes a short write and a short read of it raise.
// Length marks a length, prefix or count whose damage the reader must catch.
struct TElement {
  int32_t Width;
  int32_t WriteCode;
  int32_t ReadCode;
  bool Length = false;
};
using TElements = std::vector<TElement>;

inline TElements operator+(TElements A, const TElements& B) {
  A.insert(A.end(), B.begin(), B.end());
  return A;
}

// The element that holds byte Offset of the form.
inline const TElement& ElementAt(const TElements& Elements, int64_t Offset) {
  int64_t Start = 0;
  for (const TElement& E : Elements) {
    if (Offset < Start + E.Width)
      return E;
    Start += E.Width;
  }
  static const TElement None{0, 0, 0};
  return None;
}

inline int64_t TotalWidth(const TElements& Elements) {
  int64_t N = 0;
  for (const TElement& E : Elements)
    N += E.Width;
  return N;
}

// The base form of a definition named Name.
inline TElements BaseElements(std::string_view Name) {
  TElements E{{1, 10164, 10166, true}};
  if (!Name.empty())
    E.push_back({int32_t(Name.size()), 10165, 10167});
  E.push_back({4, 10168, 10169});
  return E;
}

// A value in its stream form. A cut inside the bytes is found by the size check, before a read.
inline TElements ValueElements(const TTolvanVariant& V) {
  TElements E{{1, 10179, 10183}, {1, 10180, 10184}};
  if (!V.IsNull())
    E = E + TElements{{4, 10181, 10185, true}, {V.DataSize(), 10182, 10185}};
  return E;
}

// --- random definitions -------------------------------------------------------------------------

class TRandomDefs {
public:
  explicit TRandomDefs(uint32_t Seed) : FRandom(Seed) {}

  int32_t Int(int32_t Lo, int32_t Hi) {
    return std::uniform_int_distribution<int32_t>(Lo, Hi)(FRandom);
  }
  int64_t Int64() { return int64_t(FRandom()) << 32 | FRandom(); }
  uint8_t Byte() { return uint8_t(Int(0, 255)); }
  // Mostly 0 and 1, now and then any other byte: what was read must be written back.
  uint8_t Flag() { return Int(0, 9) == 0 ? Byte() : uint8_t(Int(0, 1)); }

  // Any bytes; long names now and then.
  AnsiString Name(int32_t MaxLength = 255, int32_t MinLength = 0) {
    const int32_t Length =
        Int(0, 4) == 0 ? Int(MinLength, MaxLength) : Int(MinLength, std::min(MaxLength, 12));
    AnsiString S(size_t(Length), ' ');
    for (char& C : S)
      C = char(Int(1, 255));
    return S;
  }

  // A null value or a value of Type with random bytes of a size the stream form accepts.
  void Value(TTolvanVariant& V, TTolvanValueType Type) {
    if (Type == tvtNone || Int(0, 2) == 0) {
      V.Clear(Type);
      return;
    }
    TBytes Bytes;
    if (IsPlainStringValueType(Type)) {
      const int32_t Unit = IsWideValueType(Type) ? 2 : 1;
      Bytes.resize(size_t(Unit * Int(1, 30)));
      for (size_t I = 0; I + Unit < Bytes.size(); ++I)
        Bytes[I] = uint8_t(Int(1, 255));
      std::fill(Bytes.end() - Unit, Bytes.end(), 0);
    } else if (IsBlobValueType(Type) || Type == tvtBytes || Type == tvtVarBytes) {
      Bytes.resize(size_t(Int(1, 30)));
      for (auto& B : Bytes)
        B = Byte();
    } else {
      Bytes.resize(size_t(ValueTypeDataSize(Type, 0)));
      for (auto& B : Bytes)
        B = Byte();
    }
    V.SetBuffer(Bytes.data(), int32_t(Bytes.size()), Type, true, false);
  }

  std::unique_ptr<TTolvanFieldDef> Field() {
    auto D = std::make_unique<TTolvanFieldDef>();
    D->SetName(Name());
    D->SetObjectID(int32_t(FRandom()));
    const auto Type = TTolvanFieldType(Int(1, TolvanFieldTypeCount));
    const bool Sized = IsPlainStringValueType(ValueTypeOfFieldType(Type)) || IsBytesFieldType(Type);
    D->SetType(Type, Sized ? Int(0, 1000) : 0);
    D->SetSequenceID(int32_t(FRandom()));
    D->SetBlobCompressionAlgorithm(uint8_t(Int(0, 3)));
    D->SetBlobCompressionMode(uint8_t(Int(0, 9)));
    D->SetBlobBlockSize(int32_t(FRandom()));
    D->SetAutoincIncrement(Int64());
    D->SetAutoincInitialValue(Int64());
    D->SetAutoincMinValue(Int64());
    D->SetAutoincMaxValue(Int64());
    D->SetAutoincCycled(Flag());
    if (!D->IsAutoinc())
      Value(D->DefaultValue(), Int(0, 3) == 0 ? TTolvanValueType(Int(0, 24)) : D->BaseType());
    return D;
  }

  std::unique_ptr<TTolvanSequenceDef> Sequence() {
    auto D = std::make_unique<TTolvanSequenceDef>();
    D->SetName(Name());
    D->SetObjectID(int32_t(FRandom()));
    D->SetDataType(TTolvanValueType(Byte()));
    D->SetMinValue(Int64());
    D->SetMaxValue(Int64());
    D->SetCurrentValue(Int64());
    D->SetIncrement(Int64());
    D->SetCycled(Flag());
    return D;
  }

  std::unique_ptr<TTolvanIndexDef> Index() {
    auto D = std::make_unique<TTolvanIndexDef>();
    D->SetName(Name());
    D->SetObjectID(int32_t(FRandom()));
    D->SetIndexKind(Byte());
    D->SetUnique(Flag());
    D->SetPrimary(Flag());
    D->SetRootPageNo(int32_t(FRandom()));
    D->SetColumnCount(Int(0, 5));
    for (int32_t I = 0; I < D->ColumnCount(); ++I) {
      D->Columns(I).SetName(Name(255, 1));
      D->Columns(I).SetDescending(Flag());
      D->Columns(I).SetCaseInsensitive(Flag());
    }
    return D;
  }

  TTolvanObjectRef Ref(int32_t MaxLength = 255) {
    return TTolvanObjectRef(Name(MaxLength), int32_t(FRandom()));
  }

  // A constraint of each class in turn, with random contents, added to Defs.
  void Constraint(TTolvanConstraintDefs& Defs) {
    switch (Int(0, 5)) {
    case 0:
      FillNotNull(Defs.AddNotNull());
      break;
    case 1: {
      auto& C = Defs.AddCheck();
      FillNotNullLike(C);
      Value(C.CheckMinValue(), TTolvanValueType(Int(0, 24)));
      Value(C.CheckMaxValue(), TTolvanValueType(Int(0, 24)));
      break;
    }
    case 2:
      FillUnique(Defs.AddUnique());
      break;
    case 3:
      FillUnique(Defs.AddPrimary());
      break;
    case 4:
      FillForeignKey(Defs.AddForeignKey());
      break;
    default:
      FillForeignKey(Defs.AddForeignKeyAction());
      break;
    }
  }

private:
  template <class T> void FillNotNullLike(T& C) {
    C.SetName(Name());
    C.SetObjectID(int32_t(FRandom()));
    C.Reserved1() = Ref(254);
    C.Reserved2() = Ref(254);
    C.Column() = Ref(254);
  }
  void FillNotNull(TTolvanConstraintDefNotNull& C) { FillNotNullLike(C); }
  void FillUnique(TTolvanConstraintDefUnique& C) {
    C.SetName(Name());
    C.SetObjectID(int32_t(FRandom()));
    C.Reserved1() = Ref();
    C.Reserved2() = Ref();
    C.Index() = Ref();
    for (int32_t I = Int(0, 4); I > 0; --I)
      C.Columns().push_back(Ref());
  }
  void FillForeignKey(TTolvanConstraintDefForeignKeyAction& C) {
    C.SetName(Name());
    C.SetObjectID(int32_t(FRandom()));
    C.Table() = Ref();
    C.Partner() = Ref();
    C.SetOnDelete(TTolvanForeignKeyAction(Byte()));
    C.SetOnUpdate(TTolvanForeignKeyAction(Byte()));
    C.SetMatchType(Byte());
    for (int32_t I = Int(0, 4); I > 0; --I)
      C.Columns().push_back(Ref());
  }

  std::mt19937 FRandom;
};

// --- comparison ---------------------------------------------------------------------------------

inline void ExpectSameValue(const TTolvanVariant& A, const TTolvanVariant& B) {
  EXPECT_EQ(A.DataType(), B.DataType());
  ASSERT_EQ(A.IsNull(), B.IsNull());
  if (A.IsNull())
    return;
  ASSERT_EQ(A.DataSize(), B.DataSize());
  EXPECT_EQ(std::memcmp(A.Data(), B.Data(), size_t(A.DataSize())), 0);
}

// Every stored or copied field of two definitions of one class.
inline void ExpectSameDef(const TTolvanMetaObjectDef& A, const TTolvanMetaObjectDef& B) {
  ASSERT_EQ(A.ClassName(), B.ClassName());
  EXPECT_EQ(A.Name(), B.Name());
  EXPECT_EQ(A.ObjectID(), B.ObjectID());
  if (auto* F = dynamic_cast<const TTolvanFieldDef*>(&A)) {
    auto& G = dynamic_cast<const TTolvanFieldDef&>(B);
    EXPECT_EQ(F->BaseType(), G.BaseType());
    EXPECT_EQ(F->FieldType(), G.FieldType());
    EXPECT_EQ(F->Size(), G.Size());
    EXPECT_EQ(F->DataSize(), G.DataSize());
    EXPECT_EQ(F->StoredSize(), G.StoredSize());
    if (F->IsBlob()) {
      EXPECT_EQ(F->BlobCompressionAlgorithm(), G.BlobCompressionAlgorithm());
      EXPECT_EQ(F->BlobCompressionMode(), G.BlobCompressionMode());
      EXPECT_EQ(F->BlobBlockSize(), G.BlobBlockSize());
    }
    if (F->IsAutoinc()) {
      EXPECT_EQ(F->SequenceID(), G.SequenceID());
      EXPECT_EQ(F->AutoincIncrement(), G.AutoincIncrement());
      EXPECT_EQ(F->AutoincInitialValue(), G.AutoincInitialValue());
      EXPECT_EQ(F->AutoincMinValue(), G.AutoincMinValue());
      EXPECT_EQ(F->AutoincMaxValue(), G.AutoincMaxValue());
      EXPECT_EQ(F->AutoincCycled(), G.AutoincCycled());
    } else {
      ExpectSameValue(F->DefaultValue(), G.DefaultValue());
    }
  } else if (auto* S = dynamic_cast<const TTolvanSequenceDef*>(&A)) {
    auto& T = dynamic_cast<const TTolvanSequenceDef&>(B);
    EXPECT_EQ(S->DataType(), T.DataType());
    EXPECT_EQ(S->MinValue(), T.MinValue());
    EXPECT_EQ(S->MaxValue(), T.MaxValue());
    EXPECT_EQ(S->CurrentValue(), T.CurrentValue());
    EXPECT_EQ(S->Increment(), T.Increment());
    EXPECT_EQ(S->Cycled(), T.Cycled());
  } else if (auto* I = dynamic_cast<const TTolvanIndexDef*>(&A)) {
    auto& J = dynamic_cast<const TTolvanIndexDef&>(B);
    EXPECT_EQ(I->IndexKind(), J.IndexKind());
    EXPECT_EQ(I->Unique(), J.Unique());
    EXPECT_EQ(I->Primary(), J.Primary());
    EXPECT_EQ(I->RootPageNo(), J.RootPageNo());
    ASSERT_EQ(I->ColumnCount(), J.ColumnCount());
    for (int32_t K = 0; K < I->ColumnCount(); ++K)
      EXPECT_TRUE(I->Columns(K) == J.Columns(K)) << "column " << K;
  } else if (auto* N = dynamic_cast<const TTolvanConstraintDefNotNull*>(&A)) {
    auto& M = dynamic_cast<const TTolvanConstraintDefNotNull&>(B);
    EXPECT_TRUE(N->Reserved1() == M.Reserved1());
    EXPECT_TRUE(N->Reserved2() == M.Reserved2());
    EXPECT_TRUE(N->Column() == M.Column());
  } else if (auto* C = dynamic_cast<const TTolvanConstraintDefCheck*>(&A)) {
    auto& D = dynamic_cast<const TTolvanConstraintDefCheck&>(B);
    EXPECT_TRUE(C->Reserved1() == D.Reserved1());
    EXPECT_TRUE(C->Reserved2() == D.Reserved2());
    EXPECT_TRUE(C->Column() == D.Column());
    ExpectSameValue(C->CheckMinValue(), D.CheckMinValue());
    ExpectSameValue(C->CheckMaxValue(), D.CheckMaxValue());
  } else if (auto* U = dynamic_cast<const TTolvanConstraintDefUnique*>(&A)) {
    auto& V = dynamic_cast<const TTolvanConstraintDefUnique&>(B);
    EXPECT_TRUE(U->Reserved1() == V.Reserved1());
    EXPECT_TRUE(U->Reserved2() == V.Reserved2());
    EXPECT_TRUE(U->Index() == V.Index());
    EXPECT_TRUE(U->Columns() == V.Columns());
  } else if (auto* K = dynamic_cast<const TTolvanConstraintDefForeignKeyAction*>(&A)) {
    auto& L = dynamic_cast<const TTolvanConstraintDefForeignKeyAction&>(B);
    EXPECT_TRUE(K->Table() == L.Table());
    EXPECT_TRUE(K->Partner() == L.Partner());
    EXPECT_EQ(K->OnDelete(), L.OnDelete());
    EXPECT_EQ(K->OnUpdate(), L.OnUpdate());
    EXPECT_EQ(K->MatchType(), L.MatchType());
    EXPECT_TRUE(K->Columns() == L.Columns());
  }
  if (auto* C = dynamic_cast<const TTolvanConstraintDef*>(&A)) {
    EXPECT_EQ(C->ConstraintType(), dynamic_cast<const TTolvanConstraintDef&>(B).ConstraintType());
  }
}

inline void ExpectSameDefs(const TTolvanMetaObjectDefs& A, const TTolvanMetaObjectDefs& B) {
  ASSERT_EQ(A.Count(), B.Count());
  for (int32_t I = 0; I < A.Count(); ++I) {
    SCOPED_TRACE("definition " + std::to_string(I));
    ExpectSameDef(A.Items(I), B.Items(I));
  }
}

} // namespace tolvan::test
