// The SQL script of a table, compared byte for byte, over the fake cursor of the schema tests
// (the script needs nothing but the cursor's interface).
#include <gtest/gtest.h>

#include <cstring>
#include <initializer_list>
#include <string>

#include "classlib/DateUtils.h"
#include "classlib/SysUtils.h"
#include "foundation/TolvanExcept.h"
#include "storage/local/TolvanTableSQL.h"
#include "tests/schema/support/FakeCursor.h"

namespace tolvan::test {
namespace {

// Each line followed by CRLF.
std::string Lines(std::initializer_list<std::string> L) {
  std::string S;
  for (const std::string& Line : L)
    S += Line + "\r\n";
  return S;
}

struct TScript {
  bool Create = false, Drop = false, Indexes = false, DropIndexes = false, Insert = false,
       Blobs = false, Quote = false;
};

std::string Script(TTolvanCursor& C, const TScript& O) {
  AnsiString SQL = "left over";
  GenerateTableSQL(C, O.Create, O.Drop, O.Indexes, O.DropIndexes, O.Insert, O.Blobs, O.Quote, SQL);
  return SQL;
}

// A fake table opened with the given definitions and a record buffer of its own.
class TTable {
public:
  TTable(const char* Name, bool InMemory, TTolvanFieldDefs& Fields,
         TTolvanConstraintDefs* Constraints = nullptr) {
    Cursor.SetTableName(Name);
    Cursor.SetInMemory(true); // the fake makes its table only for an in-memory open
    Cursor.OpenTable(&Fields, nullptr, Constraints);
    Cursor.SetInMemory(InMemory);
    Buffer = Cursor.AllocRecordBuffer();
    Cursor.SetRecordBuffer(Buffer);
  }
  ~TTable() {
    Cursor.CloseTable();
    TTolvanCursor::FreeRecordBuffer(Buffer);
  }

  void NewRecord() { Cursor.InitRecord(Buffer, false); }
  // Set converts V to the column's type: each value starts from a cleared one.
  void Set(int32_t FieldNo, TTolvanVariant& V) {
    Cursor.SetCursorFieldValue(V, FieldNo, nullptr, true);
    V.Clear();
  }
  void SetBlob(int32_t FieldNo, std::string_view Bytes) {
    TTolvanStream* S = Cursor.OpenBlob(true, FieldNo, tbmWrite);
    S->WriteBuffer(Bytes.data(), int64_t(Bytes.size()));
    Cursor.CloseBlob(FieldNo);
  }
  void Post() {
    Cursor.PostRecord(true);
    ASSERT_EQ(Cursor.LastErrorCode(), 0) << Cursor.LastErrorText();
  }

  TFakeCursor Cursor;
  uint8_t* Buffer = nullptr;
};

TTolvanFieldDef& AddField(TTolvanFieldDefs& F, const char* Name, TTolvanFieldType Type,
                          int32_t Size = 0) {
  TTolvanFieldDef& D = F.AddNew();
  D.SetName(Name);
  D.SetType(Type, Size);
  return D;
}

TTolvanIndexDef& AddIndex(TTolvanIndexDefs& Defs, const char* Name,
                          std::initializer_list<TTolvanIndexColumn> Columns, bool Unique = false,
                          bool Primary = false) {
  TTolvanIndexDef& D = Defs.AddNew();
  D.SetName(Name);
  D.SetUnique(Unique ? 1 : 0);
  D.SetPrimary(Primary ? 1 : 0);
  D.SetColumnCount(int32_t(Columns.size()));
  int32_t I = 0;
  for (const TTolvanIndexColumn& C : Columns)
    D.Columns(I++) = C;
  return D;
}

TTolvanIndexColumn Col(const char* Name, bool Desc = false, bool NoCase = false) {
  TTolvanIndexColumn C;
  C.SetName(Name);
  C.SetDescending(Desc ? 1 : 0);
  C.SetCaseInsensitive(NoCase ? 1 : 0);
  return C;
}

TEST(TableSQL, InMemoryTableWithUniqueIndex) {
  TTolvanFieldDefs F;
  AddField(F, "a", tftVarchar, 20);
  TTable T("t", true, F);
  AddIndex(T.Cursor.IndexDefs(), "i", {Col("a")}, true);
  EXPECT_EQ(Script(T.Cursor, {.Create = true, .Indexes = true, .Quote = true}),
            Lines({"CREATE TABLE MEMORY [t] (", "\t[a] STRING (20)", ");",
                   "CREATE UNIQUE INDEX [i] ON MEMORY [t] (", "\t[a]", ");"}));
}

TEST(TableSQL, InsertWithoutBlobsListsTheOtherColumns) {
  TTolvanFieldDefs F;
  AddField(F, "x", tftBLOB);
  AddField(F, "b", tftInteger);
  AddField(F, "c", tftVarchar, 10);
  TTable T("t", false, F);
  TTolvanVariant V;
  T.NewRecord();
  T.SetBlob(0, "hello world"); // base64 "aGVsbG8gd29ybGQ=" (RFC 4648)
  V.SetAsInteger(-7);
  T.Set(1, V);
  V.SetAsString("it's");
  T.Set(2, V);
  T.Post();
  T.NewRecord();
  T.Post(); // all null
  EXPECT_EQ(Script(T.Cursor, {.Insert = true}),
            Lines({"INSERT INTO t (b, c) VALUES (", "\t-7,", "\t'it''s'", ");",
                   "INSERT INTO t (b, c) VALUES (", "\tNULL,", "\tNULL", ");"}));
  // With BLOBs every column is written and the list is left out.
  EXPECT_EQ(
      Script(T.Cursor, {.Insert = true, .Blobs = true, .Quote = true}),
      Lines({"INSERT INTO [t] VALUES (", "\tTOBLOB ('aGVsbG8gd29ybGQ=',MIME64),", "\t-7,",
             "\t'it''s'", ");", "INSERT INTO [t] VALUES (", "\tNULL,", "\tNULL,", "\tNULL", ");"}));
}

TEST(TableSQL, DateAndTimeLiterals) {
  TTolvanFieldDefs F;
  AddField(F, "dt", tftDateTime);
  AddField(F, "d", tftDate);
  AddField(F, "tm", tftTime);
  TTable T("t", false, F);
  TTolvanVariant V;
  T.NewRecord();
  V.SetAsDateTime(EncodeDateTime(2024, 3, 5, 14, 7, 9, 250));
  T.Set(0, V);
  V.SetAsDate(EncodeDate(1999, 12, 31));
  T.Set(1, V);
  V.SetAsTime(EncodeTime(0, 0, 0, 1));
  T.Set(2, V);
  T.Post();
  EXPECT_EQ(
      Script(T.Cursor, {.Insert = true}),
      Lines({"INSERT INTO t VALUES (", "\tTODATE('3/5/2024 14:7:9:250','M/D/YYYY H24:N:S:Z'),",
             "\tTODATE('12/31/1999 0:0:0:0','M/D/YYYY H24:N:S:Z'),",
             "\tTODATE('12/30/1899 0:0:0:1','M/D/YYYY H24:N:S:Z')", ");"}));
}

// A table with every kind of column decoration, a primary key, a secondary index and a foreign
// key, written with drop statements, with and without quoting. The table name holds a "]",
// which is not doubled.
TEST(TableSQL, FullSchemaWithAndWithoutQuotes) {
  TTolvanFieldDefs F;
  AddField(F, "id", tftAutoInc);
  TTolvanFieldDef& Seq = AddField(F, "seq", tftAutoIncLargeInt);
  Seq.SetAutoincInitialValue(100);
  Seq.SetAutoincIncrement(-5);
  Seq.SetAutoincMinValue(-1000);
  Seq.SetAutoincMaxValue(100);
  Seq.SetAutoincCycled(1);
  TTolvanFieldDef& Pic = AddField(F, "pic", tftBLOB);
  Pic.SetBlobBlockSize(4096);
  Pic.SetBlobCompressionAlgorithm(caZlib);
  Pic.SetBlobCompressionMode(6);
  AddField(F, "note", tftMemo);
  TTolvanFieldDef& Name = AddField(F, "name", tftChar, 8);
  Name.DefaultValue().SetAsString("o'k");
  TTolvanFieldDef& Price = AddField(F, "price", tftDouble);
  Price.DefaultValue().SetAsDouble(1.5);
  AddField(F, "code", tftVarBytes, 16);
  AddField(F, "pid", tftInteger);
  TTolvanConstraintDefs C;
  C.AddNotNull().Column().SetName("NAME");
  TTolvanConstraintDefCheck& Check = C.AddCheck();
  Check.Column().SetName("Price");
  Check.CheckMinValue().SetAsDouble(0.25);
  Check.CheckMaxValue().SetAsDouble(1e6);
  TTolvanConstraintDefCheck& Half = C.AddCheck();
  Half.Column().SetName("name");
  Half.CheckMaxValue().SetAsString("z'");
  TTolvanConstraintDefForeignKey& Key = C.AddForeignKey();
  Key.SetName("fk");
  Key.Table().SetName("parent");
  Key.Columns().emplace_back("pid", 0);
  Key.Columns().emplace_back("name", 0);
  Key.SetMatchType(1);
  Key.SetOnDelete(tfaCascade);
  Key.SetOnUpdate(tfaSetNull);
  C.AddForeignKeyAction().SetName("not written");
  TTable T("my]t", false, F, &C);
  AddIndex(T.Cursor.IndexDefs(), "pk", {Col("id")}, true, true);
  AddIndex(T.Cursor.IndexDefs(), "by name", {Col("name", true, true), Col("price")});

  const std::string Quoted =
      Script(T.Cursor,
             {.Create = true, .Drop = true, .Indexes = true, .DropIndexes = true, .Quote = true});
  EXPECT_EQ(
      Quoted,
      Lines({"DROP TABLE [my]t] CASCADE;", "CREATE TABLE [my]t] (",
             "\t[id]  AUTOINC (AUTOINC INITIALVALUE 0 INCREMENT 1 NOMINVALUE NOMAXVALUE NOCYCLED),",
             "\t[seq]  AUTOINC (AUTOINCLARGEINT INITIALVALUE 100 INCREMENT -5 MINVALUE -1000 "
             "MAXVALUE 100 CYCLED),",
             "\t[pic] BLOB BLOBBLOCKSIZE 4096 BLOBCOMPRESSIONALGORITHM ZLIB BLOBCOMPRESSIONMODE 6,",
             "\t[note] MEMO BLOBBLOCKSIZE 102400 BLOBCOMPRESSIONALGORITHM NONE "
             "BLOBCOMPRESSIONMODE 0,",
             "\t[name] CHAR (8) DEFAULT 'o''k' NOT NULL MAXVALUE 'z''',",
             "\t[price] FLOAT DEFAULT 1.5 MINVALUE 0.25 MAXVALUE 1000000,",
             "\t[code] VARBYTES (16),", "\t[pid] INTEGER,", "PRIMARY KEY [pk] ([id]),",
             "FOREIGN KEY [fk] ([pid], [name]) REFERENCES [parent] MATCH FULL ON DELETE CASCADE ON "
             "UPDATE SET NULL",
             ");", "DROP INDEX IF EXISTS [my]t].[by name];", "CREATE INDEX [by name] ON [my]t] (",
             "\t[name] DESC NOCASE,", "\t[price]", ");"}));

  // Without quoting only the brackets go; the drop of the table needs the create.
  const std::string Plain =
      Script(T.Cursor, {.Create = true, .Indexes = true, .DropIndexes = true});
  std::string Expected = Quoted.substr(Quoted.find("CREATE TABLE"));
  for (size_t At; (At = Expected.find("[my]t]")) != std::string::npos;)
    Expected.replace(At, 6, "myt");
  std::erase_if(Expected, [](char Ch) { return Ch == '[' || Ch == ']'; });
  for (size_t At; (At = Expected.find("myt")) != std::string::npos;)
    Expected.replace(At, 3, "my]t");
  EXPECT_EQ(Plain, Expected);
  EXPECT_EQ(Script(T.Cursor, {.Drop = true, .Indexes = true}),
            Lines({"CREATE INDEX by name ON my]t (", "\tname DESC NOCASE,", "\tprice", ");"}));
}

TEST(TableSQL, ForeignKeyMatchAndActions) {
  struct TCase {
    uint8_t Match;
    TTolvanForeignKeyAction OnDelete, OnUpdate;
    const char* Tail;
  };
  const TCase Cases[] = {
      {0, tfaRestrict, tfaRestrict, "REFERENCES p "},
      {2, tfaSetDefault, tfaNoAction,
       "REFERENCES p MATCH PARTIAL ON DELETE SET DEFAULT ON UPDATE NO ACTION"},
      {0, tfaRestrict, tfaCascade, "REFERENCES p  ON UPDATE CASCADE"},
      {1, tfaNoAction, tfaRestrict, "REFERENCES p MATCH FULL ON DELETE NO ACTION"},
  };
  for (const TCase& K : Cases) {
    TTolvanFieldDefs F;
    AddField(F, "a", tftInteger);
    TTolvanConstraintDefs C;
    TTolvanConstraintDefForeignKey& Key = C.AddForeignKey();
    Key.SetName("f");
    Key.Table().SetName("p");
    Key.Columns().emplace_back("a", 0);
    Key.SetMatchType(K.Match);
    Key.SetOnDelete(K.OnDelete);
    Key.SetOnUpdate(K.OnUpdate);
    TTable T("c", false, F, &C);
    EXPECT_EQ(Script(T.Cursor, {.Create = true}),
              Lines({"CREATE TABLE c (", "\ta INTEGER,", std::string("FOREIGN KEY f (a) ") + K.Tail,
                     ");"}))
        << K.Tail;
  }
}

// Numbers keep '.' whatever the process settings say, and the settings are left alone.
TEST(TableSQL, NumbersIgnoreProcessSettings) {
  TTolvanFieldDefs F;
  AddField(F, "s", tftSingle);
  AddField(F, "d", tftDouble);
  AddField(F, "e", tftExtended);
  AddField(F, "m", tftCurrency);
  AddField(F, "l", tftLargeInt);
  AddField(F, "b", tftBoolean);
  AddField(F, "w", tftWideVarchar, 5);
  TTable T("t", false, F);
  TTolvanVariant V;
  T.NewRecord();
  V.SetAsSingle(0.5f);
  T.Set(0, V);
  V.SetAsDouble(-1234567.125);
  T.Set(1, V);
  V.SetAsExtended(2.5e-7L);
  T.Set(2, V);
  V.SetAsCurrency(12.34);
  T.Set(3, V);
  V.SetAsLargeInt(INT64_MIN);
  T.Set(4, V);
  V.SetAsBoolean(true);
  T.Set(5, V);
  V.SetAsWideString(u"x'y");
  T.Set(6, V);
  T.Post();
  TFormatSettings& Global = FormatSettings();
  const char Saved = Global.DecimalSeparator;
  const char SavedThousands = Global.ThousandSeparator;
  Global.DecimalSeparator = ',';
  Global.ThousandSeparator = '.';
  const std::string S = Script(T.Cursor, {.Insert = true});
  EXPECT_EQ(Global.DecimalSeparator, ',');
  Global.DecimalSeparator = Saved;
  Global.ThousandSeparator = SavedThousands;
  EXPECT_EQ(S, Lines({"INSERT INTO t VALUES (", "\t0.5,", "\t-1234567.125,", "\t2.5E-7,",
                      "\t12.34,", "\t-9223372036854775808,", "\tTrue,", "\t'x''y'", ");"}));
}

// The export reads from the beginning into a buffer of its own and leaves the cursor where it
// was, with the caller's buffer and its bytes.
TEST(TableSQL, LeavesPositionAndBufferAlone) {
  TTolvanFieldDefs F;
  AddField(F, "n", tftInteger);
  TTable T("t", false, F);
  TTolvanVariant V;
  for (int32_t I = 1; I <= 3; ++I) {
    T.NewRecord();
    V.SetAsInteger(I);
    T.Set(0, V);
    T.Post();
  }
  T.Cursor.SetToBegin();
  ASSERT_EQ(T.Cursor.GetRecord(rmNext), rrOK);
  ASSERT_EQ(T.Cursor.GetRecord(rmNext), rrOK);
  const TTolvanCursorPosition Before = T.Cursor.SavePosition();
  const std::vector<uint8_t> Bytes(T.Buffer, T.Buffer + T.Cursor.RecordSize());
  const std::string S = Script(T.Cursor, {.Insert = true});
  EXPECT_EQ(S.find("\t1\r\n"), S.find("VALUES (\r\n\t1") + 10);
  EXPECT_NE(S.find("\t3\r\n"), std::string::npos);
  EXPECT_EQ(T.Cursor.RecordBuffer(), T.Buffer);
  EXPECT_EQ(std::memcmp(T.Buffer, Bytes.data(), Bytes.size()), 0);
  const TTolvanCursorPosition After = T.Cursor.SavePosition();
  EXPECT_EQ(After.Bof, Before.Bof);
  EXPECT_EQ(After.Eof, Before.Eof);
  EXPECT_EQ(After.Position.PageNo, Before.Position.PageNo);
  ASSERT_EQ(T.Cursor.GetRecord(rmNext), rrOK);
  T.Cursor.GetFieldValue(V, 0, true, true);
  EXPECT_EQ(V.GetAsInteger(), 3);
}

// A cursor whose second read raises.
class TFailingCursor : public TFakeCursor {
public:
  TTolvanGetRecordResult GetRecord(TTolvanGetRecordMode Mode) override {
    if (++FReads == 2)
      throw ETolvanException::Create(10001, "read failed");
    return TFakeCursor::GetRecord(Mode);
  }

private:
  int32_t FReads = 0;
};

// An empty request gives an empty script; a failing read leaves SQL, the position and the
// buffer as they were.
TEST(TableSQL, EmptyAndFailedScripts) {
  TTolvanFieldDefs F;
  AddField(F, "n", tftInteger);
  TTable T("t", false, F);
  EXPECT_EQ(Script(T.Cursor, {}), "");

  TFailingCursor C;
  C.SetTableName("t");
  C.SetInMemory(true);
  C.OpenTable(&F, nullptr, nullptr);
  uint8_t* Buffer = C.AllocRecordBuffer();
  C.SetRecordBuffer(Buffer);
  TTolvanVariant V;
  for (int32_t I = 0; I < 2; ++I) {
    C.InitRecord(Buffer, false);
    V.SetAsInteger(I);
    C.SetCursorFieldValue(V, 0, nullptr, true);
    C.PostRecord(true);
  }
  C.SetCursorToEnd();
  AnsiString SQL = "kept";
  EXPECT_THROW(GenerateTableSQL(C, false, false, false, false, true, false, false, SQL),
               ETolvanException);
  EXPECT_EQ(SQL, "kept");
  EXPECT_EQ(C.RecordBuffer(), Buffer);
  EXPECT_TRUE(C.Eof());
  EXPECT_FALSE(C.Bof());
  C.CloseTable();
  TTolvanCursor::FreeRecordBuffer(Buffer);
}

} // namespace
} // namespace tolvan::test
