#include "components/TolvanQuery.h"

#include <exception>
#include <limits>
#include <mutex>

#include "classlib/DBConsts.h"
#include "components/TolvanDatabase.h"
#include "foundation/TolvanExcept.h"
#include "foundation/TolvanTypesRoutines.h"
#include "schema/TolvanCursor.h"
#include "schema/expr/TolvanLexer.h"

namespace tolvan {

namespace {

constexpr std::string_view SNoSQLStatement = "No SQL statement available";
constexpr std::string_view SProcessorSwitchedOff =
    "Error - SQL processor is switched off by compiler directives";
constexpr std::string_view SExecuteBlocked = "Execute SQL script is blocked by database event";

std::mutex& MakerLock() {
  static std::mutex Lock;
  return Lock;
}

TTolvanSQLProcessorMaker& Maker() {
  static TTolvanSQLProcessorMaker Value;
  return Value;
}

TTolvanSQLProcessorMaker CurrentMaker() {
  std::lock_guard<std::mutex> Guard(MakerLock());
  return Maker();
}

template <class F> void KeepFirst(std::exception_ptr& Failure, F&& Step) noexcept {
  try {
    Step();
  } catch (...) {
    if (!Failure)
      Failure = std::current_exception();
  }
}

int32_t ClampToInt32(int64_t Value) noexcept {
  if (Value > std::numeric_limits<int32_t>::max())
    return std::numeric_limits<int32_t>::max();
  if (Value < std::numeric_limits<int32_t>::min())
    return std::numeric_limits<int32_t>::min();
  return int32_t(Value);
}

// One framework parameter as the processor reads it.
void PassParam(const TParam& Source, TTolvanSQLParam& Dest) {
  Dest.SetName(Source.Name());
  if (Source.IsNull()) {
    Dest.Clear();
    return;
  }
  const TFieldType DataType = Source.DataType();
  const TTolvanValueType ValueType = ValueTypeOfFieldType(FieldTypeOfDataSetType(DataType));
  Dest.Clear(ValueType);
  switch (DataType) {
  case ftBlob:
  case ftMemo:
  case ftGraphic:
  case ftFmtMemo: {
    const AnsiString Bytes = Source.AsString();
    if (!Bytes.empty())
      Dest.SetBuffer(const_cast<char*>(Bytes.data()), int32_t(Bytes.size()), ValueType, true,
                     false);
    break;
  }
  case ftWideString:
    Dest.SetAsWideString(Source.AsWideString());
    break;
  default:
    Dest.SetAsVariant(Source.Value());
    break;
  }
}

} // namespace

TTolvanSQLProcessorMaker RegisterSQLProcessorMaker(TTolvanSQLProcessorMaker Value) {
  std::lock_guard<std::mutex> Guard(MakerLock());
  TTolvanSQLProcessorMaker Old = std::move(Maker());
  Maker() = std::move(Value);
  return Old;
}

void ParseSQLParams(std::string_view SQL, TParams& Params, bool* Valid) {
  Params.Clear();
  if (Valid)
    *Valid = true;
  std::unique_ptr<TTolvanLexer> Lexer;
  auto Collect = [&] {
    for (const TToken& T : Lexer->Tokens())
      if (T.Kind == tktParameter && !Params.FindParam(T.Text))
        Params.CreateParam(ftUnknown, T.Text);
  };
  try {
    Lexer = std::make_unique<TTolvanLexer>(SQL, nullptr);
    while (Lexer->NextStatement())
      Collect();
  } catch (const Exception&) {
    // The failing statement keeps its tokens up to the error; the text itself is refused
    // again, with its message, when it runs.
    if (Lexer)
      Collect();
    if (Valid)
      *Valid = false;
  }
}

// --- the detail link -----------------------------------------------------------------------------

TDataSet* TTolvanQueryDataLink::DetailDataSet() const { return &FQuery; }

void TTolvanQueryDataLink::ActiveChanged() {
  if (FQuery.Active())
    FQuery.RefreshFromMaster();
}

void TTolvanQueryDataLink::RecordChanged(TField* Field) {
  if (!Field && FQuery.Active())
    FQuery.RefreshFromMaster();
}

void TTolvanQueryDataLink::CheckBrowseMode() {
  if (FQuery.Active())
    FQuery.CheckBrowseMode();
}

// --- life cycle ----------------------------------------------------------------------------------

TTolvanQuery::TTolvanQuery()
    : FSQL(std::make_unique<TStringList>()), FParams(std::make_unique<TParams>()),
      FDataLink(std::make_unique<TTolvanQueryDataLink>(*this)) {
  FSQL->SetOnChange([this](TStringList&) { SQLChanged(); });
}

TTolvanQuery::~TTolvanQuery() {
  // Only after a teardown that could not finish: the cursor the dataset may still name belongs
  // to the processor, so the reference goes first.
  FDataLink.reset();
  FreeProcessor();
}

void TTolvanQuery::BeforeDestruction() {
  std::exception_ptr Failure;
  KeepFirst(Failure, [&] { Disconnect(); });
  KeepFirst(Failure, [&] { TTolvanDataSet::BeforeDestruction(); });
  // The link leaves its source here, while the query still has its full type.
  FDataLink->SetDataSource(nullptr);
  FreeProcessor();
  if (Failure)
    std::rethrow_exception(Failure);
}

void TTolvanQuery::Disconnect() {
  std::exception_ptr Failure;
  KeepFirst(Failure, [&] { Close(); });
  KeepFirst(Failure, [&] { Unprepare(); });
  KeepFirst(Failure, [&] { TTolvanDataSet::Disconnect(); });
  if (Failure)
    std::rethrow_exception(Failure);
}

// --- text and parameters -------------------------------------------------------------------------

void TTolvanQuery::SetSQL(const TStringList& Value) {
  if (Value.Text() == FSQL->Text())
    return;
  Disconnect();
  FSQL->Assign(Value);
}

void TTolvanQuery::SetSQLText(std::string_view Text) {
  TStringList Lines;
  Lines.SetText(Text);
  SetSQL(Lines);
}

void TTolvanQuery::SetParams(const TParams& Value) { FParams->AssignValues(Value); }

void TTolvanQuery::SQLChanged() {
  if (ComponentState() & csLoading) {
    RewriteQuestionMarks();
    return;
  }
  Disconnect();
  // The rewrite's own change of the text comes back here and does the rest.
  if (!FRewriting && RewriteQuestionMarks())
    return;
  if (FParamCheck || (ComponentState() & csDesigning)) {
    auto Parsed = std::make_unique<TParams>();
    ParseSQLParams(FSQL->Text(), *Parsed);
    Parsed->AssignValues(*FParams);
    FParams = std::move(Parsed);
  }
  DataEvent(dePropertyChange);
}

bool TTolvanQuery::RewriteQuestionMarks() {
  const AnsiString Text = FSQL->Text();
  if (Text.find('?') == AnsiString::npos)
    return false;
  AnsiString Rewritten;
  try {
    Rewritten = ReplaceQuestionMarkParams(Text);
  } catch (const ETolvanException&) {
    // Text the tokenizer refuses is refused when it runs, with the tokenizer's message.
    return false;
  }
  if (Rewritten == Text)
    return false;
  struct TRewriting {
    bool& Flag;
    ~TRewriting() { Flag = false; }
  } Guard{FRewriting};
  FRewriting = true;
  FSQL->SetText(Rewritten);
  return true;
}

// --- master/detail -------------------------------------------------------------------------------

void TTolvanQuery::SetDataSource(TDataSource* Value) {
  if (Value && IsLinkedTo(Value))
    DatabaseError(DBConsts::SCircularDataLink);
  FDataLink->SetDataSource(Value);
}

TDataSource* TTolvanQuery::GetDataSource() const { return FDataLink->DataSource(); }

TDataSource* TTolvanQuery::GetMasterSource() const { return FDataLink->DataSource(); }

void TTolvanQuery::DetailLinkFields(std::vector<TField*>& MasterFields,
                                    std::vector<TField*>& DetailFields) {
  MasterFields.clear();
  DetailFields.clear();
  TDataSet* Master = FDataLink->DataSet();
  if (!Master)
    return;
  for (int32_t I = 0; I < FParams->Count(); ++I) {
    const AnsiString& Name = FParams->Items(I).Name();
    TField* MasterField = Master->FindField(Name);
    if (!MasterField)
      continue;
    MasterFields.push_back(MasterField);
    if (TField* Own = FindField(Name))
      DetailFields.push_back(Own);
  }
}

void TTolvanQuery::ParamsFromMaster() {
  TDataSet* Master = FDataLink->DataSet();
  if (!Master)
    return;
  Master->FieldDefs().Update();
  for (int32_t I = 0; I < FParams->Count(); ++I) {
    TParam& P = FParams->Items(I);
    if (P.Bound())
      continue;
    const AnsiString Name = P.Name();
    P.AssignField(Master->FieldByName(Name));
    // The value comes from the master every time: the parameter stays unbound, and keeps the
    // name the text gave it.
    P.SetName(Name);
    P.SetBound(false);
  }
}

void TTolvanQuery::RefreshFromMaster() {
  TDataSet* Master = FDataLink->DataSet();
  if (!Master || !Master->Active() || Master->State() == dsSetKey)
    return;
  DisableControls();
  std::exception_ptr Failure;
  KeepFirst(Failure, [&] {
    Close();
    Open();
  });
  KeepFirst(Failure, [&] { EnableControls(); });
  if (Failure)
    std::rethrow_exception(Failure);
}

// --- preparing -----------------------------------------------------------------------------------

void TTolvanQuery::Prepare() {
  const bool Held = HoldsReason(durQueryPrepared);
  SetDatabaseUse(durQueryPrepared, true);
  try {
    SetPrepared(true);
  } catch (...) {
    // A query that did not prepare holds nothing for it.
    if (!Held && !FPrepared) {
      try {
        SetDatabaseUse(durQueryPrepared, false);
      } catch (...) {
      }
    }
    throw;
  }
}

void TTolvanQuery::Unprepare() {
  SetPrepared(false);
  SetDatabaseUse(durQueryPrepared, false);
}

void TTolvanQuery::SetPrepared(bool Value) {
  // The result cursor belongs to the processor: neither preparing anew nor freeing the
  // processor may happen under an attached cursor.
  if (Cursor())
    throw ETolvanException::Create(ErrQueryOpen, DBConsts::SDataSetOpen);
  if (Value == FPrepared)
    return;
  if (Value) {
    FRowsAffected = -1;
    FRowsValid = true;
    const AnsiString Text = FSQL->Text();
    if (Text.size() < 2)
      throw ETolvanException::Create(ErrQueryNoSQLPrepare, SNoSQLStatement);
    CreateProcessor(Text);
  } else {
    if (FRowsValid && FProcessor)
      FRowsAffected = FProcessor->RowsAffected();
    FreeProcessor();
    SetExternalCursor(nullptr);
  }
  FPrepared = Value;
}

void TTolvanQuery::CreateProcessor(std::string_view Text) {
  if (TTolvanDatabase* Held = Database(); Held && !Held->LocalDatabase() && !InMemory())
    DatabaseError(SProcessorSwitchedOff);
  TTolvanSQLProcessorMaker Make = CurrentMaker();
  if (!Make)
    DatabaseError(SProcessorSwitchedOff);
  std::unique_ptr<TTolvanSQLProcessor> Made = Make(*this);
  if (!Made)
    DatabaseError(SProcessorSwitchedOff);
  Made->SetRequestLive(FRequestLive);
  Made->SetInMemory(InMemory());
  Made->SetSQLText(AnsiString(Text).c_str());
  FProcessor = std::move(Made);
}

void TTolvanQuery::FreeProcessor() noexcept { FProcessor.reset(); }

void TTolvanQuery::SetDatabaseUse(TTolvanDataSetUseReason Reason, bool On) {
  // The processor's commands hold tables of the database: they go before it is released.
  if (!On && FPrepared && HoldsReason(Reason) &&
      DatabaseUse() == TTolvanDataSetUseReasons(1u << Reason))
    SetPrepared(false);
  TTolvanDataSet::SetDatabaseUse(Reason, On);
}

// --- running -------------------------------------------------------------------------------------

void TTolvanQuery::ExecSQL() {
  CheckInactive();
  SetDatabaseUse(durQueryExecuting, true);
  std::exception_ptr Failure;
  KeepFirst(Failure, [&] { Execute(false); });
  KeepFirst(Failure, [&] { SetDatabaseUse(durQueryExecuting, false); });
  if (Failure)
    std::rethrow_exception(Failure);
}

TTolvanCursor* TTolvanQuery::Execute(bool Open) {
  if (FSQL->Count() == 0)
    throw ETolvanException::Create(ErrQueryNoSQLExecute, SNoSQLStatement);
  if (HasBeforeExecuteSQLEvent()) {
    bool Abort = false;
    Database()->FireBeforeExecuteSQL(this, Abort);
    if (Abort)
      DatabaseError(SExecuteBlocked);
  }
  // Prepared always goes with its use reason, so that a query kept prepared between opens keeps
  // the database its commands read.
  Prepare();
  if (FDataLink->DataSource())
    ParamsFromMaster();
  TTolvanCursor* Result = PassParams(Open);
  if (HasAfterExecuteSQLEvent())
    Database()->FireAfterExecuteSQL(this);
  FRowsValid = Result == nullptr;
  return Result;
}

TTolvanCursor* TTolvanQuery::PassParams(bool Open) {
  if (FParams->Count() > 0) {
    TTolvanSQLParams& Target = FProcessor->Params();
    Target.Clear();
    for (int32_t I = 0; I < FParams->Count(); ++I)
      PassParam(FParams->Items(I), Target.Add());
  }
  if (!Open) {
    FProcessor->ExecSQL();
    return nullptr;
  }
  TTolvanCursor* Result = FProcessor->Execute();
  if (Result)
    Result->SetDesignState(DesignStateFlag());
  SetReadOnly(FProcessor->ReadOnlyResult() || (Database() && Database()->ReadOnly()));
  SetProjectionApplied(Result && Result->ProjectionSet());
  return Result;
}

int32_t TTolvanQuery::RowsAffected() const noexcept { return ClampToInt32(RowsAffected64()); }

int64_t TTolvanQuery::RowsAffected64() const noexcept {
  return FPrepared && FProcessor ? FProcessor->RowsAffected() : FRowsAffected;
}

// --- the cursor ----------------------------------------------------------------------------------

TTolvanCursor* TTolvanQuery::CreateCursor() {
  if (TTolvanCursor* External = ExternalCursor())
    return External;
  TTolvanCursor* Result = Execute(true);
  BorrowCreatedCursor();
  return Result;
}

void TTolvanQuery::DestroyCursor() {
  // The cursor belongs to the processor: the base only lets go of it.
  TTolvanDataSet::DestroyCursor();
  // Without parameters there is nothing to re-run with: the next open parses again. Freeing
  // the processor is unpreparing, so the prepared flag and the count stay true to it.
  if (FParams->Count() == 0)
    Unprepare();
}

// --- provider support ----------------------------------------------------------------------------

void TTolvanQuery::ProviderSetParams(const TParams& Value) {
  if (Value.Count() > 0)
    FParams->Assign(Value);
  Close();
}

void TTolvanQuery::ProviderSetCommandText(std::string_view Text) {
  if (!Text.empty())
    SetSQLText(Text);
}

} // namespace tolvan
