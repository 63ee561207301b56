// The dataset's BLOB stream: opening for write, streams the user holds across post, cancel and
// close, and the refusals of its opening.
#include "components/TolvanDataSetBlobStream.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>

#include "classlib/DBFields.h"
#include "components/TolvanDataSet.h"
#include "foundation/TolvanExcept.h"
#include "storage/local/TolvanLocalCursor.h"
#include "tests/components/ComponentTestSupport.h"
#include "tests/components/support/BrowseDataSet.h"
#include "tests/foundation/TestSupport.h"

using namespace tolvan;
using namespace tolvan::test;

namespace {

std::string ReadAll(TStream& S) {
  std::string Text(size_t(S.GetSize()), '\0');
  S.Seek(0, soBeginning);
  S.ReadBuffer(Text.data(), int64_t(Text.size()));
  return Text;
}

class BlobStreamTest : public ComponentTest {
protected:
  void SetUp() override {
    TTolvanFieldDefs Fields;
    TTolvanFieldDef& Id = Fields.AddNew();
    Id.SetName("ID");
    Id.SetType(tftInteger, 0);
    TTolvanFieldDef& Memo = Fields.AddNew();
    Memo.SetName("M");
    Memo.SetType(tftMemo, 0);
    TTolvanIndexDefs Indexes;
    TTolvanConstraintDefs Constraints;
    MakeEngineTable("MEMORY", "B", Fields, Indexes, Constraints);
    D = Own(NewComponent<TBrowseDataSet>(nullptr));
    D->TableName = "B";
    D->Open();
    D->Append();
    D->FieldByName("ID").SetAsInteger(1);
    TTolvanVariant V;
    V.SetAsString("hello");
    D->SetFieldValue(V, 1, false);
    D->Post();
  }

  TField& Memo() { return D->FieldByName("M"); }
  int32_t OpenBlobs() { return static_cast<TTolvanLocalCursor*>(D->Cursor())->OpenBlobCount(); }
  std::string Stored() {
    TTolvanVariant V;
    D->GetFieldValue(V, 1, false, true);
    return V.IsNull() ? std::string()
                      : std::string(static_cast<const char*>(V.Data()), size_t(V.DataSize()));
  }

  TComponentPtr<TBrowseDataSet> D;
};

TEST_F(BlobStreamTest, ReadAndWriteThroughTheField) {
  {
    std::unique_ptr<TStream> R = D->OpenBlobStream(Memo(), bmRead);
    EXPECT_EQ(ReadAll(*R), "hello");
    EXPECT_FALSE(D->Modified());
  }
  EXPECT_EQ(OpenBlobs(), 0);
  D->Edit();
  {
    std::unique_ptr<TStream> W = D->OpenBlobStream(Memo(), bmWrite);
    // Opening for write empties the value and marks the dataset modified.
    EXPECT_EQ(W->GetSize(), 0);
    EXPECT_TRUE(D->Modified());
    W->WriteBuffer("abc", 3);
  }
  EXPECT_EQ(OpenBlobs(), 0);
  EXPECT_EQ(Stored(), "abc");
  D->Post();
  D->Close();
  D->Open();
  EXPECT_EQ(Stored(), "abc");
  // Read/write keeps the value and appends.
  D->Edit();
  {
    std::unique_ptr<TStream> W = D->OpenBlobStream(Memo(), bmReadWrite);
    W->Seek(0, soEnd);
    W->WriteBuffer("de", 2);
    W->Close();
    EXPECT_EQ(NativeCodeOf([&] { W->GetSize(); }), ErrBlobStreamNil);
  }
  D->Post();
  EXPECT_EQ(Stored(), "abcde");
}

TEST_F(BlobStreamTest, StreamsTheUserHoldsSurvivePostCancelAndClose) {
  D->Edit();
  std::unique_ptr<TStream> W = D->OpenBlobStream(Memo(), bmWrite);
  W->WriteBuffer("xyz", 3);
  // The post stores what the held writer wrote and lets go of it.
  D->Post();
  EXPECT_EQ(OpenBlobs(), 0);
  EXPECT_EQ(Stored(), "xyz");
  char Byte = 0;
  EXPECT_EQ(NativeCodeOf([&] { W->Write("q", 1); }), ErrBlobStreamNil);
  EXPECT_EQ(NativeCodeOf([&] { W->Read(&Byte, 1); }), ErrBlobStreamNil);

  D->Edit();
  std::unique_ptr<TStream> W2 = D->OpenBlobStream(Memo(), bmWrite);
  W2->WriteBuffer("lost", 4);
  D->Cancel();
  EXPECT_EQ(NativeCodeOf([&] { W2->Seek(0, soBeginning); }), ErrBlobStreamNil);
  EXPECT_EQ(Stored(), "xyz");

  std::unique_ptr<TStream> R = D->OpenBlobStream(Memo(), bmRead);
  EXPECT_EQ(ReadAll(*R), "xyz");
  D->Close();
  EXPECT_EQ(NativeCodeOf([&] { R->GetSize(); }), ErrBlobStreamNil);
  W.reset();
  W2.reset();
  R.reset();
  D->Open();
  EXPECT_EQ(Stored(), "xyz");
}

TEST_F(BlobStreamTest, OpeningRefusals) {
  // Writing outside edit and insert opens nothing.
  EXPECT_EQ(NativeCodeOf([&] { D->OpenBlobStream(Memo(), bmWrite); }), 10111);
  EXPECT_EQ(OpenBlobs(), 0);
  // A second writer on the field: the first stays the only stream.
  D->Edit();
  std::unique_ptr<TStream> W = D->OpenBlobStream(Memo(), bmWrite);
  EXPECT_EQ(NativeCodeOf([&] { TTolvanBlobStream S(Memo(), bmWrite); }), 10115);
  EXPECT_EQ(OpenBlobs(), 1);
  W.reset();
  D->Cancel();

  // A field of no dataset of this kind.
  TComponentPtr<TMemoField> Loose = Own(NewComponent<TMemoField>(nullptr));
  EXPECT_EQ(NativeCodeOf([&] { TTolvanBlobStream S(*Loose, bmRead); }), ErrBlobStreamDataSet);

  // A read-only dataset refuses writers.
  D->Close();
  D->SetReadOnly(true);
  D->Open();
  EXPECT_EQ(NativeCodeOf([&] { TTolvanBlobStream S(Memo(), bmWrite); }), ErrBlobStreamReadOnly);
  EXPECT_EQ(NativeCodeOf([&] { D->OpenBlobStream(Memo(), bmWrite); }), 10107);
  D->Close();

  // Persistent fields: a calculated field has no column; a closed dataset has no cursor.
  TComponentPtr<TBrowseDataSet> P = Own(NewComponent<TBrowseDataSet>(nullptr));
  P->TableName = "B";
  P->FieldDefs().Update();
  for (int32_t K = 0; K < P->FieldDefs().Count(); ++K)
    P->FieldDefs().Items(K).CreateField(P.get());
  TField* Calc = NewComponent<TMemoField>(P.get());
  Calc->SetFieldName("Calc");
  Calc->SetFieldKind(fkCalculated);
  Calc->SetDataSet(P.get());
  TField& PM = P->FieldByName("M");
  EXPECT_EQ(NativeCodeOf([&] { TTolvanBlobStream S(PM, bmRead); }), ErrBlobStreamNil);
  P->Open();
  EXPECT_EQ(NativeCodeOf([&] { TTolvanBlobStream S(*Calc, bmRead); }), ErrBlobStreamFieldNo);
  P->Close();
}

} // namespace
