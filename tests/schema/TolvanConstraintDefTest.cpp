#include "schema/TolvanConstraintDef.h"
#include "tests/schema/SchemaTestSupport.h"

#include <gtest/gtest.h>

#include <string>

#include "foundation/TolvanExcept.h"

using namespace tolvan;
using namespace tolvan::test;

namespace {

template <class T> void ExpectStable(const T& D, const TBytes& Want) {
  EXPECT_EQ(ToHex(Saved(D)), ToHex(Want));
  T Back;
  LoadAll(Back, Want);
  ExpectSameDef(D, Back);
  EXPECT_EQ(ToHex(Saved(Back)), ToHex(Want));
}

TEST(ConstraintDef, CreationValues) {
  TTolvanConstraintDefNotNull N;
  TTolvanConstraintDefCheck C;
  EXPECT_EQ(N.ObjectID(), 0);
  EXPECT_EQ(C.ObjectID(), 0);
  EXPECT_EQ(N.Column(), TTolvanObjectRef());
  EXPECT_TRUE(C.CheckMinValue().IsNull());
  EXPECT_EQ(C.CheckMaxValue().DataType(), tvtNone);
  EXPECT_EQ(TTolvanConstraintDefUnique().ObjectID(), -1);
  EXPECT_EQ(TTolvanConstraintDefPrimary().ObjectID(), -1);
  EXPECT_EQ(TTolvanConstraintDefForeignKey().ObjectID(), -1);
  EXPECT_EQ(TTolvanConstraintDefForeignKeyAction().OnDelete(), tfaRestrict);

  EXPECT_EQ(TTolvanConstraintDefPrimary().ConstraintType(), tctPrimaryKey);
  EXPECT_EQ(TTolvanConstraintDefForeignKey().ConstraintType(), tctForeignKey);
  EXPECT_EQ(TTolvanConstraintDefUnique().ConstraintType(), tctUnique);
  EXPECT_EQ(N.ConstraintType(), tctNotNull);
  EXPECT_EQ(C.ConstraintType(), tctCheck);
  EXPECT_EQ(TTolvanConstraintDefForeignKeyAction().ConstraintType(), tctForeignKeyAction);
}

TEST(ConstraintDef, NotNullForm) {
  TTolvanConstraintDefNotNull N;
  N.SetName("NN");
  N.Column() = TTolvanObjectRef("ID", 3);
  ExpectStable(N, Hex("02 4E 4E 00 00 00 00 00 00 00 00 00 00 00 00 03 00 00 00"
                      "01 00 01 00 03 02 49 44"));
}

TEST(ConstraintDef, CheckFormCarriesItsBounds) {
  TTolvanConstraintDefCheck C;
  C.SetName("C");
  C.SetObjectID(6);
  C.Column() = TTolvanObjectRef("Q", 2);
  C.CheckMinValue().SetAsInteger(-1);
  ExpectStable(C, Hex("01 43 06 00 00 00  00 00 00 00 00 00 00 00 02 00 00 00"
                      "01 00 01 00 02 01 51  07 00 04 00 00 00 FF FF FF FF  00 FF"));
}

// The byte prefix holds n + 1, so a 255-byte reference name cannot be written; nothing is
// written for that name.
TEST(ConstraintDef, BytePrefixedNamesStopAt254Bytes) {
  TTolvanConstraintDefNotNull N;
  N.Column().SetName(std::string(255, 'n'));
  TVectorStream S;
  EXPECT_THROW(N.SaveToStream(S), ERangeError);
  EXPECT_EQ(S.Data.size(), 5u + 12 + 2 + 2);

  TTolvanConstraintDefCheck C;
  C.Reserved2().SetName(std::string(255, 'n'));
  TVectorStream T;
  EXPECT_THROW(C.SaveToStream(T), ERangeError);
  EXPECT_EQ(T.Data.size(), 5u + 12 + 2);

  N.Column().SetName(std::string(254, 'n'));
  TTolvanConstraintDefNotNull Back;
  LoadAll(Back, Saved(N));
  EXPECT_EQ(Back.Column().Name(), std::string(254, 'n'));
}

TEST(ConstraintDef, UniqueAndPrimaryColumnsAreInt32PrefixedShortStrings) {
  TTolvanConstraintDefUnique U;
  U.SetName("U");
  U.SetObjectID(8);
  U.Index() = TTolvanObjectRef("IX", 4);
  U.Columns().emplace_back("ID", 3);
  const TBytes Want = Hex("01 55 08 00 00 00  00 00 00 00 00 00 00 00 04 00 00 00"
                          "01 00 00 00 00  01 00 00 00 00  03 00 00 00 02 49 58"
                          "01 00 00 00  03 00 00 00  03 00 00 00 02 49 44");
  ExpectStable(U, Want);

  TTolvanConstraintDefPrimary P;
  P.Assign(U);
  EXPECT_EQ(P.ConstraintType(), tctPrimaryKey); // the type stays the class's
  ExpectStable(P, Want);

  // The longest name fits: prefix 256.
  U.Columns()[0].SetName(std::string(255, 'x'));
  TTolvanConstraintDefUnique Back;
  LoadAll(Back, Saved(U));
  EXPECT_EQ(Back.Columns()[0].Name(), std::string(255, 'x'));
}

TEST(ConstraintDef, ForeignKeyColumnsAreInt32PrefixedCharacters) {
  TTolvanConstraintDefForeignKey F;
  F.SetName("FK");
  F.SetObjectID(9);
  F.Table() = TTolvanObjectRef("T", 1);
  F.Partner() = TTolvanObjectRef("FK_Action", 12);
  F.SetOnDelete(tfaCascade);
  F.SetOnUpdate(tfaNoAction);
  F.SetMatchType(1);
  F.Columns().emplace_back("ID", 3);
  const TBytes Want = Hex("02 46 4B 09 00 00 00  01 00 00 00 54 01 00 00 00"
                          "09 00 00 00 46 4B 5F 41 63 74 69 6F 6E 0C 00 00 00  01 04 01"
                          "01 00 00 00  03 00 00 00  02 00 00 00 49 44");
  ExpectStable(F, Want);

  TTolvanConstraintDefForeignKeyAction A;
  A.Assign(F);
  EXPECT_EQ(A.ConstraintType(), tctForeignKeyAction);
  ExpectStable(A, Want);
}

TEST(ConstraintDef, AssignCopiesByValueAndRefusesOtherClasses) {
  TTolvanConstraintDefCheck Source;
  Source.SetName("CHK");
  Source.Column() = TTolvanObjectRef("A", 1);
  Source.CheckMinValue().SetAsString("lo");
  Source.CheckMaxValue().SetAsString("hi");
  TTolvanConstraintDefCheck Copy;
  Copy.Assign(Source);
  ExpectSameDef(Source, Copy);
  Source.CheckMinValue().SetAsString("changed");
  EXPECT_EQ(Copy.CheckMinValue().GetAsString(), "lo");

  TTolvanConstraintDefNotNull N;
  TTolvanConstraintDefUnique U;
  TTolvanConstraintDefForeignKey F;
  EXPECT_THROW(Copy.Assign(N), EInvalidCast);
  EXPECT_THROW(N.Assign(Copy), EInvalidCast);
  EXPECT_THROW(U.Assign(F), EInvalidCast);
  EXPECT_THROW(F.Assign(U), EInvalidCast);
  EXPECT_EQ(Copy.Name(), "CHK");
}

// What no writer produces is refused under the read code of the prefix or of the bytes.
TEST(ConstraintDef, ImpossiblePrefixesAndLengthsAreRefused) {
  const std::string Base = "00 00 00 00 00 ";
  const std::string NotNullIds = "00 00 00 00 00 00 00 00 00 00 00 00 ";
  const std::string UniqueIds = NotNullIds;
  // Table and partner, both empty with id 0, and the three action bytes.
  const std::string References = "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00  00 00 00 ";
  struct TCase {
    int Kind; // 0 not null, 1 unique, 2 foreign key
    std::string Tail;
    int32_t Code;
  };
  const TCase Cases[] = {
      {0, NotNullIds + "00", 10252},                      // byte prefix 0
      {0, NotNullIds + "01 00 01 00 02 05 41 42", 10257}, // inner length 5, prefix says 1
      {0, NotNullIds + "02 00 41", 10253},                // inner length 0, prefix says 1
      {1, UniqueIds + "00 00 00 00", 30305},              // Int32 prefix 0
      {1, UniqueIds + "01 01 00 00 00", 30305},           // Int32 prefix 257
      {1, UniqueIds + "FF FF FF FF", 30305},              // negative Int32 prefix
      {1, UniqueIds + "01 00 00 00 00 02 00 00 00 00 41", 30308},
      {1, UniqueIds + "01 00 00 00 00 01 00 00 00 00 01 00 00 00 00 FF FF FF FF", 30309},
      {2, "00 01 00 00", 11398}, // 256 characters
      {2, "FF FF FF FF", 11398},
      {2, "00 00 00 00 00 00 00 00 FF FF FF FF", 11439},
      {2, References + "FF FF FF FF", 11404},
      {2, References + "01 00 00 00  00 00 00 00  00 01 00 00", 11406},
  };
  for (const TCase& C : Cases) {
    TVectorStream S(Hex(Base + C.Tail));
    TTolvanConstraintDefNotNull N;
    TTolvanConstraintDefUnique U;
    TTolvanConstraintDefForeignKey F;
    TTolvanMetaObjectDef* D = C.Kind == 0   ? static_cast<TTolvanMetaObjectDef*>(&N)
                              : C.Kind == 1 ? static_cast<TTolvanMetaObjectDef*>(&U)
                                            : static_cast<TTolvanMetaObjectDef*>(&F);
    const ETolvanException E = Raised([&] { D->LoadFromStream(S); });
    EXPECT_EQ(E.NativeError(), C.Code) << C.Tail;
    EXPECT_EQ(E.Message().rfind("Cannot read from stream.", 0), 0u) << E.Message();
  }
}

// A damaged count does not make entries it cannot read: the reader fails at the first missing
// column instead of allocating for the count.
TEST(ConstraintDef, HugeColumnCountsFailAtTheFirstMissingColumn) {
  TVectorStream S(Hex("00 00 00 00 00  00 00 00 00 00 00 00 00 00 00 00 00"
                      "01 00 00 00 00  01 00 00 00 00  01 00 00 00 00  FF FF FF 7F"));
  TTolvanConstraintDefUnique U;
  EXPECT_EQ(NativeCodeOf([&] { U.LoadFromStream(S); }), 30310);
  EXPECT_TRUE(U.Columns().empty());
  EXPECT_LT(U.Columns().capacity(), 16u);
}

} // namespace
