// TTolvanSQLUpdate and TTolvanSQLDelete: the rewrite into a live SELECT, and the batch and
// record paths over its result.
#include "sql/TolvanSQLUpdate.h"

#include <utility>

#include "classlib/DBFields.h"
#include "components/TolvanDataSet.h"
#include "components/TolvanQuery.h"
#include "foundation/TolvanExcept.h"
#include "foundation/TolvanMessages.h"
#include "foundation/TolvanTypesRoutines.h"
#include "foundation/TolvanVariant.h"
#include "schema/TolvanCursor.h"
#include "schema/TolvanRecordBuffer.h"
#include "schema/expr/TolvanExpression.h"
#include "sql/TolvanSQLGrammar.h"
#include "sql/TolvanSQLInsert.h"
#include "sql/TolvanSQLSelect.h"

namespace tolvan {

namespace {

// Calls the result cursor's end hook on every exit; a failure of the hook while another
// failure passes is dropped.
struct THookEnd {
  TTolvanCursor* Cursor;
  int32_t Number;
  bool Done = false;
  void Now() {
    Done = true;
    if (Cursor)
      Cursor->ReservedHook4(Number);
  }
  ~THookEnd() {
    if (Done || !Cursor)
      return;
    try {
      Cursor->ReservedHook4(Number);
    } catch (...) {
    }
  }
};

// Leaves a failed edit: the record being edited is given up, so the dataset can close.
void CancelPendingEdit(TTolvanDataSet& Result) noexcept {
  try {
    if (Result.State() == dsEdit || Result.State() == dsInsert)
      Result.Cancel();
  } catch (...) {
  }
}

} // namespace

// --- the shared frame ------------------------------------------------------------------------

TTolvanSQLChangeCommand::TTolvanSQLChangeCommand(TTolvanLexer& Lexer, TTolvanQuery& Query)
    : TTolvanSQLCommand(Lexer, Query) {}

TTolvanSQLChangeCommand::~TTolvanSQLChangeCommand() = default;

void TTolvanSQLChangeCommand::BindParams(const TTolvanSQLParams& Params) {
  TTolvanSQLCommand::BindParams(Params);
  // The tree is built afresh from the SELECT's parsed expressions, which take the values.
  if (FSelect)
    FSelect->BindParams(Params);
}

void TTolvanSQLChangeCommand::Close() {
  if (FSelect)
    FSelect->ReleaseTree();
  FSelect.reset();
}

void TTolvanSQLChangeCommand::Execute(TTolvanQuery& Query, bool IsRoot, bool /*RequestLive*/,
                                      bool& /*ReadOnly*/) {
  FRowsAffected = 0;
  FByRecord = false;
  const bool Kept = Query.Params().Count() > 0;
  BeforeRun(Query, Kept);
  TTolvanDataSet* Result = nullptr;
  try {
    Result = &RunInternalSelect(Query, IsRoot);
    ChangeRecords(*Result);
  } catch (...) {
    if (Result)
      CancelPendingEdit(*Result);
    ReleaseAfterRun(Kept, true);
    throw;
  }
  ReleaseAfterRun(Kept, false);
}

AnsiString TTolvanSQLChangeCommand::TargetName() const { return FTableName; }

void TTolvanSQLChangeCommand::ParseInternalSelect() {
  Lexer().SetPosition(0, FToken);
  FSelect = std::make_unique<TTolvanSQLSelect>(Lexer(), Query());
  FSelect->SetChangeTarget(true);
  FSelect->ParseAndRelease();
  // The SELECT stops at the first token outside its grammar; here nothing may follow it.
  CurrentToken();
  if (FToken.Kind != tktNone)
    RaiseAtToken(ErrChangeUnexpectedToken, SUnexpectedTokenAtLine2);
}

TTolvanDataSet& TTolvanSQLChangeCommand::RunInternalSelect(TTolvanQuery& Query, bool IsRoot) {
  if (!FSelect)
    throw ETolvanException::Create(ErrSQLNilTempObject, SNilPointerOccurred);
  // Only one table, named as such, is the table itself; a derived table would hand on its own
  // query's live result.
  const auto& From = FSelect->FromItems();
  if (From.size() != 1 || From.front()->Kind != trkTable)
    throw ETolvanException::CreateFmt(ErrChangeThroughCopy, SChangeThroughCopy, TargetName());
  // The tree is always built afresh: the table was closed after the previous run.
  bool ReadOnly = false;
  FSelect->Execute(Query, IsRoot, true, ReadOnly);
  TTolvanDataSet* Result = FSelect->GetResultDataSet();
  TTolvanCursor* Cursor = Result ? Result->Cursor() : nullptr;
  if (!Cursor)
    throw ETolvanException::Create(ErrSQLNilTempObject, SNilPointerOccurred);
  // Changes to a copy would be reported and lost.
  if (Cursor->IsTemporaryTable())
    throw ETolvanException::CreateFmt(ErrChangeThroughCopy, SChangeThroughCopy, TargetName());
  Result->SetEventSender(&Query);
  return *Result;
}

void TTolvanSQLChangeCommand::ReleaseAfterRun(bool Kept, bool Quiet) {
  if (!FSelect)
    return;
  if (Quiet) {
    try {
      FSelect->ReleaseTree();
    } catch (...) {
    }
  } else {
    FSelect->ReleaseTree();
  }
  if (!Kept)
    FSelect.reset();
}

std::vector<TTolvanRecordID> TTolvanSQLChangeCommand::CollectRecordIDs(TTolvanDataSet& Result) {
  std::vector<TTolvanRecordID> IDs;
  TTolvanCursor& Cursor = *Result.Cursor();
  const int64_t Count = Cursor.GetRecordCount();
  if (Count > 0)
    IDs.reserve(size_t(Count));
  Result.First();
  while (!Result.Eof()) {
    if (const uint8_t* Buffer = Result.CurrentRecordBuffer())
      IDs.push_back(LoadRecordID(Buffer, Cursor.RecordIDOffset()));
    Result.Next();
  }
  return IDs;
}

// --- UPDATE ----------------------------------------------------------------------------------

TTolvanSQLUpdate::TTolvanSQLUpdate(TTolvanLexer& Lexer, TTolvanQuery& Query)
    : TTolvanSQLChangeCommand(Lexer, Query) {}

TTolvanSQLUpdate::~TTolvanSQLUpdate() = default;

void TTolvanSQLUpdate::Parse() {
  const TToken Update = FToken;
  SQLGrammar->ParseUpdateTarget(*this);
  if (!AtWord("SET"))
    RaiseExpected(ErrUpdateSetExpected, "SET");
  ParseAssignments();
  // The assignments end at WHERE or at the end of the statement.
  const int32_t WhereIndex = FToken.Kind == tktNone ? Lexer().TokenCount() : Lexer().GetPosition();
  RewriteAsSelect(WhereIndex, Update);
  ParseInternalSelect();
}

void TTolvanSQLUpdate::ParseAssignments() {
  TTolvanQuery& Q = Query();
  const bool HasParams = Q.Params().Count() > 0;
  ReadNextToken(0, ErrSQLUnexpectedEnd);
  for (;;) {
    FSetColumns.Add(FToken.Text);
    if (!NextToken() || FToken.Kind != tktString || FToken.Text != "=")
      RaiseExpected(ErrUpdateEqualsExpected, "=");
    ReadNextToken(0, ErrSQLUnexpectedEnd);
    std::unique_ptr<TTolvanExpression> Value = NewQueryExpression();
    Value->ParseValue(Lexer());
    if (Value->IsEmpty())
      RaiseAtToken(ErrSQLExpressionExpected, SExpressionExpected);
    if (HasParams)
      Value->CollectParams(FParamNodes);
    FSetValues.push_back(std::move(Value));
    if (!CurrentToken() || AtWord("WHERE"))
      return;
    if (FToken.Kind != tktComma)
      RaiseExpected(ErrUpdateCommaExpected, ",");
    const int32_t Line = FToken.Line;
    const int32_t Column = FToken.Column;
    if (!NextToken())
      throw ETolvanException::CreateFmt(ErrUpdateUnexpectedEnd, SUnexpectedEndOfSqlCommand, Line,
                                        Column);
  }
}

void TTolvanSQLUpdate::RewriteAsSelect(int32_t WhereIndex, const TToken& At) {
  // The kept tokens move with the values the tokenizer gave their parameters: the SELECT's
  // parse reads them.
  std::vector<TToken>& Tokens = Lexer().Tokens();
  std::vector<TToken> Select;
  Select.reserve(Tokens.size() - size_t(WhereIndex) + 7);
  Select.push_back(MakeSQLKeyword("select", At));
  Select.push_back(MakeSQLToken(tktString, "*", At));
  Select.push_back(MakeSQLKeyword("from", At));
  SQLGrammar->AppendUpdateTarget(*this, Select, At);
  for (size_t I = size_t(WhereIndex); I < Tokens.size(); ++I)
    Select.push_back(std::move(Tokens[I]));
  Tokens = std::move(Select);
}

std::vector<TField*> TTolvanSQLUpdate::ResolveColumns(TTolvanDataSet& Result) const {
  std::vector<TField*> Fields;
  Fields.reserve(size_t(FSetColumns.Count()));
  for (int32_t I = 0; I < FSetColumns.Count(); ++I) {
    TField* Field = Result.Fields().FindField(FSetColumns.Strings(I));
    if (!Field)
      throw ETolvanException::CreateFmt(ErrChangeFieldNotFound, SCannotFindFieldInTable,
                                        FSetColumns.Strings(I), FTableName);
    Fields.push_back(Field);
  }
  return Fields;
}

bool TTolvanSQLUpdate::CanRunAsBatch(TTolvanDataSet& Result,
                                     const std::vector<TField*>& Fields) const {
  if (Result.HasBeforeUpdateRecordEvent() || Result.HasAfterUpdateRecordEvent())
    return false;
  for (size_t I = 0; I < FSetValues.size(); ++I) {
    if (!FSetValues[I]->IsConstant())
      return false;
    if (IsBlobFieldType(FieldTypeOfDataSetType(Fields[I]->DataType())) &&
        !FSetValues[I]->IsNullConstant())
      return false;
  }
  return true;
}

void TTolvanSQLUpdate::BeforeRun(TTolvanQuery& Query, bool Kept) {
  // Sub-queries answer before the table is opened, from current data.
  for (auto& Value : FSetValues) {
    Value->ResetSubQueries(Kept ? &Query.Params() : nullptr);
    Value->RunSubQueries();
  }
}

void TTolvanSQLUpdate::ChangeRecords(TTolvanDataSet& Result) {
  const std::vector<TField*> Fields = ResolveColumns(Result);
  TTolvanCursor* Cursor = Result.Cursor();
  for (auto& Value : FSetValues)
    Value->BindToCursor(Cursor);
  Cursor->ReservedHook3(HookUpdateBegin);
  THookEnd End{Cursor, HookUpdateEnd};
  if (CanRunAsBatch(Result, Fields)) {
    UpdateAsBatch(Result);
  } else {
    FByRecord = true;
    UpdateByRecord(Result, Fields);
  }
  End.Now();
}

void TTolvanSQLUpdate::UpdateAsBatch(TTolvanDataSet& Result) {
  // The values are copies: the table converts them in place to the columns' types.
  std::vector<std::unique_ptr<TTolvanVariant>> Owned;
  std::vector<TTolvanVariant*> Values;
  Owned.reserve(FSetValues.size());
  for (auto& Expression : FSetValues) {
    const TTolvanVariant* Value = Expression->Evaluate(true);
    if (!Value)
      throw ETolvanException::Create(ErrStoreValueIsNull, SValueIsNull);
    auto Copy = std::make_unique<TTolvanVariant>();
    Copy->Assign(*Value, true);
    Values.push_back(Copy.get());
    Owned.push_back(std::move(Copy));
  }
  const int64_t Count = Result.Cursor()->GetRecordCount();
  if (Count > 0)
    Result.UpdateAllRecords(FSetColumns, Values);
  FRowsAffected = Count;
}

void TTolvanSQLUpdate::UpdateByRecord(TTolvanDataSet& Result, const std::vector<TField*>& Fields) {
  const std::vector<TTolvanRecordID> IDs = CollectRecordIDs(Result);
  std::vector<std::unique_ptr<TTolvanVariant>> Values;
  std::vector<bool> HasValue(FSetValues.size());
  for (size_t I = 0; I < FSetValues.size(); ++I)
    Values.push_back(std::make_unique<TTolvanVariant>());
  for (const TTolvanRecordID& ID : IDs) {
    // A record a cascade took, or moved out of the result, is not this statement's any more.
    if (!Result.GotoRecordID(ID))
      continue;
    // Every value comes from the record as read, before any is stored: SET a = b, b = a swaps.
    uint8_t* Record = Result.CurrentRecordBuffer();
    for (size_t I = 0; I < FSetValues.size(); ++I) {
      FSetValues[I]->SetRecordBuffer(Record);
      const TTolvanVariant* Value = FSetValues[I]->Evaluate(true);
      HasValue[I] = Value != nullptr;
      if (Value)
        Values[I]->Assign(*Value, true);
    }
    Result.Edit();
    for (size_t I = 0; I < FSetValues.size(); ++I)
      StoreVariantInField(HasValue[I] ? Values[I].get() : nullptr, *Fields[I]);
    Result.Post();
    ++FRowsAffected;
  }
}

void TTolvanSQLUpdate::Close() {
  TTolvanSQLChangeCommand::Close();
  FSetValues.clear();
  FSetColumns.Clear();
}

// --- DELETE ----------------------------------------------------------------------------------

TTolvanSQLDelete::TTolvanSQLDelete(TTolvanLexer& Lexer, TTolvanQuery& Query)
    : TTolvanSQLChangeCommand(Lexer, Query) {}

TTolvanSQLDelete::~TTolvanSQLDelete() = default;

void TTolvanSQLDelete::Parse() {
  // DELETE FROM ... becomes SELECT * FROM ...: the table is named by the SELECT's FROM.
  const TToken Delete = FToken;
  std::vector<TToken>& Tokens = Lexer().Tokens();
  Tokens.insert(Tokens.begin(), TToken());
  Tokens[0] = MakeSQLKeyword("select", Delete);
  Tokens[1] = MakeSQLToken(tktString, "*", Delete);
  ParseInternalSelect();
}

AnsiString TTolvanSQLDelete::TargetName() const {
  if (FSelect && !FSelect->FromItems().empty()) {
    const TTolvanTableReference& Item = *FSelect->FromItems().front();
    return Item.TableName.empty() ? Item.Alias : Item.TableName;
  }
  return FTableName;
}

void TTolvanSQLDelete::ChangeRecords(TTolvanDataSet& Result) {
  if (Result.HasBeforeDeleteRecordEvent() || Result.HasAfterDeleteRecordEvent()) {
    FByRecord = true;
    TTolvanCursor* Cursor = Result.Cursor();
    Cursor->ReservedHook3(HookDeleteBegin);
    THookEnd End{Cursor, HookDeleteEnd};
    DeleteByRecord(Result);
    End.Now();
    return;
  }
  const int64_t Count = Result.Cursor()->GetRecordCount();
  if (Count > 0)
    Result.EmptyTable();
  FRowsAffected = Count;
}

void TTolvanSQLDelete::DeleteByRecord(TTolvanDataSet& Result) {
  const std::vector<TTolvanRecordID> IDs = CollectRecordIDs(Result);
  for (const TTolvanRecordID& ID : IDs) {
    if (!Result.GotoRecordID(ID))
      continue;
    Result.Delete();
    ++FRowsAffected;
  }
}

} // namespace tolvan
