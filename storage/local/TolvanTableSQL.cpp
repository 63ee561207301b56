#include "storage/local/TolvanTableSQL.h"

#include <cfloat>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "classlib/DateUtils.h"
#include "classlib/FloatText.h"
#include "classlib/SysUtils.h"
#include "foundation/TolvanCompression.h"
#include "foundation/TolvanConst.h"
#include "foundation/TolvanDecUtil.h"
#include "foundation/TolvanMemory.h"
#include "foundation/TolvanVariant.h"
#include "schema/expr/TolvanExprParser.h"

namespace tolvan {

namespace {

// Ids of the keywords the script uses: their positions in SQLKeywords.
enum TScriptKeyword : int16_t {
  kwAction = 1,
  kwCascade = 21,
  kwCreate = 45,
  kwDefault = 59,
  kwDelete = 62,
  kwDesc = 63,
  kwDrop = 71,
  kwExists = 80,
  kwForeign = 88,
  kwFull = 91,
  kwIf = 102,
  kwInsert = 110,
  kwInto = 115,
  kwKey = 120,
  kwMatch = 129,
  kwMemory = 131,
  kwMime64 = 132,
  kwNo = 143,
  kwNot = 145,
  kwNull = 146,
  kwOn = 151,
  kwPartial = 161,
  kwPrimary = 166,
  kwReferences = 173,
  kwSet = 187,
  kwTable = 200,
  kwUnique = 216,
  kwUpdate = 218,
  kwValues = 224,
  kwBlobBlockSize = 237,
  kwBlobCompressionMode = 238,
  kwBlobCompressionAlgorithm = 239,
  kwIndex = 243,
  kwNoCase = 244,
  kwToBlob = 251,
  kwToDate = 252,
  kwIncrement = 256,
  kwMaxValue = 258,
  kwMinValue = 259,
  kwCycled = 260,
  kwNoMaxValue = 261,
  kwNoMinValue = 262,
  kwNoCycled = 263,
  kwInitialValue = 264,
};

// Fixed settings for numbers and dates: the script must read back the same on every machine.
const TFormatSettings& ScriptSettings() {
  static const TFormatSettings Settings;
  return Settings;
}

// A SQL number literal is read as a double (and a SINGLE column rounds that once more), so the text
// of a floating value must bring back the same double. FloatToStr's 15 digits do for most values
// and keep the script readable; where they do not, the shortest text that does is written, its
// exponent as FloatToStr writes one ("1E-7"). An EXTENDED value finer than a double cannot come
// back through a literal at all and keeps FloatToStr's text.
std::string FloatLiteral(const TTolvanVariant& V) {
  const long double X = V.GetAsExtended();
  const std::string Text = FloatToStr(X, ScriptSettings());
  const bool Single = V.DataType() == tvtSingle;
  if (!Single && static_cast<long double>(static_cast<double>(X)) != X)
    return Text;
  // The literal is read as a long double first and refused beyond the double range, so a text
  // rounded up past the largest double would not be read at all.
  long double Read = 0;
  if (TryStrToFloat(Text, Read, ScriptSettings()) && std::fabs(Read) <= DBL_MAX) {
    const double Back = static_cast<double>(Read);
    if (Single ? static_cast<float>(Back) == static_cast<float>(X)
               : static_cast<long double>(Back) == X)
      return Text;
  }
  char Buffer[64];
  const std::to_chars_result R =
      Single ? std::to_chars(Buffer, Buffer + sizeof Buffer, static_cast<float>(X))
             : std::to_chars(Buffer, Buffer + sizeof Buffer, static_cast<double>(X));
  if (R.ec != std::errc())
    return Text;
  const std::string_view Digits(Buffer, static_cast<size_t>(R.ptr - Buffer));
  const size_t E = Digits.find('e');
  if (E == std::string_view::npos)
    return std::string(Digits);
  std::string Shortest(Digits.substr(0, E));
  Shortest += 'E';
  size_t I = E + 1;
  if (Digits[I] == '-')
    Shortest += '-';
  if (Digits[I] == '-' || Digits[I] == '+')
    ++I;
  while (I + 1 < Digits.size() && Digits[I] == '0')
    ++I;
  Shortest += Digits.substr(I);
  return Shortest;
}

class TScriptWriter {
public:
  TScriptWriter(TTolvanCursor& Cursor, bool QuoteNames, AnsiString& SQL)
      : FCursor(Cursor), FQuoteNames(QuoteNames), FSQL(SQL) {
    if (Cursor.InMemory()) {
      FTableName.assign(SQLKeywords[kwMemory]);
      FTableName += ' ';
    }
    FTableName += QuotedName(Cursor.TableName());
  }

  void DropTable();
  void CreateTable();
  void Indexes(bool AddDropIndexes);
  void InsertData(bool IncludeBlobs);

private:
  AnsiString QuotedName(std::string_view Name) const {
    if (!FQuoteNames)
      return AnsiString(Name);
    AnsiString S;
    S.reserve(Name.size() + 2);
    S += '[';
    S += Name;
    S += ']';
    return S;
  }
  void Word(int16_t Keyword) { FSQL += SQLKeywords[Keyword]; }
  void Text(std::string_view S) { FSQL += S; }
  void Name(std::string_view S) {
    if (FQuoteNames)
      FSQL += '[';
    FSQL += S;
    if (FQuoteNames)
      FSQL += ']';
  }
  void Blank() { FSQL += ' '; }
  void Number(int64_t N) { FSQL += IntToStr(N); }
  // Blank, then each keyword with a blank between.
  void Words(std::initializer_list<int16_t> Keywords) {
    for (int16_t K : Keywords) {
      Blank();
      Word(K);
    }
  }

  void ColumnDefinition(const TTolvanFieldDef& Field);
  void ColumnConstraints(const TTolvanFieldDef& Field);
  void IndexColumn(const TTolvanIndexColumn& Column);
  void ForeignKey(const TTolvanConstraintDefForeignKeyAction& Key);
  void ForeignKeyAction(int16_t Event, TTolvanForeignKeyAction Action);
  void ColumnList(bool IncludeBlobs);
  void Value(const TTolvanVariant& V);
  void BinaryLiteral(const TTolvanVariant& V);
  void DateTimeLiteral(const TTolvanVariant& V);
  void QuotedString(std::string_view S);
  void InsertRecord(bool IncludeBlobs, TTolvanVariant& V);

  TTolvanCursor& FCursor;
  bool FQuoteNames;
  AnsiString& FSQL;
  AnsiString FTableName;
  std::string FBlobText;
};

void TScriptWriter::DropTable() {
  Word(kwDrop);
  Words({kwTable});
  Blank();
  Text(FTableName);
  Words({kwCascade});
  Text(";");
  Text(CRLF);
}

void TScriptWriter::CreateTable() {
  Word(kwCreate);
  Words({kwTable});
  Blank();
  Text(FTableName);
  Text(" (");
  Text(CRLF);
  const TTolvanFieldDefs& Fields = FCursor.FieldDefs();
  for (int32_t I = 0; I < Fields.Count(); ++I) {
    if (I > 0) {
      Text(",");
      Text(CRLF);
    }
    Text("\t");
    ColumnDefinition(Fields.Items(I));
  }
  const TTolvanIndexDefs& Indexes = FCursor.GetIndexDefs();
  for (int32_t I = 0; I < Indexes.Count(); ++I) {
    const TTolvanIndexDef& Index = Indexes.Items(I);
    if (Index.Primary() == 0)
      continue;
    Text(",");
    Text(CRLF);
    Word(kwPrimary);
    Words({kwKey});
    Blank();
    Name(Index.Name());
    Text(" (");
    for (int32_t C = 0; C < Index.ColumnCount(); ++C) {
      if (C > 0)
        Text(", ");
      IndexColumn(Index.Columns(C));
    }
    Text(")");
  }
  const TTolvanConstraintDefs& Constraints = FCursor.ConstraintDefs();
  for (int32_t I = 0; I < Constraints.Count(); ++I) {
    const TTolvanConstraintDef& C = Constraints.Items(I);
    if (C.ConstraintType() == tctForeignKey)
      ForeignKey(static_cast<const TTolvanConstraintDefForeignKeyAction&>(C));
  }
  Text(CRLF);
  Text(");");
  Text(CRLF);
}

void TScriptWriter::ColumnDefinition(const TTolvanFieldDef& Field) {
  Name(Field.Name());
  const TTolvanFieldType Type = Field.FieldType();
  if (Field.IsAutoinc()) {
    Text("  ");
    Text(FieldTypeName(tftAutoInc));
    Text(" (");
    Text(FieldTypeName(Type));
    Words({kwInitialValue});
    Blank();
    Number(Field.AutoincInitialValue());
    Words({kwIncrement});
    Blank();
    Number(Field.AutoincIncrement());
    Blank();
    if (Field.AutoincMinValue() == 0) {
      Word(kwNoMinValue);
    } else {
      Word(kwMinValue);
      Blank();
      Number(Field.AutoincMinValue());
    }
    Blank();
    if (Field.AutoincMaxValue() == INT64_MAX) {
      Word(kwNoMaxValue);
    } else {
      Word(kwMaxValue);
      Blank();
      Number(Field.AutoincMaxValue());
    }
    Blank();
    Word(Field.AutoincCycled() != 0 ? kwCycled : kwNoCycled);
    Text(")");
  } else {
    Blank();
    Text(FieldTypeName(Type));
    if (IsSizedFieldType(Type)) {
      Text(" (");
      Number(Field.Size());
      Text(")");
    }
  }
  if (IsBlobFieldType(Type)) {
    Words({kwBlobBlockSize});
    Blank();
    Number(Field.BlobBlockSize());
    Words({kwBlobCompressionAlgorithm});
    Blank();
    Text(CompressionAlgorithmName(Field.BlobCompressionAlgorithm()));
    Words({kwBlobCompressionMode});
    Blank();
    Number(Field.BlobCompressionMode());
  }
  if (!Field.DefaultValue().IsNull()) {
    Words({kwDefault});
    Blank();
    Value(Field.DefaultValue());
  }
  ColumnConstraints(Field);
}

void TScriptWriter::ColumnConstraints(const TTolvanFieldDef& Field) {
  const TTolvanConstraintDefs& Constraints = FCursor.ConstraintDefs();
  for (int32_t I = 0; I < Constraints.Count(); ++I) {
    const TTolvanConstraintDef& C = Constraints.Items(I);
    if (C.ConstraintType() == tctNotNull) {
      const auto& N = static_cast<const TTolvanConstraintDefNotNull&>(C);
      if (AnsiSameText(N.Column().Name(), Field.Name()))
        Words({kwNot, kwNull});
    } else if (C.ConstraintType() == tctCheck) {
      const auto& K = static_cast<const TTolvanConstraintDefCheck&>(C);
      if (!AnsiSameText(K.Column().Name(), Field.Name()))
        continue;
      if (!K.CheckMinValue().IsNull()) {
        Words({kwMinValue});
        Blank();
        Value(K.CheckMinValue());
      }
      if (!K.CheckMaxValue().IsNull()) {
        Words({kwMaxValue});
        Blank();
        Value(K.CheckMaxValue());
      }
    }
  }
}

void TScriptWriter::IndexColumn(const TTolvanIndexColumn& Column) {
  Name(Column.Name());
  if (Column.Descending() != 0)
    Words({kwDesc});
  if (Column.CaseInsensitive() != 0)
    Words({kwNoCase});
}

void TScriptWriter::ForeignKey(const TTolvanConstraintDefForeignKeyAction& Key) {
  Text(",");
  Text(CRLF);
  Word(kwForeign);
  Words({kwKey});
  Blank();
  Name(Key.Name());
  Text(" (");
  for (size_t C = 0; C < Key.Columns().size(); ++C) {
    if (C > 0)
      Text(", ");
    Name(Key.Columns()[C].Name());
  }
  Text(")");
  Words({kwReferences});
  Blank();
  Name(Key.Table().Name());
  Blank();
  if (Key.MatchType() == 1) {
    Word(kwMatch);
    Words({kwFull});
  } else if (Key.MatchType() == 2) {
    Word(kwMatch);
    Words({kwPartial});
  }
  ForeignKeyAction(kwDelete, Key.OnDelete());
  ForeignKeyAction(kwUpdate, Key.OnUpdate());
}

void TScriptWriter::ForeignKeyAction(int16_t Event, TTolvanForeignKeyAction Action) {
  if (Action == tfaRestrict)
    return;
  Words({kwOn, Event});
  switch (Action) {
  case tfaCascade:
    Words({kwCascade});
    break;
  case tfaSetNull:
    Words({kwSet, kwNull});
    break;
  case tfaSetDefault:
    Words({kwSet, kwDefault});
    break;
  default:
    Words({kwNo, kwAction});
    break;
  }
}

void TScriptWriter::Indexes(bool AddDropIndexes) {
  const TTolvanIndexDefs& Indexes = FCursor.GetIndexDefs();
  for (int32_t I = 0; I < Indexes.Count(); ++I) {
    const TTolvanIndexDef& Index = Indexes.Items(I);
    if (Index.Primary() != 0)
      continue;
    if (AddDropIndexes) {
      Word(kwDrop);
      Words({kwIndex, kwIf, kwExists});
      Blank();
      Text(FTableName);
      Text(".");
      Name(Index.Name());
      Text(";");
      Text(CRLF);
    }
    Word(kwCreate);
    if (Index.Unique() != 0)
      Words({kwUnique});
    Words({kwIndex});
    Blank();
    Name(Index.Name());
    Words({kwOn});
    Blank();
    Text(FTableName);
    Text(" (");
    Text(CRLF);
    for (int32_t C = 0; C < Index.ColumnCount(); ++C) {
      if (C > 0) {
        Text(",");
        Text(CRLF);
      }
      Text("\t");
      IndexColumn(Index.Columns(C));
    }
    Text(CRLF);
    Text(");");
    Text(CRLF);
  }
}

void TScriptWriter::QuotedString(std::string_view S) {
  FSQL += '\'';
  for (char C : S) {
    if (C == '\'')
      FSQL += '\'';
    FSQL += C;
  }
  FSQL += '\'';
}

// TODATE('M/D/YYYY H24:N:S:Z'), numbers without leading zeros.
void TScriptWriter::DateTimeLiteral(const TTolvanVariant& V) {
  int32_t StoredDate = 0;
  int32_t StoredTime = 0;
  switch (V.DataType()) {
  case tvtDate:
    StoredDate = V.GetAsStoredDate();
    break;
  case tvtTime:
    StoredDate = DateTimeToStoredDate(0);
    StoredTime = V.GetAsStoredTime();
    break;
  default: {
    const TTolvanStoredDateTime D = V.GetAsStoredDateTime();
    StoredDate = D.Date;
    StoredTime = D.Time;
    break;
  }
  }
  if (StoredTime < 0) // no time of day
    StoredTime = 0;
  int Year = 0, Month = 0, Day = 0;
  DecodeDate(StoredDateToDateTime(StoredDate), Year, Month, Day);
  Text(SQLKeywords[kwToDate]);
  Text("('");
  Number(Month);
  Text("/");
  Number(Day);
  Text("/");
  Number(Year);
  Blank();
  Number(StoredTime / 3600000);
  Text(":");
  Number(StoredTime / 60000 % 60);
  Text(":");
  Number(StoredTime / 1000 % 60);
  Text(":");
  Number(StoredTime % 1000);
  Text("','M/D/YYYY H24:N:S:Z')");
}

void TScriptWriter::Value(const TTolvanVariant& V) {
  if (V.IsNull()) {
    Word(kwNull);
    return;
  }
  const TTolvanValueType Type = V.DataType();
  if (IsStringValueType(Type)) {
    QuotedString(V.GetAsString());
  } else if (IsDateTimeValueType(Type)) {
    DateTimeLiteral(V);
  } else if (Type == tvtSingle || Type == tvtFloat || Type == tvtExtended) {
    Text(FloatLiteral(V));
  } else if (Type == tvtBytes || Type == tvtVarBytes) {
    // Bytes have no text of their own; a BLOB literal is cast back to them byte for byte.
    BinaryLiteral(V);
  } else if (Type == tvtCurrency) {
    Text(CurrToStr(FloatToCurr(V.GetAsCurrency()), ScriptSettings()));
  } else {
    Text(V.GetAsString());
  }
}

void TScriptWriter::BinaryLiteral(const TTolvanVariant& V) {
  BlobToMime64Text(V.Data(), V.DataSize(), FBlobText);
  Word(kwToBlob);
  Text(" ('");
  Text(FBlobText);
  Text("',");
  Word(kwMime64);
  Text(")");
}

void TScriptWriter::ColumnList(bool IncludeBlobs) {
  const TTolvanFieldDefs& Fields = FCursor.FieldDefs();
  if (IncludeBlobs)
    return;
  bool HasBlobs = false;
  for (int32_t I = 0; I < Fields.Count() && !HasBlobs; ++I)
    HasBlobs = Fields.Items(I).IsBlob();
  if (!HasBlobs)
    return;
  Text("(");
  bool First = true;
  for (int32_t I = 0; I < Fields.Count(); ++I) {
    const TTolvanFieldDef& F = Fields.Items(I);
    if (F.IsBlob())
      continue;
    if (!First)
      Text(", ");
    First = false;
    Name(F.Name());
  }
  Text(") ");
}

void TScriptWriter::InsertRecord(bool IncludeBlobs, TTolvanVariant& V) {
  Word(kwInsert);
  Words({kwInto});
  Blank();
  Text(FTableName);
  Blank();
  ColumnList(IncludeBlobs);
  Word(kwValues);
  Text(" (");
  Text(CRLF);
  const TTolvanFieldDefs& Fields = FCursor.FieldDefs();
  bool First = true;
  for (int32_t I = 0; I < Fields.Count(); ++I) {
    const TTolvanFieldDef& F = Fields.Items(I);
    if (F.IsBlob() && !IncludeBlobs)
      continue;
    if (!First) {
      Text(",");
      Text(CRLF);
    }
    First = false;
    Text("\t");
    FCursor.GetFieldValue(V, I, true, false);
    if (!F.IsBlob()) {
      Value(V);
    } else if (V.IsNull() || V.DataSize() == 0) {
      Word(kwNull);
    } else {
      BinaryLiteral(V);
    }
  }
  V.Clear();
  Text(CRLF);
  Text(");");
  Text(CRLF);
}

// Puts the cursor's position and record buffer back on every way out.
class TCursorStateGuard {
public:
  explicit TCursorStateGuard(TTolvanCursor& Cursor)
      : FCursor(Cursor), FPosition(Cursor.SavePosition()), FBuffer(Cursor.RecordBuffer()) {}
  ~TCursorStateGuard() {
    FCursor.SetRecordBuffer(FBuffer);
    FCursor.RestorePosition(FPosition);
  }
  TCursorStateGuard(const TCursorStateGuard&) = delete;
  TCursorStateGuard& operator=(const TCursorStateGuard&) = delete;

private:
  TTolvanCursor& FCursor;
  TTolvanCursorPosition FPosition;
  uint8_t* FBuffer;
};

struct TRecordBufferHolder {
  uint8_t* Buffer = nullptr;
  ~TRecordBufferHolder() { TTolvanCursor::FreeRecordBuffer(Buffer); }
};

void TScriptWriter::InsertData(bool IncludeBlobs) {
  TRecordBufferHolder Fresh;
  Fresh.Buffer = FCursor.AllocRecordBuffer();
  TCursorStateGuard Guard(FCursor);
  FCursor.SetRecordBuffer(Fresh.Buffer);
  FCursor.SetToBegin();
  TTolvanVariant V;
  while (FCursor.GetRecord(rmNext) == rrOK)
    InsertRecord(IncludeBlobs, V);
}

} // namespace

void GenerateTableSQL(TTolvanCursor& Cursor, bool AddCreateTable, bool AddDropTable,
                      bool AddCreateIndexes, bool AddDropIndexes, bool AddInsertData,
                      bool IncludeBlobs, bool QuoteNames, AnsiString& SQL) {
  AnsiString Script;
  TScriptWriter Writer(Cursor, QuoteNames, Script);
  if (AddCreateTable && AddDropTable)
    Writer.DropTable();
  if (AddCreateTable)
    Writer.CreateTable();
  if (AddCreateIndexes)
    Writer.Indexes(AddDropIndexes);
  if (AddInsertData)
    Writer.InsertData(IncludeBlobs);
  SQL = std::move(Script);
}

} // namespace tolvan
