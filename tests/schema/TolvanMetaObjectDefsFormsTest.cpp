// The stored forms of every definition kind and collection block: short streams at every length,
// damaged lengths and counts, and random round trips.
#include "schema/TolvanMetaObjectDefs.h"
#include "tests/schema/SchemaTestSupport.h"

#include <gtest/gtest.h>

#include <climits>
#include <functional>
#include <memory>
#include <set>
#include <string>

#include "foundation/TolvanExcept.h"

using namespace tolvan;
using namespace tolvan::test;

namespace {

// One stored form: the object that writes it, a fresh reader, and its element table.
struct TGolden {
  std::string Name;
  std::function<void(TStream&)> Save;
  std::function<void(TStream&)> Load;
  TElements Elements;
};

template <class T> TGolden Golden(std::string Name, std::shared_ptr<T> Object, TElements Elements) {
  return {std::move(Name), [Object](TStream& S) { Object->SaveToStream(S); },
          [](TStream& S) {
            T Fresh;
            Fresh.LoadFromStream(S);
          },
          std::move(Elements)};
}

// --- definitions and their element tables -------------------------------------------------------

TElements FieldHead(std::string_view Name) {
  return BaseElements(Name) +
         TElements{{1, 10170, 10187}, {1, 10171, 10188}, {4, 10172, 10189, true}};
}

// An Integer column with a default.
void FillIntegerField(TTolvanFieldDef& F) {
  F.SetName("ID");
  F.SetObjectID(5);
  F.SetType(tftInteger, 0);
  F.DefaultValue().SetAsInteger(7);
}
TElements IntegerFieldElements() {
  TTolvanFieldDef F;
  FillIntegerField(F);
  return FieldHead("ID") + ValueElements(F.DefaultValue());
}

void FillBlobField(TTolvanFieldDef& F) {
  F.SetName("B");
  F.SetObjectID(7);
  F.SetType(tftMemo, 0);
  F.SetBlobCompressionAlgorithm(caBZip);
  F.SetBlobCompressionMode(9);
}
TElements BlobFieldElements() {
  return FieldHead("B") + TElements{{1, 10175, 10192},
                                    {1, 10176, 10193},
                                    {4, 10177, 10194},
                                    {1, 10179, 10183},
                                    {1, 10180, 10184}};
}

void FillAutoincField(TTolvanFieldDef& F) {
  F.SetName("N");
  F.SetObjectID(2);
  F.SetType(tftAutoIncInteger, 0);
  F.SetSequenceID(3);
}
TElements AutoincFieldElements() {
  return FieldHead("N") + TElements{{4, 10178, 10195}, {8, 10685, 10690}, {8, 10686, 10691},
                                    {8, 10687, 10692}, {8, 10688, 10693}, {1, 10689, 10694}};
}

TElements SequenceElements(std::string_view Name) {
  return BaseElements(Name) + TElements{{1, 10206, 10212}, {8, 10207, 10213}, {8, 10208, 10214},
                                        {8, 10209, 10215}, {8, 10210, 10216}, {1, 10211, 10217}};
}

void FillPrimaryIndex(TTolvanIndexDef& I) {
  I.SetName("PK");
  I.SetObjectID(4);
  I.SetUnique(1);
  I.SetPrimary(1);
}

// Columns of 7, 7 and 6 bytes. Until the stream holds 4 bytes per column after the root page
// number, the count itself is refused: through the name of the second column.
void FillColumnsIndex(TTolvanIndexDef& I) {
  I.SetName("IX");
  I.SetObjectID(6);
  I.SetRootPageNo(12);
  I.SetColumnCount(3);
  I.Columns(0).SetName("NAME");
  I.Columns(1).SetName("CITY");
  I.Columns(1).SetDescending(1);
  I.Columns(2).SetName("ZIP");
  I.Columns(2).SetCaseInsensitive(1);
}
TElements IndexHead(std::string_view Name) {
  return BaseElements(Name) + TElements{{1, 10344, 10349},
                                        {1, 10345, 10350},
                                        {1, 10346, 10351},
                                        {4, 10347, 10352, true},
                                        {4, 10348, 10353}};
}
TElements ColumnsIndexElements() {
  return IndexHead("IX") +
         TElements{{1, 10354, 10352, true}, {4, 10355, 10352},       {1, 10356, 10352},
                   {1, 10357, 10352},       {1, 10354, 10352, true}, {4, 10355, 10352},
                   {1, 10356, 10360},       {1, 10357, 10361},       {1, 10354, 10358, true},
                   {3, 10355, 10359},       {1, 10356, 10360},       {1, 10357, 10361}};
}

// A byte-prefixed short string: the prefix, the inner length byte, the name bytes.
TElements BytePrefixed(std::string_view Name, int32_t Write, int32_t Read) {
  TElements E{{1, Write, Read, true}, {1, Write + 1, Read + 1, true}};
  if (!Name.empty())
    E.push_back({int32_t(Name.size()), Write + 1, Read + 1});
  return E;
}

void FillNotNull(TTolvanConstraintDefNotNull& N) {
  N.SetName("NN");
  N.Column() = TTolvanObjectRef("ID", 3);
}
TElements NotNullElements() {
  return BaseElements("NN") + TElements{{4, 10240, 10249}, {4, 10241, 10250}, {4, 10242, 10251}} +
         BytePrefixed("", 10243, 10252) + BytePrefixed("", 10245, 10254) +
         BytePrefixed("ID", 10247, 10256);
}

void FillCheck(TTolvanConstraintDefCheck& C) {
  C.SetName("C");
  C.SetObjectID(6);
  C.Column() = TTolvanObjectRef("Q", 2);
  C.CheckMinValue().SetAsString("lo");
}
TElements CheckElements() {
  TTolvanConstraintDefCheck C;
  FillCheck(C);
  return BaseElements("C") + TElements{{4, 10227, 10230}, {4, 10228, 10231}, {4, 10229, 10232}} +
         BytePrefixed("", 10221, 10233) + BytePrefixed("", 10223, 10235) +
         BytePrefixed("Q", 10225, 10237) + ValueElements(C.CheckMinValue()) +
         ValueElements(C.CheckMaxValue());
}

// An Int32-prefixed short string.
TElements Int32PrefixedShort(std::string_view Name, int32_t PrefixWrite, int32_t PrefixRead,
                             int32_t BytesWrite, int32_t BytesRead) {
  TElements E{{4, PrefixWrite, PrefixRead, true}, {1, BytesWrite, BytesRead, true}};
  if (!Name.empty())
    E.push_back({int32_t(Name.size()), BytesWrite, BytesRead});
  return E;
}

void FillUnique(TTolvanConstraintDefUnique& U) {
  U.SetName("U");
  U.SetObjectID(8);
  U.Index() = TTolvanObjectRef("IX", 4);
  U.Columns().emplace_back("ID", 3);
  U.Columns().emplace_back("", 5);
}
TElements UniqueElements() {
  return BaseElements("U") + TElements{{4, 30313, 30303}, {4, 30314, 30304}, {4, 30318, 30317}} +
         Int32PrefixedShort("", 30315, 30305, 30316, 30306) +
         Int32PrefixedShort("", 30317, 30307, 30318, 30308) +
         Int32PrefixedShort("IX", 30400, 30396, 30401, 30398) +
         TElements{{4, 30394, 30309, true}, {4, 30395, 30310}} +
         Int32PrefixedShort("ID", 30397, 30311, 30399, 30312) + TElements{{4, 30395, 30310}} +
         Int32PrefixedShort("", 30397, 30311, 30399, 30312);
}

// Int32-prefixed characters.
TElements Int32PrefixedChars(std::string_view Name, int32_t Write, int32_t Read) {
  TElements E{{4, Write, Read, true}};
  if (!Name.empty())
    E.push_back({int32_t(Name.size()), Write + 1, Read + 1});
  return E;
}

void FillForeignKey(TTolvanConstraintDefForeignKeyAction& F) {
  F.SetName("FK");
  F.SetObjectID(9);
  F.Table() = TTolvanObjectRef("T", 1);
  F.Partner() = TTolvanObjectRef("P", 12);
  F.SetOnDelete(tfaCascade);
  F.Columns().emplace_back("ID", 3);
}
TElements ForeignKeyElements() {
  return BaseElements("FK") + Int32PrefixedChars("T", 11408, 11398) + TElements{{4, 11410, 11400}} +
         Int32PrefixedChars("P", 11436, 11439) +
         TElements{{4, 11438, 11441}, {1, 11412, 11402},       {1, 11413, 11403},
                   {1, 11411, 11401}, {4, 11414, 11404, true}, {4, 11415, 11405}} +
         Int32PrefixedChars("ID", 11416, 11406);
}

template <class T, class F> std::shared_ptr<T> Made(F Fill) {
  auto D = std::make_shared<T>();
  Fill(*D);
  return D;
}

TElements Count() { return {{4, 10158, 10159, true}}; }
TElements TypeByte() { return {{1, 10219, 10220}}; }

std::vector<TGolden> Goldens() {
  std::vector<TGolden> G;
  G.push_back(
      Golden("integer field", Made<TTolvanFieldDef>(FillIntegerField), IntegerFieldElements()));
  G.push_back(Golden("memo field", Made<TTolvanFieldDef>(FillBlobField), BlobFieldElements()));
  G.push_back(
      Golden("autoinc field", Made<TTolvanFieldDef>(FillAutoincField), AutoincFieldElements()));
  auto Sequence = std::make_shared<TTolvanSequenceDef>();
  Sequence->SetName("S_A");
  G.push_back(Golden("sequence", Sequence, SequenceElements("S_A")));
  G.push_back(Golden("index", Made<TTolvanIndexDef>(FillColumnsIndex), ColumnsIndexElements()));
  G.push_back(
      Golden("not null", Made<TTolvanConstraintDefNotNull>(FillNotNull), NotNullElements()));
  G.push_back(Golden("check", Made<TTolvanConstraintDefCheck>(FillCheck), CheckElements()));
  G.push_back(Golden("unique", Made<TTolvanConstraintDefUnique>(FillUnique), UniqueElements()));
  G.push_back(Golden("primary", Made<TTolvanConstraintDefPrimary>(FillUnique), UniqueElements()));
  G.push_back(Golden("foreign key", Made<TTolvanConstraintDefForeignKey>(FillForeignKey),
                     ForeignKeyElements()));
  G.push_back(Golden("action", Made<TTolvanConstraintDefForeignKeyAction>(FillForeignKey),
                     ForeignKeyElements()));

  auto Fields = std::make_shared<TTolvanFieldDefs>();
  FillIntegerField(Fields->AddNew());
  FillBlobField(Fields->AddNew());
  FillAutoincField(Fields->AddNew());
  G.push_back(
      Golden("field block", Fields,
             Count() + IntegerFieldElements() + BlobFieldElements() + AutoincFieldElements()));

  auto Indexes = std::make_shared<TTolvanIndexDefs>();
  FillPrimaryIndex(Indexes->AddNew());
  FillColumnsIndex(Indexes->AddNew());
  G.push_back(Golden("index block", Indexes, Count() + IndexHead("PK") + ColumnsIndexElements()));

  auto Constraints = std::make_shared<TTolvanConstraintDefs>();
  FillUnique(Constraints->AddPrimary());
  FillForeignKey(Constraints->AddForeignKey());
  FillUnique(Constraints->AddUnique());
  FillNotNull(Constraints->AddNotNull());
  FillCheck(Constraints->AddCheck());
  FillForeignKey(Constraints->AddForeignKeyAction());
  G.push_back(Golden("constraint block", Constraints,
                     Count() + TypeByte() + UniqueElements() + TypeByte() + ForeignKeyElements() +
                         TypeByte() + UniqueElements() + TypeByte() + NotNullElements() +
                         TypeByte() + CheckElements() + TypeByte() + ForeignKeyElements()));

  auto Empty = std::make_shared<TTolvanFieldDefs>();
  G.push_back(Golden("empty block", Empty, Count()));
  return G;
}

TBytes FormOf(const TGolden& G) {
  TVectorStream S;
  G.Save(S);
  return S.Data;
}

// Every read code of the definition forms, the value form's size and type codes included.
std::set<int32_t> AllReadCodes() {
  std::set<int32_t> Codes = {10159, 10166, 10167, 10169, 10187, 10188, 10189, 10192,
                             10193, 10194, 10195, 10183, 10184, 10185, 10220};
  const auto Range = [&](int32_t From, int32_t To) {
    for (int32_t C = From; C <= To; ++C)
      Codes.insert(C);
  };
  Range(10690, 10694);
  Range(10212, 10217);
  Range(10349, 10353);
  Range(10358, 10361);
  Range(10249, 10257);
  Range(10230, 10238);
  Range(30303, 30312);
  Codes.insert({30317, 30396, 30398});
  Range(11398, 11407);
  Range(11439, 11441);
  return Codes;
}

// --- the loops ----------------------------------------------------------------------------------

TEST(DefinitionForms, ElementTablesDescribeTheWholeForm) {
  for (const TGolden& G : Goldens())
    EXPECT_EQ(int64_t(FormOf(G).size()), TotalWidth(G.Elements)) << G.Name;
}

// Reading the first L bytes of a form fails with the read code of the element that the cut
// falls in, for every L short of the whole form; the whole form reads back to the same bytes.
TEST(DefinitionForms, EveryCutRaisesTheCodeOfTheElementItFallsIn) {
  std::set<int32_t> Seen;
  for (const TGolden& G : Goldens()) {
    SCOPED_TRACE(G.Name);
    const TBytes Form = FormOf(G);
    for (size_t L = 0; L < Form.size(); ++L) {
      TVectorStream S(TBytes(Form.begin(), Form.begin() + L));
      const int32_t Want = ElementAt(G.Elements, int64_t(L)).ReadCode;
      const ETolvanException E = Raised([&] { G.Load(S); });
      EXPECT_EQ(E.NativeError(), Want) << "cut at " << L;
      EXPECT_EQ(E.Message().rfind("Cannot read from stream.", 0), 0u) << E.Message();
      Seen.insert(E.NativeError());
    }
    TVectorStream Whole(Form);
    G.Load(Whole);
    EXPECT_EQ(Whole.Pos, int64_t(Form.size()));
  }
  std::string Missing, Extra;
  for (int32_t C : AllReadCodes())
    if (!Seen.count(C))
      Missing += " " + std::to_string(C);
  for (int32_t C : Seen)
    if (!AllReadCodes().count(C))
      Extra += " " + std::to_string(C);
  EXPECT_EQ(Missing, "");
  EXPECT_EQ(Extra, "");
}

// A stream that takes only L bytes fails with the write code of the element at L.
TEST(DefinitionForms, EveryShortWriteRaisesTheCodeOfTheElementItFallsIn) {
  for (const TGolden& G : Goldens()) {
    SCOPED_TRACE(G.Name);
    const TBytes Form = FormOf(G);
    for (size_t L = 0; L < Form.size(); ++L) {
      TVectorStream S;
      S.WriteLimit = int64_t(L);
      const ETolvanException E = Raised([&] { G.Save(S); });
      EXPECT_EQ(E.NativeError(), ElementAt(G.Elements, int64_t(L)).WriteCode) << "limit " << L;
      EXPECT_EQ(E.Message().rfind("Cannot write to stream.", 0), 0u) << E.Message();
    }
  }
}

// Every length, prefix and count replaced by values no writer produces: the reader either
// reads something it can write again or fails with a clean exception.
TEST(DefinitionForms, DamagedLengthsAndCountsFailCleanly) {
  const uint8_t ByteValues[] = {0x00, 0x01, 0x02, 0x7F, 0x80, 0xFE, 0xFF};
  const int32_t IntValues[] = {0, 1, 2, -1, -2, INT32_MIN, INT32_MAX, 255, 256, 257, 0x01000000};
  int Refused = 0, Tried = 0;
  for (const TGolden& G : Goldens()) {
    SCOPED_TRACE(G.Name);
    const TBytes Form = FormOf(G);
    int64_t Offset = 0;
    for (const TElement& E : G.Elements) {
      if (E.Length) {
        std::vector<TBytes> Damaged;
        if (E.Width == 1) {
          for (uint8_t V : ByteValues)
            Damaged.push_back(TBytes{V});
        } else {
          for (int32_t V : IntValues)
            Damaged.push_back(
                TBytes{uint8_t(V), uint8_t(V >> 8), uint8_t(V >> 16), uint8_t(uint32_t(V) >> 24)});
        }
        for (const TBytes& Value : Damaged) {
          TBytes Bytes = Form;
          std::copy(Value.begin(), Value.end(), Bytes.begin() + Offset);
          if (Bytes == Form)
            continue;
          ++Tried;
          TVectorStream S(Bytes);
          try {
            G.Load(S);
          } catch (const Exception&) {
            ++Refused;
          }
        }
      }
      Offset += E.Width;
    }
  }
  // Most damage is caught; what is not read something whole (a shorter name, say).
  EXPECT_GT(Refused, Tried * 3 / 4) << Refused << " of " << Tried;
}

// --- random round trips -------------------------------------------------------------------------

template <class T> void ExpectRoundTrip(const T& Defs) {
  const TBytes Form = Saved(Defs);
  T Back;
  LoadAll(Back, Form);
  ExpectSameDefs(Defs, Back);
  EXPECT_EQ(Saved(Back), Form);
  T Copy;
  Copy.Assign(Defs);
  ExpectSameDefs(Defs, Copy);
  EXPECT_EQ(Saved(Copy), Form);
}

TEST(DefinitionForms, RandomDefinitionsRoundTrip) {
  TRandomDefs R(20240611);
  for (int Round = 0; Round < 150; ++Round) {
    SCOPED_TRACE("round " + std::to_string(Round));
    TTolvanFieldDefs Fields;
    TTolvanIndexDefs Indexes;
    TTolvanConstraintDefs Constraints;
    const int32_t N = R.Int(0, 8);
    for (int32_t I = 0; I < N; ++I) {
      auto F = R.Field();
      F->SetName(F->Name() + "#" + std::to_string(I)); // names are unique within a collection
      Fields.Add(std::move(F));
      auto X = R.Index();
      X->SetName(X->Name() + "#" + std::to_string(I));
      Indexes.Add(std::move(X));
      R.Constraint(Constraints);
    }
    ExpectRoundTrip(Fields);
    ExpectRoundTrip(Indexes);
    ExpectRoundTrip(Constraints);

    auto S = R.Sequence();
    TTolvanSequenceDef Back;
    LoadAll(Back, Saved(*S));
    ExpectSameDef(*S, Back);
    EXPECT_EQ(Saved(Back), Saved(*S));
  }
  // Every field type occurs.
  std::set<int> Types;
  TRandomDefs T(1);
  for (int I = 0; I < 2000; ++I)
    Types.insert(T.Field()->FieldType());
  EXPECT_EQ(Types.size(), size_t(TolvanFieldTypeCount));
}

} // namespace
