// TolvanQuery.h: TTolvanQuery, the dataset that runs an SQL script and shows the cursor of its
// last statement; TTolvanQueryDataLink, which re-opens a detail query when its master moves.
//
// The query keeps the SQL text (with "?" placeholders rewritten into numbered parameters) and
// its parameters, which are parsed from the text: each distinct ":name" (case ignored) is one
// parameter, in order of first appearance. Running the text goes through an SQL processor that
// the query owns while it is prepared. The component layer cannot see the SQL layer, so the
// processor comes from a maker that the SQL layer registers at start-up (InitSQLLayer); without
// one, preparing raises "Error - SQL processor is switched off by compiler directives".
//
// States: unprepared <-> prepared (processor exists) <-> open (cursor attached). Opening
// prepares. Closing frees the processor when there are no parameters; a query with parameters
// stays prepared and re-runs its kept statements with the new values. A change of the SQL
// text, Disconnect and the release of the last use reason unprepare.
//
// Ownership: the query owns its processor, its SQL list, Params and the detail link. The result
// cursor belongs to the processor: the query never frees it.
//
// Threads: a query and its processor serve one thread at a time.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>

#include "classlib/DBParams.h"
#include "classlib/DataLinks.h"
#include "classlib/StringList.h"
#include "components/TolvanDataSet.h"
#include "schema/TolvanSQLProcessor.h"

namespace tolvan {

class TTolvanQuery;

inline constexpr int32_t ErrQueryOpen = 30141;
inline constexpr int32_t ErrQueryNoSQLPrepare = 30142;
inline constexpr int32_t ErrQueryNoSQLExecute = 20034;

// Makes the processor of a query; registered by the SQL layer. Empty withdraws it.
using TTolvanSQLProcessorMaker = std::function<std::unique_ptr<TTolvanSQLProcessor>(TTolvanQuery&)>;
// Registers Maker and returns what was registered before.
TTolvanSQLProcessorMaker RegisterSQLProcessorMaker(TTolvanSQLProcessorMaker Maker);

// Fills Params with one ftUnknown parameter per distinct parameter name of the SQL text (case
// ignored), in order of first appearance. A colon inside a string or a comment is no parameter.
// Text the tokenizer refuses keeps the parameters found before the error; Valid (when given) is
// then false.
void ParseSQLParams(std::string_view SQL, TParams& Params, bool* Valid = nullptr);

class TTolvanQueryDataLink : public TDetailDataLink {
public:
  explicit TTolvanQueryDataLink(TTolvanQuery& Query) noexcept : FQuery(Query) {}
  TDataSet* DetailDataSet() const override;

protected:
  void ActiveChanged() override;
  void RecordChanged(TField* Field) override;
  void CheckBrowseMode() override;

private:
  TTolvanQuery& FQuery;
};

class TTolvanQuery : public TTolvanDataSet {
public:
  // Use NewComponent / MakeComponent.
  TTolvanQuery();

  // --- text and parameters ----------------------------------------------------------------------

  TStringList& SQL() noexcept { return *FSQL; }
  const TStringList& SQL() const noexcept { return *FSQL; }
  // A different text disconnects the query, then replaces the lines (one change event).
  void SetSQL(const TStringList& Value);
  // Convenience: the whole text at once, as SetSQL.
  void SetSQLText(std::string_view Text);
  TParams& Params() noexcept { return *FParams; }
  const TParams& Params() const noexcept { return *FParams; }
  // Takes over the values of same-named parameters.
  void SetParams(const TParams& Value);
  TParam& ParamByName(std::string_view Name) { return FParams->ParamByName(Name); }
  bool ParamCheck() const noexcept { return FParamCheck; }
  void SetParamCheck(bool Value) noexcept { FParamCheck = Value; }
  bool RequestLive() const noexcept { return FRequestLive; }
  void SetRequestLive(bool Value) noexcept { FRequestLive = Value; }

  // --- master/detail
  // ------------------------------------------------------------------------------

  TDataSource* DataSource() const noexcept { return FDataLink->DataSource(); }
  // A source linked back to this query raises "Circular datalinks are not allowed".
  void SetDataSource(TDataSource* Value);

  // --- running
  // ------------------------------------------------------------------------------------

  void Prepare();
  void Unprepare();
  bool Prepared() const noexcept { return FPrepared; }
  // Runs the script on a closed query, dropping any result.
  void ExecSQL();
  // Rows affected by the last script (the processor's while prepared, else the count kept when
  // it was freed), clamped to 2 147 483 647; -1 before the first.
  int32_t RowsAffected() const noexcept;
  int64_t RowsAffected64() const noexcept;
  // The processor while prepared; nil otherwise.
  TTolvanSQLProcessor* Processor() const noexcept { return FProcessor.get(); }

  void Disconnect() override;
  // Clearing the last reason unprepares the query first.
  void SetDatabaseUse(TTolvanDataSetUseReason Reason, bool On) override;

  // --- provider support
  // ---------------------------------------------------------------------------

  void ProviderExecute() { ExecSQL(); }
  TParams& ProviderGetParams() noexcept { return *FParams; }
  // Non-empty Params are copied into Params; then the query closes.
  void ProviderSetParams(const TParams& Value);
  // A non-empty text becomes the SQL text.
  void ProviderSetCommandText(std::string_view Text);

  // Called by the link.
  void RefreshFromMaster();

protected:
  ~TTolvanQuery() override;
  void BeforeDestruction() override;

  TDataSource* GetDataSource() const;
  TDataSource* GetMasterSource() const override;
  void DetailLinkFields(std::vector<TField*>& MasterFields, std::vector<TField*>& DetailFields);
  TTolvanCursor* CreateCursor() override;
  void DestroyCursor() override;

private:
  friend class TTolvanQueryDataLink;

  void SQLChanged();
  // True when the text was rewritten (its change event then did the rest).
  bool RewriteQuestionMarks();
  void SetPrepared(bool Value);
  void CreateProcessor(std::string_view Text);
  void FreeProcessor() noexcept;
  // Runs the script; Open says whether a cursor is wanted. Answers the cursor or nil.
  TTolvanCursor* Execute(bool Open);
  void ParamsFromMaster();
  TTolvanCursor* PassParams(bool Open);

  std::unique_ptr<TTolvanSQLProcessor> FProcessor;
  std::unique_ptr<TStringList> FSQL;
  bool FPrepared = false;
  std::unique_ptr<TParams> FParams;
  std::unique_ptr<TTolvanQueryDataLink> FDataLink;
  int64_t FRowsAffected = -1;
  bool FRequestLive = false;
  bool FParamCheck = true;
  bool FRowsValid = false;
  bool FRewriting = false;
};

} // namespace tolvan
