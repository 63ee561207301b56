#include "sql/TolvanSQLInsert.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "classlib/DBFields.h"
#include "components/TolvanDataSetBlobStream.h"
#include "components/TolvanQuery.h"
#include "components/TolvanTable.h"
#include "components/TolvanTableCopy.h"
#include "foundation/TolvanExcept.h"
#include "foundation/TolvanMessages.h"
#include "foundation/TolvanTypesRoutines.h"
#include "foundation/TolvanVariant.h"
#include "schema/expr/TolvanExpression.h"
#include "sql/TolvanSQLGrammar.h"
#include "sql/TolvanSQLUnion.h"

namespace tolvan {

// --- StoreVariantInField -------------------------------------------------------------------------

namespace {

bool IsBlobField(TFieldType Type) {
  return Type == ftBlob || Type == ftMemo || Type == ftGraphic || Type == ftFmtMemo;
}

// The value's bytes as a BLOB takes them: text up to its terminating zero, anything else whole.
void WriteBlob(const TTolvanVariant& Value, TField& Field) {
  const auto* Data = static_cast<const uint8_t*>(Value.Data());
  int32_t Length = Value.DataSize();
  if (!Value.IsBlob() && Value.IsString())
    Length = ValueByteLength(Data, Value.DataSize(), FieldTypeOfValueType(Value.DataType()));
  TTolvanBlobStream Stream(Field, bmWrite);
  if (Length > 0)
    Stream.Write(Data, Length);
  Stream.Close();
}

// Native bytes of a fixed-size byte column: the value's bytes, zero-filled to the column's
// size; a value longer than the column is cut, as text is.
void WriteBytes(const TTolvanVariant& Value, TField& Field) {
  std::vector<uint8_t> Buffer(static_cast<size_t>(std::max(Field.DataSize(), 0)), 0);
  const size_t Count = std::min(Buffer.size(), static_cast<size_t>(std::max(Value.DataSize(), 0)));
  if (Count > 0)
    std::memcpy(Buffer.data(), Value.Data(), Count);
  Field.SetData(Buffer.data(), true);
}

} // namespace

void StoreVariantInField(const TTolvanVariant* Value, TField& Field) {
  if (!Value)
    throw ETolvanException::Create(ErrStoreValueIsNull, SValueIsNull);
  if (Value->IsNull()) {
    Field.Clear();
    return;
  }
  switch (Field.DataType()) {
  case ftDate:
    Field.SetAsDateTime(Value->GetAsDate());
    break;
  case ftTime:
    Field.SetAsDateTime(Value->GetAsTime());
    break;
  case ftDateTime:
  case ftTimeStamp:
    Field.SetAsDateTime(Value->GetAsDateTime());
    break;
  case ftBytes:
    WriteBytes(*Value, Field);
    break;
  case ftLargeint:
    Field.SetAsLargeInt(Value->GetAsLargeInt());
    break;
  default:
    if (IsBlobField(Field.DataType()))
      WriteBlob(*Value, Field);
    else
      Field.SetValue(Value->GetAsVariant());
    break;
  }
}

// --- parsing -------------------------------------------------------------------------------------

TTolvanSQLInsert::TTolvanSQLInsert(TTolvanLexer& Lexer, TTolvanQuery& Query)
    : TTolvanSQLCommand(Lexer, Query) {}

TTolvanSQLInsert::~TTolvanSQLInsert() = default;

void TTolvanSQLInsert::Parse() {
  const int32_t Line = FToken.Line;
  const int32_t Column = FToken.Column;
  if (!NextToken())
    throw ETolvanException::CreateFmt(ErrInsertUnexpectedEndAfterInsert, SUnexpectedEndOfSqlCommand,
                                      Line, Column);
  if (!AtWord("INTO"))
    RaiseExpected(ErrInsertIntoExpected, "INTO");
  SQLGrammar->ParseInsertTarget(*this);
  if (FToken.Kind == tktNone)
    return; // INSERT INTO t: one record of defaults
  if (FToken.Kind == tktLeftParenthesis) {
    ParseColumnList();
    RequireTokenAfterColumns();
  }
  if (AtWord("VALUES")) {
    ParseValueList();
    NextToken();
    RequireEnd();
  } else if (AtWord("SELECT")) {
    ParseQueryPart();
  } else {
    RequireEnd();
  }
}

void TTolvanSQLInsert::ParseColumnList() {
  FColumnNames = std::make_unique<TStringList>();
  for (;;) {
    ReadNextToken(0, ErrInsertUnexpectedEndAfterColumns, SUnexpectedEndOfSqlCommand);
    if (!AtKind(NameOrKeywordKinds))
      RaiseAtToken(ErrInsertFieldNameExpected, SFieldNameExpected);
    FColumnNames->Add(FToken.Text);
    ReadNextToken(TokenKinds({tktRightParenthesis, tktComma}), ErrInsertParenOrCommaExpected,
                  SClosingParenthesisOrCommaExpected);
    if (FToken.Kind == tktRightParenthesis)
      return;
  }
}

void TTolvanSQLInsert::RequireTokenAfterColumns() {
  const int32_t Line = FToken.Line;
  const int32_t Column = FToken.Column;
  if (!NextToken())
    throw ETolvanException::CreateFmt(ErrInsertUnexpectedEndAfterColumns,
                                      SUnexpectedEndOfSqlCommand, Line, Column);
}

void TTolvanSQLInsert::ParseValueList() {
  ReadNextToken(TokenKinds({tktLeftParenthesis}), ErrInsertOpenParenExpected,
                SOpeningParenthesisExpected);
  TTolvanQuery& Q = Query();
  const bool HasParams = Q.Params().Count() > 0;
  for (;;) {
    const int32_t Line = FToken.Line;
    const int32_t Column = FToken.Column;
    if (!NextToken())
      throw ETolvanException::CreateFmt(ErrInsertUnexpectedEndInValues, SUnexpectedEndOfSqlCommand,
                                        Line, Column);
    std::unique_ptr<TTolvanExpression> Value = NewQueryExpression();
    Value->ParseValue(Lexer());
    if (Value->IsEmpty())
      RaiseAtToken(ErrInsertBadValue, SErrorParsingParameter);
    if (HasParams)
      Value->CollectParams(FParamNodes);
    FValues.push_back(std::move(Value));
    const int32_t LastLine = FToken.Line;
    const int32_t LastColumn = FToken.Column;
    if (!CurrentToken())
      throw ETolvanException::CreateFmt(ErrInsertUnexpectedEndInValues, SUnexpectedEndOfSqlCommand,
                                        LastLine, LastColumn);
    if (FToken.Kind == tktRightParenthesis)
      return;
    if (FToken.Kind != tktComma)
      RaiseAtToken(ErrInsertParenOrCommaExpected, SClosingParenthesisOrCommaExpected);
  }
}

void TTolvanSQLInsert::ParseQueryPart() { FQueryPart = SQLGrammar->ParseInsertQuery(*this); }

void TTolvanSQLInsert::RequireEnd() {
  if (FToken.Kind != tktNone)
    RaiseAtToken(ErrInsertUnexpectedToken, SUnexpectedTokenAtLine2);
}

void TTolvanSQLInsert::BindParams(const TTolvanSQLParams& Params) {
  TTolvanSQLCommand::BindParams(Params);
  if (FQueryPart)
    FQueryPart->BindParams(Params);
}

// --- execution -----------------------------------------------------------------------------------

namespace {

// Closes the target on every exit: a pending insert is cancelled first; failures while
// unwinding are dropped, so the first failure is the one reported.
struct TTargetGuard {
  TTolvanTable* Table;
  bool Free;
  TComponentPtr<TTolvanTable>& Owner;
  bool Done = false;

  void CloseNow() {
    Done = true;
    Table->Close();
    if (Free)
      Owner.reset();
  }
  ~TTargetGuard() {
    if (Done)
      return;
    try {
      if (Table->State() == dsInsert || Table->State() == dsEdit)
        Table->Cancel();
    } catch (...) {
    }
    try {
      Table->Close();
    } catch (...) {
    }
    if (Free)
      Owner.reset();
  }
};

} // namespace

void TTolvanSQLInsert::OpenTarget(TTolvanQuery& Query) {
  if (!FTable) {
    FTable = MakeComponent<TTolvanTable>();
    SetupDataSet(FTable.get());
  }
  FTable->SetEventSender(&Query);
  try {
    FTable->Open();
  } catch (...) {
    FTable.reset();
    FMapped = false;
    throw;
  }
}

void TTolvanSQLInsert::Execute(TTolvanQuery& Query, bool IsRoot, bool /*RequestLive*/,
                               bool& ReadOnly) {
  FRowsAffected = 0;
  const bool Kept = Query.Params().Count() > 0;
  // Sub-queries answer before the target is opened, from current data.
  for (auto& Value : FValues) {
    Value->ResetSubQueries(Kept ? &Query.Params() : nullptr);
    Value->RunSubQueries();
  }
  OpenTarget(Query);
  TTargetGuard Guard{FTable.get(), !Kept, FTable};
  if (FQueryPart)
    CopyFromQuery(Query, IsRoot, ReadOnly);
  else
    InsertValues(Query);
  Guard.CloseNow();
  if (!Kept)
    FQueryPart.reset();
}

void TTolvanSQLInsert::CopyFromQuery(TTolvanQuery& Query, bool IsRoot, bool& ReadOnly) {
  bool SourceReadOnly = ReadOnly;
  if (FReExecuting)
    FQueryPart->ReExecute(Query, false, SourceReadOnly);
  else
    FQueryPart->Execute(Query, IsRoot, false, SourceReadOnly);
  TTolvanDataSet* Source = FQueryPart->GetResultDataSet();
  if (!Source)
    throw ETolvanException::Create(10681, SNilPointerOccurred);
  const int64_t Before = FTable->RecordCount();
  std::string Log;
  CopyTableData(*Source, *FTable, true, tbopCopy, Log);
  FRowsAffected = int64_t(FTable->RecordCount()) - Before;
  if (!Log.empty())
    throw ETolvanException::CreateFmt(ErrInsertFromSelectFailed, SInsertFromSelectFailed,
                                      FTableName, Log);
}

void TTolvanSQLInsert::MapValuesToFields() {
  FFieldNos.clear();
  const int32_t FieldCount = FTable->Fields().Count();
  const int32_t ValueCount = static_cast<int32_t>(FValues.size());
  const bool ByName =
      FColumnNames && FColumnNames->Count() > 0 && FColumnNames->Count() == ValueCount;
  if (!ByName && ValueCount > FieldCount)
    throw ETolvanException::CreateFmt(ErrInsertTooManyValues, SInsertTooManyValues, ValueCount,
                                      FTableName, FieldCount);
  for (int32_t K = 0; K < ValueCount; ++K) {
    if (!ByName) {
      FFieldNos.push_back(K);
      continue;
    }
    const AnsiString Name = FColumnNames->Strings(K);
    int32_t No = -1;
    for (int32_t I = 0; I < FieldCount && No < 0; ++I)
      if (AnsiSameText(FTable->Fields()[I].FieldName(), Name))
        No = I;
    if (No < 0)
      throw ETolvanException::CreateFmt(ErrInsertFieldNotFound, SCannotFindFieldInTable, Name,
                                        FTableName);
    FFieldNos.push_back(No);
  }
  FMapped = true;
}

void TTolvanSQLInsert::InsertValues(TTolvanQuery& Query) {
  // A kept command maps once; the fields of the reopened table are checked against the map.
  if (!FMapped || Query.Params().Count() == 0)
    MapValuesToFields();
  const int32_t FieldCount = FTable->Fields().Count();
  for (int32_t No : FFieldNos)
    if (No >= FieldCount) {
      FMapped = false;
      MapValuesToFields();
      break;
    }
  FTable->Insert();
  for (size_t K = 0; K < FValues.size(); ++K) {
    TField& Field = FTable->Fields()[FFieldNos[K]];
    const TTolvanVariant* Value = FValues[K]->Evaluate(true);
    if (!Value) {
      const AnsiString Name = FColumnNames && int32_t(K) < FColumnNames->Count()
                                  ? FColumnNames->Strings(int32_t(K))
                                  : Field.FieldName();
      throw ETolvanException::CreateFmt(
          ErrInsertValueUndefined, SParameterValueUndefined, Name,
          FieldTypeToSQLName(FieldTypeOfDataSetType(Field.DataType())));
    }
    StoreVariantInField(Value, Field);
  }
  FTable->Post();
  FRowsAffected = 1;
}

void TTolvanSQLInsert::Close() {
  FQueryPart.reset();
  if (FTable) {
    FTable->Close();
    FTable.reset();
  }
  FMapped = false;
}

} // namespace tolvan
