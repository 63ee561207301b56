#include "sql/TolvanDDLTable.h"

#include <charconv>
#include <exception>
#include <limits>
#include <string>
#include <utility>

#include "classlib/DB.h"
#include "classlib/DBConsts.h"
#include "classlib/DBDefs.h"
#include "classlib/Format.h"
#include "classlib/SysUtils.h"
#include "components/TolvanDefs.h"
#include "components/TolvanQuery.h"
#include "components/TolvanTable.h"
#include "foundation/TolvanExcept.h"
#include "foundation/TolvanMessages.h"
#include "foundation/TolvanTypes.h"
#include "schema/expr/TolvanExprParser.h"
#include "schema/expr/TolvanExpression.h"
#include "sql/TolvanSQLGrammar.h"

namespace tolvan {

namespace {

// The longest suffix MakeUniqueName appends: two 32-bit decimals and "-".
constexpr size_t UniqueSuffixMax = 21;
constexpr size_t MaxObjectName = 255;

constexpr TTokenKinds AttributeKinds =
    NameOrKeywordKinds | TokenKinds({tktRightParenthesis, tktComma});
constexpr TTokenKinds TypeKinds =
    TokenKinds({tktString, tktBracketedString, tktReservedWord, tktBackQuotedString});
// The names a foreign key's columns and referenced table may be.
constexpr TTokenKinds PlainNameKinds =
    TokenKinds({tktString, tktBracketedString, tktBackQuotedString});

// The width an AUTOINC column takes from a type name among its options; tftNone for a name
// that chooses none.
TTolvanFieldType AutoIncWidth(TTolvanFieldType Named) {
  switch (Named) {
  case tftShortInt:
    return tftAutoIncShortInt;
  case tftSmallInt:
    return tftAutoIncSmallInt;
  case tftInteger:
    return tftAutoInc;
  case tftLargeInt:
    return tftAutoIncLargeInt;
  case tftByte:
    return tftAutoIncByte;
  case tftWord:
    return tftAutoIncWord;
  case tftCardinal:
    return tftAutoIncCardinal;
  default:
    return IsAutoIncFieldType(Named) ? Named : tftNone;
  }
}

bool ParseInt64Text(std::string_view Text, int64_t& Value) {
  if (Text.empty())
    return false;
  const char* End = Text.data() + Text.size();
  const auto Result = std::from_chars(Text.data(), End, Value);
  return Result.ec == std::errc() && Result.ptr == End;
}

// Frees the statement's table component on every path. Release frees it and lets a failure
// through; the destructor drops one.
class TTableGuard {
public:
  explicit TTableGuard(TTolvanTable* Table) noexcept : FTable(Table) {}
  ~TTableGuard() {
    try {
      Release();
    } catch (...) {
    }
  }
  TTableGuard(const TTableGuard&) = delete;
  TTableGuard& operator=(const TTableGuard&) = delete;

  TTolvanTable& operator*() const noexcept { return *FTable; }
  TTolvanTable* operator->() const noexcept { return FTable; }
  void Reset(TTolvanTable* Table) {
    Release();
    FTable = Table;
  }
  // Hands the table on; the guard frees nothing.
  TTolvanTable* Detach() noexcept { return std::exchange(FTable, nullptr); }
  void Release() {
    if (TTolvanTable* Table = std::exchange(FTable, nullptr))
      Table->Free();
  }

private:
  TTolvanTable* FTable;
};

// Runs Step; any class-library or engine failure becomes Code with the failure's message.
template <class TStep> void Wrapped(int32_t Code, std::string_view Message, TStep&& Step) {
  try {
    Step();
  } catch (const Exception& E) {
    throw ETolvanException::CreateFmt(Code, Message, E.Message());
  }
}

AnsiString JoinNames(const std::vector<TTolvanIndexField>& Fields, char Separator,
                     bool (*Take)(const TTolvanIndexField&)) {
  AnsiString Text;
  for (const TTolvanIndexField& F : Fields) {
    if (!Take(F))
      continue;
    if (!Text.empty())
      Text += Separator;
    Text += F.Name;
  }
  return Text;
}

// CreateTable reads the component's index list, a restructure the stored one. A restructure
// also opens the table as it is through the component's list, so there an index over a column
// still to be added goes only into the stored list.
void AddIndexTo(TTolvanTable& Table, TDDLIndexTarget Target, const AnsiString& Name,
                const AnsiString& Fields, TIndexOptions Options, const AnsiString& Desc,
                const AnsiString& CaseIns) {
  TIndexDefs& Defs =
      Target == TDDLIndexTarget::Create ? Table.IndexDefs() : Table.StoredIndexDefs();
  TIndexDef& Def = Defs.Add(Name, Fields, Options);
  Def.SetDescFields(Desc);
  Def.SetCaseInsFields(CaseIns);
}

bool HasIndexNamed(TTolvanTable& Table, std::string_view Name) {
  return Table.IndexDefs().IndexOf(Name) >= 0 || Table.StoredIndexDefs().IndexOf(Name) >= 0;
}

AnsiString UniqueIndexName(TTolvanTable& Table, std::string_view Prefix, std::string_view Columns) {
  AnsiString Name = TTolvanDDLTableManipulation::GeneratedName(Prefix, Columns);
  while (HasIndexNamed(Table, Name))
    Name = TTolvanDDLTableManipulation::GeneratedName(Prefix, Columns);
  return Name;
}

} // namespace

// --- TSQLFieldDefs -----------------------------------------------------------------------------

TSQLFieldDef& TSQLFieldDefs::Add() {
  FItems.push_back(std::make_unique<TSQLFieldDef>());
  return *FItems.back();
}

// --- TTolvanDDLTableManipulation: grammar -----------------------------------------------------

TTolvanDDLTableManipulation::TTolvanDDLTableManipulation(TTolvanLexer& Lexer, TTolvanQuery& Query)
    : TTolvanSQLCommand(Lexer, Query) {}

TTolvanDDLTableManipulation::~TTolvanDDLTableManipulation() = default;

void TTolvanDDLTableManipulation::Parse() {
  TToken Next;
  if (Lexer().PeekToken(Next))
    throw ETolvanException::CreateFmt(ErrDDLUnexpectedToken, SUnexpectedTokenAtLine, Next.Text,
                                      Next.Line, Next.Column);
}

void TTolvanDDLTableManipulation::Advance(int32_t Code) {
  const int32_t Line = FToken.Line;
  const int32_t Column = FToken.Column;
  if (!NextToken())
    throw ETolvanException::CreateFmt(Code, SUnexpectedEndOfSqlCommand, Line, Column);
}

void TTolvanDDLTableManipulation::ParseDDLTableName() { SQLGrammar->ParseDDLTableName(*this); }

int64_t TTolvanDDLTableManipulation::ReadInt64() {
  ReadNextToken(0, ErrSQLUnexpectedEnd);
  AnsiString Text;
  if (FToken.Kind == tktString && FToken.Text == "-") {
    ReadNextToken(TokenKinds({tktInt}), ErrDDLIntegerExpected, SIntegerExpected);
    Text = "-";
  } else if (FToken.Kind != tktInt) {
    RaiseAtToken(ErrDDLIntegerExpected, SIntegerExpected);
  }
  Text += FToken.Text;
  int64_t Value = 0;
  if (!ParseInt64Text(Text, Value))
    RaiseAtToken(ErrDDLBadInteger, SIntegerExpected);
  return Value;
}

void TTolvanDDLTableManipulation::ParseElementList() {
  if (FToken.Kind != tktLeftParenthesis)
    RaiseExpected(ErrDDLOpenParenExpected, "(");
  while (FToken.Kind != tktNone && FToken.Kind != tktRightParenthesis) {
    ReadNextToken(NameOrKeywordKinds, ErrDDLFieldNameExpected, SFieldNameExpected);
    if (AtWord("PRIMARY"))
      ParseTablePrimaryKey();
    else if (AtWord("FOREIGN"))
      ParseForeignKey();
    else
      ParseColumn();
  }
}

void TTolvanDDLTableManipulation::ParseColumn() {
  TSQLFieldDef& Column = FColumns.Add();
  Column.Name = FToken.Text;
  ReadNextToken(TypeKinds, ErrDDLFieldTypeExpected, SFieldTypeExpected);
  ParseType(Column);
  ReadNextToken(AttributeKinds, ErrDDLAttributeToken, SClosingParenthesisOrCommaExpected);
  ParseColumnAttributes(Column);
}

void TTolvanDDLTableManipulation::ParseType(TSQLFieldDef& Column) {
  const TTolvanFieldType Type = FieldTypeFromName(FToken.Text);
  if (Type == tftNone)
    RaiseAtToken(ErrDDLUnknownFieldType, SUnknownFieldType);
  Column.FieldType = Type;
  if (IsSizedFieldType(Type)) {
    ReadNextToken(TokenKinds({tktLeftParenthesis}), ErrDDLSizeOpenParen,
                  SOpeningParenthesisExpected);
    ReadNextToken(TokenKinds({tktInt}), ErrDDLSizeExpected, SDecimalConstantExpected);
    int64_t Size = 0;
    if (!ParseInt64Text(FToken.Text, Size) || Size > std::numeric_limits<int32_t>::max())
      RaiseAtToken(ErrDDLSizeExpected, SDecimalConstantExpected);
    Column.Size = static_cast<int32_t>(Size);
    ReadNextToken(TokenKinds({tktRightParenthesis}), ErrDDLSizeCloseParen,
                  SClosingParenthesisOrCommaExpected);
    return;
  }
  TToken Next;
  if (IsAutoIncFieldType(Type) && Lexer().PeekToken(Next) && Next.Kind == tktLeftParenthesis) {
    NextToken();
    ParseAutoIncOptions(Column);
  }
}

void TTolvanDDLTableManipulation::ParseAutoIncOptions(TSQLFieldDef& Column) {
  for (;;) {
    Advance(ErrDDLAutoIncOptionsEnd);
    if (FToken.Kind == tktRightParenthesis)
      return;
    if (FToken.Kind == tktComma)
      continue;
    if (AtWord("INCREMENT")) {
      Column.Increment = ReadInt64();
    } else if (AtWord("INITIALVALUE")) {
      Column.InitialValue = ReadInt64();
    } else if (AtWord("MINVALUE")) {
      Column.SequenceMin = ReadInt64();
    } else if (AtWord("MAXVALUE")) {
      Column.SequenceMax = ReadInt64();
    } else if (AtWord("CYCLED")) {
      Column.Cycled = true;
    } else if (AtWord("NOCYCLED")) {
      Column.Cycled = false;
    } else if (AtWord("NOMAXVALUE")) {
      Column.SequenceMax = std::numeric_limits<int64_t>::max();
    } else if (AtWord("NOMINVALUE")) {
      Column.SequenceMin = 0;
    } else {
      const TTolvanFieldType Named =
          FToken.Kind == tktQuotedString ? tftNone : FieldTypeFromName(FToken.Text);
      if (Named == tftNone || *Column.FieldType != tftAutoInc)
        RaiseAtToken(ErrDDLAutoIncOptionToken, SUnexpectedTokenAtLine);
      const TTolvanFieldType Width = AutoIncWidth(Named);
      if (Width == tftNone)
        RaiseAtToken(ErrDDLAutoIncType, SUnsupportedAutoincDataType);
      Column.FieldType = Width;
    }
  }
}

void TTolvanDDLTableManipulation::ParseColumnAttributes(TSQLFieldDef& Column) {
  auto MoveOn = [this] {
    ReadNextToken(AttributeKinds, ErrDDLAttributeToken, SClosingParenthesisOrCommaExpected);
  };
  while (FToken.Kind != tktRightParenthesis && FToken.Kind != tktComma) {
    if (AtWord("NOT")) {
      Advance(ErrDDLNotNullEnd);
      if (!AtWord("NULL"))
        RaiseAtToken(ErrDDLNullExpected, SNullExpectedForNotNull);
      Column.Required = true;
      MoveOn();
    } else if (AtWord("NULL")) {
      Column.Required = false;
      MoveOn();
    } else if (AtWord("BLOBBLOCKSIZE")) {
      // A block size below 1 would be refused at every BLOB write, or worse.
      const int64_t Size = ReadInt64();
      if (Size < 1 || Size > std::numeric_limits<int32_t>::max())
        throw ERangeError(std::string(SysConst::SRangeError));
      Column.BlobBlockSize = static_cast<int32_t>(Size);
      MoveOn();
    } else if (AtWord("BLOBCOMPRESSIONMODE")) {
      const int64_t Level = ReadInt64();
      if (Level < 0 || Level > 255)
        throw ERangeError(std::string(SysConst::SRangeError));
      Column.CompressionLevel = static_cast<uint8_t>(Level);
      MoveOn();
    } else if (AtWord("BLOBCOMPRESSIONALGORITHM")) {
      ReadNextToken(0, ErrSQLUnexpectedEnd);
      Column.CompressionAlgorithm = CompressionAlgorithmFromName(FToken.Text);
      MoveOn();
    } else if (AtWord("DEFAULT")) {
      ParseDefault(Column);
    } else if (AtWord("MINVALUE") || AtWord("NOMINVALUE")) {
      ParseLimit(Column.MinValue, AtWord("MINVALUE"));
    } else if (AtWord("MAXVALUE") || AtWord("NOMAXVALUE")) {
      ParseLimit(Column.MaxValue, AtWord("MAXVALUE"));
    } else if (AtWord("PRIMARY")) {
      ParseColumnPrimaryKey(Column);
    } else if (AtWord("UNIQUE")) {
      Column.Unique = true;
      FUniqueFields.Add(Column.Name);
      MoveOn();
    } else {
      MoveOn();
    }
  }
}

void TTolvanDDLTableManipulation::ParseDefault(TSQLFieldDef& Column) {
  if (Column.DefaultValue)
    throw ETolvanException::CreateFmt(ErrDDLDefaultTwice, SDefaultValueDeclaredTwice, Column.Name);
  Advance(ErrDDLDefaultEnd);
  Column.DefaultValue.emplace();
  if (AtWord("NULL")) {
    ReadNextToken(0, ErrSQLUnexpectedEnd);
    return;
  }
  TTolvanExpression Expression;
  Expression.SetInMemory(FQuery->InMemory());
  Expression.SetDatabaseName(FQuery->DatabaseName());
  Expression.SetSessionName(FQuery->SessionName());
  Expression.ParseValue(Lexer());
  if (Expression.IsEmpty())
    RaiseAtToken(ErrDDLUnexpectedToken, SUnexpectedTokenAtLine);
  const TTolvanVariant* Value = Expression.Evaluate(true);
  if (Value && !Value->IsNull()) {
    Column.DefaultValue->Assign(*Value, true);
    const TTolvanValueType Target = ValueTypeOfFieldType(*Column.FieldType);
    // Bytes have no literal of their own: a BLOB value (TOBLOB) gives them its bytes, as an
    // INSERT does, since no cast leads from BLOB to bytes.
    if ((Target == tvtBytes || Target == tvtVarBytes) && Value->DataType() == tvtBLOB)
      Column.DefaultValue->SetBuffer(Value->Data(), Value->DataSize(), Target, true, true);
    else if (Target != tvtNone && Target != Column.DefaultValue->DataType())
      Column.DefaultValue->CastTo(Target);
  }
  CurrentToken();
}

void TTolvanDDLTableManipulation::ParseLimit(std::optional<TTolvanVariant>& Limit, bool Given) {
  Limit.emplace();
  if (Given) {
    Advance(ErrDDLLimitEnd);
    AnsiString Text;
    if (FToken.Kind == tktString && FToken.Text == "-") {
      Advance(ErrDDLLimitEnd);
      if (FToken.Kind != tktInt)
        RaiseAtToken(ErrDDLBadInteger, SIntegerExpected);
      Text = "-";
    }
    Text += FToken.Text;
    int64_t Value = 0;
    if (!ParseInt64Text(Text, Value))
      RaiseAtToken(ErrDDLBadInteger, SIntegerExpected);
    Limit->SetAsLargeInt(Value);
  }
  ReadNextToken(0, ErrSQLUnexpectedEnd);
}

void TTolvanDDLTableManipulation::ParseKeyModifiers(TTolvanIndexField& Field) {
  Advance(ErrDDLKeyModifierEnd);
  for (;; Advance(ErrDDLKeyModifierEnd)) {
    if (AtWord("ASC"))
      Field.Descending = false;
    else if (AtWord("DESC"))
      Field.Descending = true;
    else if (AtWord("CASE"))
      Field.CaseInsensitive = false;
    else if (AtWord("NOCASE"))
      Field.CaseInsensitive = true;
    else
      return;
  }
}

void TTolvanDDLTableManipulation::ParseColumnPrimaryKey(TSQLFieldDef& Column) {
  TTolvanIndexField Field;
  Field.Name = Column.Name;
  TToken Next;
  if (Lexer().PeekToken(Next) && IsWord(Next, "KEY"))
    Advance(ErrDDLKeyModifierEnd);
  ParseKeyModifiers(Field);
  Column.PrimaryKey = true;
  FPrimaryKeyFields.push_back(std::move(Field));
}

void TTolvanDDLTableManipulation::ReadPrimaryKeyColumn() {
  ReadNextToken(SQLGrammar->PrimaryKeyColumnKinds(), ErrDDLPrimaryKeyFieldExpected,
                SFieldNameExpected);
}

void TTolvanDDLTableManipulation::ParseTablePrimaryKey() {
  NextToken();
  if (AtWord("KEY"))
    NextToken();
  if (FToken.Kind != tktLeftParenthesis && AtKind(NameOrKeywordKinds)) {
    FPrimaryKeyName = FToken.Text;
    NextToken();
  }
  if (FToken.Kind != tktLeftParenthesis)
    RaiseAtToken(ErrDDLPrimaryKeyOpenParen, SOpeningParenthesisExpected);
  for (;;) {
    ReadPrimaryKeyColumn();
    TTolvanIndexField Field;
    Field.Name = FToken.Text;
    ParseKeyModifiers(Field);
    FPrimaryKeyFields.push_back(std::move(Field));
    if (FToken.Kind == tktRightParenthesis)
      break;
    if (FToken.Kind != tktComma)
      RaiseAtToken(ErrDDLPrimaryKeyListToken, SClosingParenthesisOrCommaExpected);
  }
  NextToken();
}

void TTolvanDDLTableManipulation::ParseForeignKey() {
  NextToken();
  if (!AtWord("KEY"))
    RaiseExpected(ErrFKKeyExpected, "KEY");
  NextToken();
  TTolvanForeignKeyDef Def;
  if (FToken.Kind != tktLeftParenthesis && AtKind(NameKinds)) {
    Def.SetName(FToken.Text);
    NextToken();
  }
  if (FToken.Kind != tktLeftParenthesis)
    RaiseAtToken(ErrFKOpenParen, SOpeningParenthesisExpected);
  AnsiString Columns;
  for (;;) {
    NextToken();
    if (!AtKind(PlainNameKinds))
      RaiseAtToken(ErrFKFieldName, SFieldNameExpected);
    if (!Columns.empty())
      Columns += ';';
    Columns += FToken.Text;
    NextToken();
    if (FToken.Kind == tktRightParenthesis)
      break;
    if (FToken.Kind != tktComma)
      RaiseAtToken(ErrFKListToken, SClosingParenthesisOrCommaExpected);
  }
  Def.SetFieldList(Columns);
  NextToken();
  if (!AtWord("REFERENCES"))
    RaiseExpected(ErrFKReferencesExpected, "REFERENCES");
  NextToken();
  if (!AtKind(PlainNameKinds))
    RaiseAtToken(ErrFKTableName, STableNameExpected);
  Def.SetReferenceTableName(FToken.Text);
  NextToken();
  if (AtWord("MATCH")) {
    NextToken();
    if (AtWord("FULL"))
      Def.SetMatchType(1);
    else if (AtWord("PARTIAL"))
      Def.SetMatchType(2);
    else
      RaiseExpected(ErrFKMatchKind, "FULL or PARTIAL");
    NextToken();
  }
  // ON UPDATE and ON DELETE, in either order, each at most once.
  int Ons = 0;
  bool SawUpdate = false;
  bool SawDelete = false;
  while (Ons < 2 && AtWord("ON")) {
    NextToken();
    const bool Update = AtWord("UPDATE");
    const bool Delete = AtWord("DELETE");
    if ((!Update && !Delete) || (Update && SawUpdate) || (Delete && SawDelete))
      RaiseExpected(Ons == 0 ? ErrFKOnKind : ErrFKSecondOnKind, "UPDATE or DELETE");
    NextToken();
    const TTolvanForeignKeyAction Action = ParseForeignKeyAction();
    if (Update) {
      SawUpdate = true;
      Def.SetUpdateAction(Action);
    } else {
      SawDelete = true;
      Def.SetDeleteAction(Action);
    }
    ++Ons;
  }
  if (!FForeignKeyDefs)
    FForeignKeyDefs = std::make_unique<TTolvanForeignKeyDefs>();
  FForeignKeyDefs->Add().Assign(Def);
}

// The current token begins the action; the token after it is current on return.
TTolvanForeignKeyAction TTolvanDDLTableManipulation::ParseForeignKeyAction() {
  TTolvanForeignKeyAction Action = tfaRestrict;
  if (AtWord("CASCADE")) {
    Action = tfaCascade;
  } else if (AtWord("SET")) {
    NextToken();
    if (AtWord("NULL"))
      Action = tfaSetNull;
    else if (AtWord("DEFAULT"))
      Action = tfaSetDefault;
    else
      RaiseExpected(ErrFKSetAction, "NULL or DEFAULT");
  } else if (AtWord("NO")) {
    NextToken();
    if (!AtWord("ACTION"))
      RaiseExpected(ErrFKNoAction, "ACTION");
    Action = tfaNoAction;
  } else {
    RaiseExpected(ErrFKAction, "CASCADE or SET or NO");
  }
  NextToken();
  return Action;
}

// --- TTolvanDDLTableManipulation: definitions --------------------------------------------------

void TTolvanDDLTableManipulation::ApplyColumnDef(TTolvanAdvFieldDef& Def,
                                                 const TSQLFieldDef& Column) {
  Def.SetName(Column.Name);
  if (Column.FieldType)
    Def.SetFieldType(*Column.FieldType);
  if (Column.Size)
    Def.SetSize(*Column.Size);
  if (Column.Required)
    Def.SetRequired(*Column.Required);
  if (Column.Increment)
    Def.SetAutoincIncrement(*Column.Increment);
  if (Column.InitialValue)
    Def.SetAutoincInitialValue(*Column.InitialValue);
  if (Column.SequenceMin)
    Def.SetAutoincMinValue(*Column.SequenceMin);
  if (Column.SequenceMax)
    Def.SetAutoincMaxValue(*Column.SequenceMax);
  if (Column.Cycled)
    Def.SetAutoincCycled(*Column.Cycled);
  if (Column.BlobBlockSize)
    Def.SetBlobBlockSize(*Column.BlobBlockSize);
  if (Column.CompressionAlgorithm)
    Def.SetBlobCompressionAlgorithm(static_cast<uint8_t>(*Column.CompressionAlgorithm));
  if (Column.CompressionLevel)
    Def.SetBlobCompressionLevel(*Column.CompressionLevel);
  if (Column.DefaultValue)
    Def.DefaultValue().Assign(*Column.DefaultValue, true);
  if (Column.MinValue)
    Def.MinValue().Assign(*Column.MinValue, true);
  if (Column.MaxValue)
    Def.MaxValue().Assign(*Column.MaxValue, true);
}

TTolvanTable* TTolvanDDLTableManipulation::BuildTable(TTolvanQuery& Query) {
  TTableGuard Table(NewComponent<TTolvanTable>(Query.Owner()));
  SetupDataSet(&*Table);
  Table->FieldDefs().Clear();
  Table->AdvFieldDefs().Clear();
  for (int32_t I = 0; I < FColumns.Count(); ++I)
    ApplyColumnDef(Table->AdvFieldDefs().AddDef(), FColumns.Items(I));
  return Table.Detach();
}

AnsiString TTolvanDDLTableManipulation::GeneratedName(std::string_view Prefix,
                                                      std::string_view Columns) {
  const size_t Room = MaxObjectName - UniqueSuffixMax;
  AnsiString Base(Prefix.substr(0, Room));
  Base.append(Columns.substr(0, Room - Base.size()));
  return MakeUniqueName(Base);
}

void TTolvanDDLTableManipulation::AddPrimaryKeyIndex(TTolvanTable& Table,
                                                     TDDLIndexTarget Target) const {
  if (FPrimaryKeyFields.empty())
    return;
  const AnsiString Fields =
      JoinNames(FPrimaryKeyFields, ',', [](const TTolvanIndexField&) { return true; });
  // A release that reads the modifiers without applying them makes the index ascending and
  // case-sensitive in every column.
  const bool Modifiers = SQLGrammar->AppliesPrimaryKeyModifiers();
  const AnsiString Desc = Modifiers
                              ? JoinNames(FPrimaryKeyFields, ',',
                                          [](const TTolvanIndexField& F) { return F.Descending; })
                              : AnsiString();
  const AnsiString CaseIns =
      Modifiers ? JoinNames(FPrimaryKeyFields, ',',
                            [](const TTolvanIndexField& F) { return F.CaseInsensitive; })
                : AnsiString();
  AnsiString Name = FPrimaryKeyName;
  if (Name.empty())
    Name = UniqueIndexName(
        Table, "C_PK",
        "$" + JoinNames(FPrimaryKeyFields, '$', [](const TTolvanIndexField&) { return true; }));
  AddIndexTo(Table, Target, Name, Fields, ixPrimary, Desc, CaseIns);
}

void TTolvanDDLTableManipulation::AddUniqueIndexes(TTolvanTable& Table,
                                                   TDDLIndexTarget Target) const {
  for (int32_t I = 0; I < FUniqueFields.Count(); ++I) {
    const AnsiString& Column = FUniqueFields.Strings(I);
    const AnsiString Name = UniqueIndexName(Table, "C_Unique$", Column);
    AddIndexTo(Table, Target, Name, Column, ixUnique, AnsiString(), AnsiString());
  }
}

void TTolvanDDLTableManipulation::NameUnnamedForeignKeys(TTolvanTable& Table) {
  if (!FForeignKeyDefs)
    return;
  auto Taken = [&](const AnsiString& Name) {
    return Table.EngineConstraintDefs().IndexOfName(Name) >= 0 ||
           Table.ForeignKeyDefs().IndexOf(Name) >= 0 || FForeignKeyDefs->IndexOf(Name) >= 0 ||
           HasIndexNamed(Table, Name);
  };
  for (int32_t I = 0; I < FForeignKeyDefs->Count(); ++I) {
    TTolvanForeignKeyDef& Def = *FForeignKeyDefs->Items(I);
    if (!Def.Name().empty())
      continue;
    AnsiString Name = MakeUniqueName("FOREIGN_KEY_");
    while (Taken(Name))
      Name = MakeUniqueName("FOREIGN_KEY_");
    Def.SetName(Name);
  }
}

// --- CREATE TABLE ------------------------------------------------------------------------------

void TTolvanDDLCreateTable::Parse() {
  if (!NextToken())
    throw ETolvanException::Create(ErrDDLCreateBlank, SBlankSqlCommand);
  ParseDDLTableName();
  ParseElementList();
  TTolvanDDLTableManipulation::Parse();
}

void TTolvanDDLCreateTable::Execute(TTolvanQuery& Query, bool /*IsRoot*/, bool /*RequestLive*/,
                                    bool& /*ReadOnly*/) {
  TTableGuard Table(nullptr);
  try {
    Table.Reset(BuildTable(Query));
    if (Table->Exists())
      throw ETolvanException::CreateFmt(ErrDDLTableExists, SCannotCreateTableAlreadyExists,
                                        Table->TableName());
    AddPrimaryKeyIndex(*Table, TDDLIndexTarget::Create);
    AddUniqueIndexes(*Table, TDDLIndexTarget::Create);
    NameUnnamedForeignKeys(*Table);
    if (FForeignKeyDefs)
      Table->ForeignKeyDefs().Assign(*FForeignKeyDefs);
    // The engine checks again under its write gate: a table of the name made meanwhile by
    // another thread is refused, never replaced.
    Table->CreateTable(true);
    Table.Release();
  } catch (const ETolvanException& E) {
    if (E.NativeError() == ErrDDLTableExists)
      throw;
    throw ETolvanException::CreateFmt(ErrDDLCreateFailed, SErrorCreatingTable, E.Message());
  } catch (const Exception& E) {
    throw ETolvanException::CreateFmt(ErrDDLCreateFailed, SErrorCreatingTable, E.Message());
  }
}

// --- DROP TABLE --------------------------------------------------------------------------------

void TTolvanDDLDropTable::Parse() {
  if (!NextToken())
    throw ETolvanException::Create(ErrDDLDropBlank, SBlankSqlCommand);
  ParseDDLTableName();
  if (AtWord("CASCADE")) {
    FCascade = true;
    NextToken();
  } else if (AtWord("RESTRICT")) {
    NextToken();
  }
  TTolvanDDLTableManipulation::Parse();
}

void TTolvanDDLDropTable::Execute(TTolvanQuery& Query, bool /*IsRoot*/, bool /*RequestLive*/,
                                  bool& /*ReadOnly*/) {
  Wrapped(ErrDDLDropFailed, SErrorDroppingTable, [&] {
    TTableGuard Table(BuildTable(Query));
    Table->SetExclusive(true);
    if (Table->Exists())
      Table->DeleteTable(FCascade);
    Table.Release();
  });
}

// --- ALTER TABLE -------------------------------------------------------------------------------

void TTolvanDDLAlterTable::Parse() {
  if (!NextToken())
    throw ETolvanException::Create(ErrDDLAlterBlank, SBlankSqlCommand);
  ParseDDLTableName();
  ParseAction();
}

void TTolvanDDLAlterTable::ParseAction() {
  if (!IsAnyKeyword(FToken))
    RaiseAtToken(ErrDDLAlterActionExpected, SAddDropAlterExpected);
  if (AtWord("ADD")) {
    ParseAddAction();
  } else if (AtWord("ALTER") || AtWord("MODIFY")) {
    const bool Alter = AtWord("ALTER");
    NextToken();
    if (Alter && AtWord("COLUMN"))
      NextToken();
    FAction = taaAlterColumn;
    ParseElementList();
  } else if (AtWord("DROP")) {
    ParseDropAction();
  } else if (AtWord("RENAME")) {
    ParseRenameAction();
  } else {
    RaiseAtToken(ErrDDLAlterUnknownAction, SAddDropAlterExpected);
  }
}

void TTolvanDDLAlterTable::ParseAddAction() {
  NextToken();
  if (AtWord("PRIMARY")) {
    FAction = taaAddPrimaryKey;
    ParseTablePrimaryKey();
  } else if (AtWord("FOREIGN")) {
    FAction = taaAddForeignKey;
    ParseForeignKey();
  } else {
    if (AtWord("COLUMN"))
      NextToken();
    FAction = taaAddColumn;
    ParseElementList();
  }
}

void TTolvanDDLAlterTable::ParseDropAction() {
  NextToken();
  if (AtWord("CONSTRAINT")) {
    FAction = taaDropConstraint;
    NextToken();
    if (!AtKind(NameKinds))
      RaiseAtToken(ErrDDLConstraintName, SConstraintNameExpected);
    FConstraintName = FToken.Text;
    if (!NextToken())
      return;
    if (AtWord("CASCADE"))
      FCascade = true;
    else if (!AtWord("RESTRICT"))
      RaiseExpected(ErrDDLConstraintOption, "CASCADE or RESTRICT");
    return;
  }
  FAction = taaDropColumn;
  if (AtWord("COLUMN"))
    NextToken();
  if (FToken.Kind == tktLeftParenthesis)
    NextToken();
  ParseFieldNames(FDropList);
}

void TTolvanDDLAlterTable::ParseRenameAction() {
  NextToken();
  if (AtWord("TO")) {
    FAction = taaRenameTable;
    NextToken();
    FNewTableName = FToken.Text;
    return;
  }
  FAction = taaRenameColumn;
  if (AtWord("COLUMN"))
    NextToken();
  const AnsiString OldName = FToken.Text;
  NextToken();
  if (!AtWord("TO"))
    RaiseExpected(ErrDDLRenameColumnTo, "TO");
  NextToken();
  FRenameFrom.Add(OldName);
  FRenameTo.Add(FToken.Text);
}

bool TTolvanDDLAlterTable::ApplyAction(TTolvanTable& Table) {
  TTolvanAdvFieldDefs& Defs = Table.StoredAdvFieldDefs();
  switch (FAction) {
  case taaAddColumn:
    for (int32_t I = 0; I < FColumns.Count(); ++I) {
      const TSQLFieldDef& Column = FColumns.Items(I);
      if (Defs.Find(Column.Name))
        throw ETolvanException::CreateFmt(ErrDDLFieldExists, SFieldAlreadyExists, Column.Name);
      ApplyColumnDef(Defs.AddDef(), Column);
    }
    AddUniqueIndexes(Table, TDDLIndexTarget::Restructure);
    return true;
  case taaDropColumn:
    for (int32_t I = 0; FDropList && I < FDropList->Count(); ++I)
      Defs.Delete(FDropList->Strings(I));
    return true;
  case taaAlterColumn:
    for (int32_t I = 0; I < FColumns.Count(); ++I) {
      const TSQLFieldDef& Column = FColumns.Items(I);
      TTolvanAdvFieldDef* Def = Defs.Find(Column.Name);
      if (!Def)
        throw ETolvanException::CreateFmt(ErrDDLAlterFieldNotFound, SFieldNotFound, Column.Name);
      ApplyColumnDef(*Def, Column);
    }
    return true;
  case taaRenameColumn:
    for (int32_t I = 0; I < FRenameFrom.Count(); ++I)
      Table.RenameField(FRenameFrom.Strings(I), FRenameTo.Strings(I));
    return false;
  case taaRenameTable:
    Table.RenameTable(FNewTableName);
    return false;
  case taaDropConstraint:
    Table.DropConstraint(FConstraintName, FCascade);
    return false;
  case taaAddPrimaryKey:
    AddPrimaryKeyIndex(Table, TDDLIndexTarget::Restructure);
    return true;
  case taaAddForeignKey:
    NameUnnamedForeignKeys(Table);
    for (int32_t I = 0; FForeignKeyDefs && I < FForeignKeyDefs->Count(); ++I)
      Table.AddForeignKey(*FForeignKeyDefs->Items(I));
    return false;
  }
  return false;
}

void TTolvanDDLAlterTable::Execute(TTolvanQuery& Query, bool /*IsRoot*/, bool /*RequestLive*/,
                                   bool& /*ReadOnly*/) {
  Wrapped(ErrDDLAlterFailed, SErrorAlteringTable, [&] {
    TTableGuard Table(NewComponent<TTolvanTable>(Query.Owner()));
    SetupDataSet(&*Table);
    Table->SetExclusive(true);
    // Opening a missing in-memory table would try to create it from no definitions.
    if (!Table->Exists())
      DatabaseError(Format(STableDoesNotExist, Table->TableName()));
    // Opening loads the stored definitions the action changes.
    Table->Open();
    Table->Close();
    if (ApplyAction(*Table)) {
      std::string Log;
      if (!Table->RestructureTable(Log))
        throw ETolvanException::CreateFmt(ErrDDLRestructureFailed, SRestructureTableError, Log);
    }
    Table.Release();
  });
}

// --- RENAME TABLE ------------------------------------------------------------------------------

void TTolvanDDLRenameTable::Parse() {
  if (!CurrentToken())
    throw ETolvanException::Create(ErrDDLRenameBlank, SBlankSqlCommand);
  FAction = taaRenameTable;
  ParseDDLTableName();
  if (!AtWord("TO"))
    RaiseExpected(ErrDDLRenameTableTo, "TO");
  NextToken();
  FNewTableName = FToken.Text;
}

} // namespace tolvan
