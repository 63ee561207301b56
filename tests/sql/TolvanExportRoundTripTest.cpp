// The script a table exports, run as a script on a fresh database, makes the same table: its
// re-export has the same bytes and its records the same values, byte for byte.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "components/TolvanComponentStartup.h"
#include "components/TolvanDefs.h"
#include "components/TolvanQuery.h"
#include "components/TolvanTable.h"
#include "foundation/TolvanTypes.h"
#include "foundation/TolvanVariant.h"
#include "schema/TolvanCursor.h"
#include "sql/TolvanSQLStartup.h"
#include "tests/sql/support/TestAOTables.h"

namespace tolvan::test {
namespace {

// A record as text: each column's value type and bytes, or "NULL".
using TRecordImage = std::vector<std::string>;

class ExportRoundTrip : public AOTest {
protected:
  ExportRoundTrip() { InitSQLLayer(); }

  static void Exec(std::string_view SQL) {
    TComponentPtr<TTolvanQuery> Q = MakeComponent<TTolvanQuery>();
    Q->SetDatabaseName("MEMORY");
    Q->SetSQLText(SQL);
    Q->ExecSQL();
  }

  static TComponentPtr<TTolvanTable> OpenTable(std::string_view Name) {
    TComponentPtr<TTolvanTable> T = MakeComponent<TTolvanTable>();
    T->SetInMemory(true);
    T->SetTableName(Name);
    T->Open();
    return T;
  }

  // Every export option, names quoted.
  static std::string Export(std::string_view Name) {
    TComponentPtr<TTolvanTable> T = OpenTable(Name);
    AnsiString SQL;
    T->Cursor()->GenerateTableSQL(true, true, true, true, true, true, true, SQL);
    T->Close();
    return SQL;
  }

  static std::vector<TRecordImage> Records(std::string_view Name) {
    TComponentPtr<TTolvanTable> T = OpenTable(Name);
    TTolvanCursor& C = *T->Cursor();
    std::vector<TRecordImage> Out;
    uint8_t* Own = C.RecordBuffer();
    uint8_t* Buffer = C.AllocRecordBuffer();
    C.SetRecordBuffer(Buffer);
    C.SetToBegin();
    TTolvanVariant V;
    while (C.GetRecord(rmNext) == rrOK) {
      TRecordImage Row;
      for (int32_t I = 0; I < C.FieldDefs().Count(); ++I) {
        C.GetFieldValue(V, I, true, false);
        if (V.IsNull()) {
          Row.push_back("NULL");
          continue;
        }
        std::string Cell = std::to_string(V.DataType()) + ":";
        Cell.append(static_cast<const char*>(V.Data()), static_cast<size_t>(V.DataSize()));
        Row.push_back(std::move(Cell));
      }
      Out.push_back(std::move(Row));
    }
    V.Clear();
    C.SetRecordBuffer(Own);
    TTolvanCursor::FreeRecordBuffer(Buffer);
    T->Close();
    return Out;
  }

  // Drops every component registry and makes them again: the MEMORY database starts empty.
  static void FreshDatabase() {
    FreeComponentRegistries();
    InitComponentRegistries();
    InitSQLLayer();
  }

  static void BuildFixture();
};

constexpr std::string_view ParentSQL =
    "CREATE TABLE [the parent] ([id] INTEGER, [code] VARCHAR(10), PRIMARY KEY (id))";

// Every type, each column attribute the export writes, and a key with each ordering option.
constexpr std::string_view ChildSQL =
    "CREATE TABLE [all types] ("
    "[id] AUTOINC(LARGEINT, INCREMENT -2, INITIALVALUE 1000, MINVALUE -50, MAXVALUE 5000), "
    "[c char] CHAR(5) DEFAULT 'ab', "
    "c_vc VARCHAR(30) NOT NULL DEFAULT 'it''s', "
    "c_wc WIDECHAR(4), c_wvc WIDEVARCHAR(20) DEFAULT 'wide', "
    "c_si SMALLINT MINVALUE -100 MAXVALUE 100 DEFAULT -7, "
    "c_int INTEGER, c_li LARGEINT MINVALUE -9000000000, "
    "c_word WORD, c_shortint SHORTINT, c_byte BYTE, c_card CARDINAL MAXVALUE 4000000000, "
    "c_float FLOAT DEFAULT 0.1, c_single SINGLE DEFAULT 2.5, c_ext EXTENDED DEFAULT -1.25, "
    "c_bool BOOLEAN DEFAULT TRUE, c_cur CURRENCY DEFAULT 12.34, "
    "c_date DATE DEFAULT TODATE('3/4/2021','M/D/YYYY'), c_time TIME DEFAULT TODATE('1/1/2000 "
    "8:30:0:5','M/D/YYYY H24:N:S:Z'), "
    "c_dt DATETIME DEFAULT TODATE('12/31/1999 23:59:58:7','M/D/YYYY H24:N:S:Z'), "
    "c_ts TIMESTAMP, c_bytes BYTES(4) DEFAULT TOBLOB ('AQIDBA==',MIME64), c_vb VARBYTES(8), "
    "c_blob BLOB BLOBBLOCKSIZE 512 BLOBCOMPRESSIONALGORITHM ZLIB BLOBCOMPRESSIONMODE 9, "
    "c_memo MEMO, c_wmemo WIDEMEMO, c_graphic GRAPHIC BLOBBLOCKSIZE 2048, "
    "c_fmemo FORMATTEDMEMO, pid INTEGER, "
    "PRIMARY KEY pk (c_vc DESC NOCASE, id), "
    "FOREIGN KEY [fk parent] (pid) REFERENCES [the parent] MATCH FULL ON DELETE CASCADE "
    "ON UPDATE SET NULL)";

void ExportRoundTrip::BuildFixture() {
  Exec(ParentSQL);
  Exec("INSERT INTO [the parent] VALUES (1, 'one'); "
       "INSERT INTO [the parent] VALUES (2, 'it''s two')");
  Exec(ChildSQL);
  Exec("CREATE UNIQUE INDEX [u int] ON [all types] (c_int DESC); "
       "CREATE INDEX ix ON [all types] (c_wvc NOCASE, c_date DESC)");
  Exec("INSERT INTO [all types] (c_vc, c_int, pid) VALUES ('defaults only', 1, 1); "
       "INSERT INTO [all types] (c_vc, [c char], c_wc, c_wvc, c_si, c_int, c_li, c_word, "
       "c_shortint, c_byte, c_card, c_float, c_single, c_ext, c_bool, c_cur, c_date, c_time, "
       "c_dt, c_ts, c_bytes, c_vb, c_blob, c_memo, c_wmemo, c_fmemo, pid) VALUES ("
       "'O''Brien \"q\"', '''''', 'w''', '\xC4rger', -100, -2147483648, -9000000000, 65535, "
       "-128, 255, 4000000000, 0.30000000000000004, 0.1, 3.14159265358979323846, FALSE, "
       "-92233720368.5477, TODATE('2/29/2000','M/D/YYYY'), "
       "TODATE('1/1/1900 13:14:15:16','M/D/YYYY H24:N:S:Z'), "
       "TODATE('12/30/1899 0:0:0:1','M/D/YYYY H24:N:S:Z'), "
       "TODATE('7/4/1776 12:0:0:0','M/D/YYYY H24:N:S:Z'), "
       "TOBLOB ('AAEn/w==',MIME64), TOBLOB ('AP8=',MIME64), "
       "'blob '' bytes', 'memo text', 'wide memo', 'formatted', 2); "
       "INSERT INTO [all types] (c_vc, c_int, c_float, c_blob, pid, c_ts) VALUES "
       "('nulls', 2147483647, 1e300, NULL, NULL, TODATE('3/4/2021','M/D/YYYY'))");
}

TEST_F(ExportRoundTrip, ScriptRecreatesTableAndRecords) {
  BuildFixture();
  const std::string ParentScript = Export("the parent");
  const std::string ChildScript = Export("all types");
  const std::vector<TRecordImage> ParentRows = Records("the parent");
  const std::vector<TRecordImage> ChildRows = Records("all types");
  ASSERT_EQ(ChildRows.size(), 3u);
  // Bytes travel as BLOB literals, in a default as in a value.
  EXPECT_NE(ChildScript.find("[c_bytes] BYTES (4) DEFAULT TOBLOB ('AQIDBA==',MIME64)"),
            std::string::npos);
  EXPECT_NE(ChildScript.find("\tTOBLOB ('AP8AAAAAAAA=',MIME64),"), std::string::npos);
  for (const TRecordImage& Row : ChildRows) {
    if (Row[2].starts_with("3:defaults only")) {
      EXPECT_EQ(Row[21], std::string("23:\x01\x02\x03\x04"));
    }
  }

  FreshDatabase();
  ASSERT_NE(ErrorOf([] { Exec("SELECT COUNT(*) FROM [all types]"); }), "no error");
  Exec(ParentScript);
  Exec(ChildScript);

  EXPECT_EQ(Export("the parent"), ParentScript);
  EXPECT_EQ(Export("all types"), ChildScript);
  EXPECT_EQ(Records("the parent"), ParentRows);
  EXPECT_EQ(Records("all types"), ChildRows);
}

// Values whose 15-digit text names a neighbouring double, and a SINGLE read back through one.
TEST_F(ExportRoundTrip, FloatValuesComeBackExactly) {
  Exec("CREATE TABLE f (d FLOAT, s SINGLE, e EXTENDED)");
  Exec("INSERT INTO f VALUES (0.30000000000000004, 0.1, 0.30000000000000004); "
       "INSERT INTO f VALUES (1.0000000000000002E-5, 16777216, 1.0000000000000002E-5); "
       "INSERT INTO f VALUES (-123456789.12345679, 0.33333334, -4.9406564584124654E-324); "
       "INSERT INTO f VALUES (1.7976931348623157E308, -1.17549435E-38, 2.5)");
  const std::string Script = Export("f");
  const std::vector<TRecordImage> Rows = Records("f");
  FreshDatabase();
  Exec(Script);
  EXPECT_EQ(Records("f"), Rows) << Script;
  EXPECT_EQ(Export("f"), Script);
}

// A bytes default of another length than its column is padded or cut as the same value in an
// INSERT, and survives the round trip as written.
TEST_F(ExportRoundTrip, BytesDefaultActsAsInsertedValue) {
  Exec("CREATE TABLE b (id INTEGER, s BYTES(4) DEFAULT TOBLOB ('AQI=',MIME64), "
       "l BYTES(4) DEFAULT TOBLOB ('AQIDBAUG',MIME64), v VARBYTES(4) DEFAULT TOBLOB "
       "('AQID',MIME64))");
  Exec("INSERT INTO b (id) VALUES (1); "
       "INSERT INTO b VALUES (2, TOBLOB ('AQI=',MIME64), TOBLOB ('AQIDBAUG',MIME64), "
       "TOBLOB ('AQID',MIME64))");
  std::vector<TRecordImage> Rows = Records("b");
  ASSERT_EQ(Rows.size(), 2u);
  EXPECT_EQ(Rows[0][1], std::string("23:\x01\x02\0\0", 7));
  EXPECT_EQ(std::vector<std::string>(Rows[0].begin() + 1, Rows[0].end()),
            std::vector<std::string>(Rows[1].begin() + 1, Rows[1].end()));

  const std::string Script = Export("b");
  EXPECT_NE(Script.find("[l] BYTES (4) DEFAULT TOBLOB ('AQIDBAUG',MIME64)"), std::string::npos);
  FreshDatabase();
  Exec(Script);
  EXPECT_EQ(Export("b"), Script);
  EXPECT_EQ(Records("b"), Rows);
}

} // namespace
} // namespace tolvan::test
