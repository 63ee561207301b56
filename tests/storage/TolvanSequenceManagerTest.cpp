#include "storage/TolvanSequenceManager.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "foundation/TolvanTypes.h"
#include "tests/foundation/TestSupport.h"
#include "tests/schema/SchemaTestSupport.h"
#include "tests/storage/TableTestSupport.h"

using namespace tolvan;
using namespace tolvan::test;

namespace {

// A table "T" with the columns Name (Integer) and ID (auto-increment of Type) and no index.
class Sequences : public ::testing::Test {
protected:
  void CreateTable(TTolvanFieldType Type = tftAutoIncInteger) {
    TTolvanFieldDefs Fields;
    AddField(Fields, "Name", tftInteger);
    AddField(Fields, "ID", Type);
    TTolvanIndexDefs Indexes;
    F.Create(Fields, Indexes);
  }
  TTolvanBaseSequenceManager& Manager() { return *F.Table.SequenceManager(); }
  int32_t SequenceID() { return F.Fields().Items(1).SequenceID(); }

  TTableFixture F;
};

TEST_F(Sequences, CreatedPerAutoIncrementColumnAndDrawn) {
  CreateTable();
  ASSERT_EQ(Manager().SequenceDefs().Count(), 1);
  TTolvanSequenceDef& S = Manager().GetSequence(SequenceID());
  EXPECT_EQ(S.Name(), "$S_Autoinc$T$ID");
  EXPECT_EQ(S.DataType(), tvtInteger);
  EXPECT_EQ(S.MaxValue(), INT64_MAX);
  EXPECT_EQ(Manager().NextValue(&F.Session, SequenceID()), 1);
  EXPECT_EQ(Manager().NextValue(&F.Session, SequenceID()), 2);
  EXPECT_EQ(Manager().CurrentValue(&F.Session, SequenceID()), 2);
}

TEST_F(Sequences, RaiseTheirCodes) {
  CreateTable();
  TTestSession Other(2);
  EXPECT_EQ(NativeCodeOf([&] { Manager().NextValue(&F.Session, 999); }), 30010);
  EXPECT_EQ(NativeCodeOf([&] { Manager().CurrentValue(&F.Session, 999); }), 30011);
  EXPECT_EQ(NativeCodeOf([&] { Manager().GetSequence(999); }), 30013);
  // The last value is the drawing session's own.
  Manager().NextValue(&F.Session, SequenceID());
  const ETolvanException E = Raised([&] { Manager().CurrentValue(&Other, SequenceID()); });
  EXPECT_EQ(E.NativeError(), 30012);
  EXPECT_NE(std::string(E.what()).find("sequence '$S_Autoinc$T$ID'. Call GetNextVal first"),
            std::string::npos);
  EXPECT_EQ(NativeCodeOf([&] { Manager().CurrentValue(nullptr, SequenceID()); }), 30012);
  // Without a session a value is drawn and kept by nobody.
  EXPECT_EQ(Manager().NextValue(nullptr, SequenceID()), 2);
  EXPECT_EQ(Manager().CurrentValue(&F.Session, SequenceID()), 1);
}

TEST_F(Sequences, OverflowAndCycling) {
  CreateTable();
  TTolvanSequenceDef& S = Manager().GetSequence(SequenceID());
  S.SetMinValue(5);
  S.SetMaxValue(7);
  S.SetCurrentValue(6);
  S.SetCycled(0);
  EXPECT_EQ(Manager().NextValue(&F.Session, SequenceID()), 7);
  EXPECT_EQ(NativeCodeOf([&] { Manager().NextValue(&F.Session, SequenceID()); }), 30009);
  EXPECT_EQ(Manager().CurrentValue(&F.Session, SequenceID()), 7);
  // A cycled sequence restarts at MinValue itself, not MinValue plus the increment.
  S.SetCurrentValue(7);
  S.SetCycled(1);
  EXPECT_EQ(Manager().NextValue(&F.Session, SequenceID()), 5);
  // Refused by the column's range: the session keeps its last value.
  S.SetMaxValue(INT64_MAX);
  S.SetCurrentValue(255);
  EXPECT_EQ(
      NativeCodeOf([&] { Manager().NextValueInRange(&F.Session, SequenceID(), tvtUnsignedInt8); }),
      30009);
  EXPECT_EQ(Manager().CurrentValue(&F.Session, SequenceID()), 5);
}

TEST_F(Sequences, CollidingNamesGetAFreshSuffix) {
  CreateTable();
  SetRandSeed(2104);
  const std::string Base = "$S_Autoinc$T$ID";
  std::set<std::string> Seen;
  for (int I = 0; I < 20; ++I) {
    const AnsiString Name = Manager().MakeSequenceName("id", "t"); // names ignore case
    ASSERT_EQ(Name.compare(0, Base.size(), "$S_Autoinc$t$id"), 0) << Name;
    const std::string Suffix = Name.substr(Base.size());
    ASSERT_FALSE(Suffix.empty());
    ASSERT_LE(Suffix.size(), 5u) << Name;
    ASSERT_EQ(Suffix.find_first_not_of("0123456789"), std::string::npos) << Name;
    EXPECT_LT(std::stoi(Suffix), 65535);
    Seen.insert(Suffix);
    // A suffixed name in the collection makes the next one no longer.
    Manager().SequenceDefs().AddNew().SetName(Name);
  }
  EXPECT_GT(Seen.size(), 15u);
  // A name at the length limit keeps its suffix and stays within 255 bytes.
  const std::string Long(250, 'x');
  const AnsiString First = Manager().MakeSequenceName("F", Long);
  EXPECT_EQ(First.size(), 263u);
  Manager().SequenceDefs().AddNew().SetName(First);
  const AnsiString Second = Manager().MakeSequenceName("F", Long);
  EXPECT_LE(Second.size(), 255u);
  EXPECT_LT(Manager().SequenceDefs().IndexOfName(Second), 0);
}

TEST_F(Sequences, SaveAndLoadContinueTheSeries) {
  CreateTable();
  for (int I = 0; I < 3; ++I)
    Manager().NextValue(&F.Session, SequenceID());
  TTolvanMemoryStream S;
  F.Table.SaveSequences(S);

  TTableFixture G;
  TTolvanFieldDefs Fields;
  AddField(Fields, "Name", tftInteger);
  AddField(Fields, "ID", tftAutoIncInteger);
  TTolvanIndexDefs Indexes;
  G.Create(Fields, Indexes);
  S.SetPosition(0);
  G.Table.LoadSequences(S);
  EXPECT_EQ(S.Position(), S.Size());
  // Ids come from the stream, so the saved column's SequenceID names the loaded sequence.
  EXPECT_EQ(G.Table.SequenceManager()->NextValue(&G.Session, SequenceID()), 4);
}

TEST_F(Sequences, GoldenBlock) {
  CreateTable();
  TVectorStream S;
  F.Table.SaveSequences(S);
  // Object ids: the columns 1 and 2, the sequence 3.
  EXPECT_EQ(ToHex(S.Data), ToHex(Hex("01000000"
                                     "0F 24535F4175746F696E632454244944" // "$S_Autoinc$T$ID"
                                     "03000000"
                                     "07"
                                     "0000000000000000"
                                     "FFFFFFFFFFFFFF7F"
                                     "0000000000000000"
                                     "0100000000000000"
                                     "00")));
}

TEST_F(Sequences, DamagedBlocksAreRefusedWhole) {
  CreateTable();
  Manager().NextValue(&F.Session, SequenceID());
  TVectorStream Saved;
  F.Table.SaveSequences(Saved);
  // The definition's own read codes: name, ObjectID, DataType .. Cycled.
  const std::set<int32_t> Codes = {10218, 10166, 10167, 10169, 10212,
                                   10213, 10214, 10215, 10216, 10217};
  for (size_t Cut = 0; Cut < Saved.Data.size(); ++Cut) {
    TVectorStream S(TBytes(Saved.Data.begin(), Saved.Data.begin() + int64_t(Cut)));
    const int32_t Code = NativeCodeOf([&] { F.Table.LoadSequences(S); });
    EXPECT_TRUE(Codes.count(Code)) << "cut at " << Cut << ": " << Code;
    ASSERT_EQ(Manager().SequenceDefs().Count(), 1);
    EXPECT_EQ(Manager().GetSequence(SequenceID()).CurrentValue(), 1);
  }
  // Counts no block can hold are refused before anything is made.
  for (const char* Count : {"FFFFFF7F", "FFFFFFFF", "02000000"}) {
    TBytes Bytes = Hex(Count);
    Bytes.insert(Bytes.end(), Saved.Data.begin() + 4, Saved.Data.end());
    TVectorStream S(Bytes);
    EXPECT_EQ(NativeCodeOf([&] { F.Table.LoadSequences(S); }), 10218) << Count;
  }
  TVectorStream Full;
  Full.WriteLimit = 3;
  EXPECT_EQ(NativeCodeOf([&] { F.Table.SaveSequences(Full); }), 10205);
}

TEST_F(Sequences, SaveWritesTheCountOfWhatFollows) {
  TTolvanFieldDefs Fields;
  AddField(Fields, "A", tftAutoIncByte);
  AddField(Fields, "B", tftInteger);
  AddField(Fields, "C", tftAutoIncLargeInt);
  TTolvanIndexDefs Indexes;
  F.Create(Fields, Indexes);
  // Two columns on one sequence: it is written once and counted once.
  TTolvanFieldDef& C = const_cast<TTolvanFieldDef&>(F.Fields().Items(2));
  C.SetSequenceID(F.Fields().Items(0).SequenceID());
  TVectorStream S;
  F.Table.SaveSequences(S);
  S.Pos = 0;
  F.Table.LoadSequences(S);
  EXPECT_EQ(Manager().SequenceDefs().Count(), 1);
  EXPECT_EQ(S.Pos, int64_t(S.Data.size()));
  C.SetSequenceID(12345);
  EXPECT_EQ(NativeCodeOf([&] { F.Table.SaveSequences(S); }), 30013);
}

} // namespace
