// TolvanAO.h: TTolvanAO, the base of the relational operators a SELECT runs as.
//
// An operator (table leaf, join, union, group-by) shows its rows as output fields. Each output
// field is a TTolvanFieldLink naming where its value comes from: a field of a child operator, a
// field of a dataset (a table leaf's source, or the operator's own result table once the rows
// are materialised), or an expression computed over the operator's own fields. The base holds
// what every operator shares:
//
//   lookup      FindFields resolves a name (or "*") with an optional table or alias to output
//               fields, asking the children first and mapping what they find to the links that
//               come from them, so a reference binds to the field of the operator it is bound
//               to. A child field maps to its first link only (a column selected twice is
//               still one field). Lookups may unhide fields: a table leaf shows every column
//               hidden until a select list, ORDER BY or expression asks for it.
//   values      GetFieldValue reads the current row through the link chain down to a dataset or
//               an expression; GetFieldType/Size/Precision report the link's type.
//   select list SetSelectList turns the parser's items into the visible fields, in output
//               order; SelectedCount of them are the result's columns, any later ones exist
//               only for ORDER BY.
//   ORDER BY    SetOrderBy resolves numbers and names to visible fields and keeps the sort as
//               three ';' texts and three lists; the visible field of every item is kept, so the
//               sort follows the column the item named even when result columns share a name.
//   parameters  CollectParams/GatherParams find the statement's parameter constants; a tree
//               marked by SetKeepForRerun keeps its children and links so that it can run again
//               with new values (SaveFieldLinks, ResetForReexecution, ResetSubQueries).
//
// Only the operations the derived operators override are virtual.
//
// Ownership: an operator owns its children, its filter, its result dataset and the store of its
// computed expressions; links borrow the expressions from that store, so copies of links (a
// column selected twice, the saved links of a kept tree) never free anything. Source operators
// and datasets of links are borrowed: whoever frees one clears the links naming it first
// (ForgetSource), so a late read raises 10309 instead of touching freed memory.
//
// Threads: a tree serves one thread at a time.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "classlib/Components.h"
#include "classlib/DBParams.h"
#include "classlib/StringList.h"
#include "foundation/TolvanArrays.h"
#include "schema/expr/TolvanExprNodes.h"
#include "schema/expr/TolvanExprServices.h"
#include "schema/expr/TolvanExpression.h"
#include "sql/TolvanFieldLinks.h"

namespace tolvan {

class TTolvanDataSet;
class TTolvanTable;
class TTolvanRecordComparison;

// Native codes of the operator base.
inline constexpr int32_t ErrAOSelectFieldNotFound = 10305;
inline constexpr int32_t ErrAOGetFieldNameFieldNo = 10306;
inline constexpr int32_t ErrAOGetFieldValueFieldNo = 10307;
inline constexpr int32_t ErrAOInvalidFieldLink = 10309;
inline constexpr int32_t ErrAOHiddenFieldAccess = 10310;
inline constexpr int32_t ErrAOGetFieldTypeFieldNo = 10376;
inline constexpr int32_t ErrAOGetFieldSizeFieldNo = 10377;
inline constexpr int32_t ErrAOGetFieldPrecisionFieldNo = 10378;
inline constexpr int32_t ErrAOSubQueryAlias = 11655;
inline constexpr int32_t ErrAOOrderByFieldNo = 11666;
inline constexpr int32_t ErrAOOrderByColumnNotFound = 30195;
inline constexpr int32_t ErrAODerivedTableUnsupported = 11394;
inline constexpr int32_t ErrAOResultIndexCount = 11385;

// The BLOB block size of a computed BLOB field.
inline constexpr int32_t DefaultComputedBlobBlockSize = 102400;

// Makes the dataset of a derived table (a sub-query in FROM) from its SQL text. The query
// component registers it; until then a derived table raises 11394.
using TTolvanDerivedTableFactory =
    std::function<TComponentPtr<TTolvanDataSet>(std::string_view SQL)>;
// Registers Factory (empty withdraws it) and returns what was registered before.
TTolvanDerivedTableFactory RegisterDerivedTableFactory(TTolvanDerivedTableFactory Factory);

class TTolvanAO : public IExprRowSource {
public:
  // Base initialisation. With a sub-query text the alias must not be empty (11655) and the
  // result dataset comes from the derived-table factory; otherwise it is a new TTolvanTable.
  TTolvanAO(std::unique_ptr<TTolvanAO> Left, std::unique_ptr<TTolvanAO> Right,
            std::string_view SubQuery, std::string_view Alias, std::string_view TableName);
  ~TTolvanAO() override;
  TTolvanAO(const TTolvanAO&) = delete;
  TTolvanAO& operator=(const TTolvanAO&) = delete;

  // --- iteration ------------------------------------------------------------------------------

  virtual void LiveFirst() {}
  virtual void LiveNext() {}
  virtual bool LiveEof() { return false; }
  // The result's record count once materialised, else 0.
  virtual int64_t LiveRecordCount();
  // The result dataset once materialised, else the live operations.
  void First();
  void Next();
  bool Eof();
  int64_t RecordCount();

  // --- configuration by the plan --------------------------------------------------------------

  void SetFilter(std::unique_ptr<TTolvanExpression> Expression);
  void SetResultTarget(bool InMemory, std::string_view TableName, std::string_view DatabaseName);
  // The owner query's session, which an INTO target may be bound to (TargetBinding).
  void SetResultSessionName(std::string_view SessionName) { FIntoSessionName = SessionName; }
  // A negative Start (not given) is stored as 1.
  void SetTop(int64_t Start, int64_t Count);
  bool HasTop() const noexcept { return FTopRowCount >= 0 || FTopStartRow >= 0; }
  void RequestDistinct() noexcept { FDistinctRequested = true; }
  // Marks this operator and every operator under it as kept for re-runs with new parameter
  // values: children, expressions, ORDER BY lists and links stay, and Prepare re-arms the
  // tree. Called before the first Prepare.
  void SetKeepForRerun() noexcept;
  // Resets every sub-query of the filter, of the computed expressions and of the children's,
  // with new parameter values, before a re-run.
  void ResetSubQueries(const TParams* Params);
  // Runs every sub-query of the tree that has not run since its reset (filters, computed
  // expressions, conditions handed to cursors, children), before the tree takes any lock.
  void RunSubQueries();

  // --- execution (TolvanAOExecute.cpp) -------------------------------------------------------

  // Runs the operator once: re-arms a kept tree that ran before, collects parameters, prepares
  // the children, then executes. An operator not kept for re-runs frees its ORDER BY lists
  // afterwards, whatever happened.
  void Prepare(bool IsRoot);
  // Materialises the rows into the result table unless that happened already. A failure leaves
  // the operator not materialised.
  virtual void Execute();
  virtual void CreateResultTable();
  // True without a filter (or an emptied one); else the filter's value, null counting as false.
  bool PassesFilter();
  // The result table's column names, unique among themselves, per visible field.
  const std::vector<AnsiString>& ResultFieldNames() const noexcept { return FResultNames; }

  // --- select list ----------------------------------------------------------------------------

  // Items up to Highest (-1: none, meaning "*"); computed items' expressions move into the
  // operator's store. A name found nowhere raises 10305.
  virtual void SetSelectList(std::span<TTolvanSelectListItem> Items, int32_t Highest,
                             bool Distinct);

  // --- lookup and values (IExprRowSource) -----------------------------------------------------

  int32_t FindFields(std::string_view Name, std::string_view Table, bool Unhide,
                     TTolvanIntegerArray* Result, bool KeepHidden) final;
  // The field's name: the own link's name with OwnName, else the name its source gives it.
  // 10306 outside the fields.
  void GetFieldName(int32_t FieldNo, bool OwnName, AnsiString& Name);
  void GetFieldValue(TTolvanVariant& Value, int32_t FieldNo, bool ReadOption,
                     bool AllowHidden) override;
  TTolvanFieldType GetFieldType(int32_t FieldNo) final;
  int32_t GetFieldSize(int32_t FieldNo) final;
  int32_t GetFieldPrecision(int32_t FieldNo);

  bool IsJoin() const override { return false; }
  TTolvanJoinType JoinType() const override { return jtCross; }
  int32_t InputCount() const override;
  IExprRowSource* Input(int32_t Index) override;
  std::unique_ptr<TTolvanExpression>& Filter() override { return FFilter; }
  const TTolvanFieldDefs* TableFieldDefs() override { return nullptr; }
  TTolvanCursor* TableCursor() override { return nullptr; }

  virtual void LockSources();
  virtual void UnlockSources();

  // --- ORDER BY -------------------------------------------------------------------------------

  // With IndexName, ORDER BY INDEX. Otherwise each item's field (a number counts the visible
  // fields from 1: 11666 beyond them; a name not found: 30195) becomes visible if it was not.
  void SetOrderBy(std::span<const TTolvanSortSpecification> Items, std::string_view IndexName);
  void SetOrderByStrings(std::string_view Fields, std::string_view DescendingFields,
                         std::string_view CaseInsensitiveFields, std::string_view IndexName,
                         bool UseOrderIndex);
  // ORDER BY every non-hidden field by name, in output order, ascending, case-sensitive.
  void OrderOnAllColumns();

  // --- parameters and re-runs -----------------------------------------------------------------

  // Collects into the own list, once and never after the list was gathered, and notes
  // whether the operator has parameters.
  void CollectOwnParams();
  // Appends the parameter constants of the computed expressions and of the filter.
  virtual void CollectParams(std::vector<TTolvanExprNodeConst*>& List);
  virtual void SaveFieldLinks();
  virtual void ResetForReexecution();

  // --- naming ---------------------------------------------------------------------------------

  // Every link takes the name of the field it finally comes from, then clashes (ignoring case)
  // with earlier names get suffixes: X, X_1, X_12, X_123, ...
  void MakeFieldNamesUnique();

  // --- state ----------------------------------------------------------------------------------

  TTolvanAO* Left() const noexcept { return FLeft.get(); }
  TTolvanAO* Right() const noexcept { return FRight.get(); }
  const AnsiString& TableName() const noexcept { return FTableName; }
  const AnsiString& Alias() const noexcept { return FAlias; }
  bool IsTableLeaf() const noexcept { return FIsTableLeaf; }
  bool Materialised() const noexcept { return FMaterialised; }
  bool HasParameters() const noexcept { return FHasParameters; }
  bool KeepForRerun() const noexcept { return FKeepForRerun; }
  bool LinksSaved() const noexcept { return FLinksSaved; }
  bool DistinctRequested() const noexcept { return FDistinctRequested; }
  int64_t TopRowCount() const noexcept { return FTopRowCount; }
  int64_t TopStartRow() const noexcept { return FTopStartRow; }
  TTolvanDataSet* ResultDataSet() const noexcept { return FResultDataSet.get(); }

  int32_t FieldCount() const noexcept { return int32_t(FFieldLinks.size()); }
  const TTolvanFieldLink& FieldLink(int32_t FieldNo) const {
    return FFieldLinks.at(size_t(FieldNo));
  }
  const TTolvanIntegerArray& VisibleFields() const noexcept { return FVisibleFields; }
  int32_t SelectedCount() const noexcept { return FSelectedCount; }
  bool HasComputedFields() const noexcept { return FHasComputedFields; }
  bool HasAggregate() const noexcept { return FHasAggregate; }

  // ORDER BY state: the texts, the lists (nil without a field list) and, per item of the last
  // SetOrderBy, the output field it named.
  const AnsiString& OrderByFieldsText() const noexcept { return FOrderByFieldsText; }
  const AnsiString& OrderByDescendingText() const noexcept { return FOrderByDescendingText; }
  const AnsiString& OrderByCaseInsensitiveText() const noexcept { return FOrderByNoCaseText; }
  const AnsiString& OrderByIndexName() const noexcept { return FOrderByIndexName; }
  bool UseOrderIndex() const noexcept { return FUseOrderIndex; }
  const TStringList* OrderByFieldList() const noexcept { return FOrderByFields.get(); }
  const TStringList* OrderByDirectionList() const noexcept { return FOrderByDirections.get(); }
  const TStringList* OrderByCaseList() const noexcept { return FOrderByCases.get(); }
  const std::vector<int32_t>& OrderByOutputFields() const noexcept { return FOrderByOutputFields; }
  void FreeOrderByLists() noexcept;

  // The parameter constants this operator collected and has not handed on (GatherParams).
  const std::vector<TTolvanExprNodeConst*>& ParamNodes() const noexcept { return FParamNodes; }
  bool ParamsGathered() const noexcept { return FParamsGathered; }
  // Moves Operator's parameter constants, then its children's, into List.
  friend void GatherParams(TTolvanAO* Operator, std::vector<TTolvanExprNodeConst*>& List);

protected:
  // --- hooks of derived operators -------------------------------------------------------------

  // A join's own run state, released before its children go. The base destructor cannot reach
  // an override: a derived operator releases its state in its own destructor.
  virtual void ReleaseOwnState() {}
  // Runs after the select list made its fields visible (a join restores display names).
  virtual void AfterSelectList() {}
  virtual bool IsGroupBy() const { return false; }
  // Resets sub-queries the operator keeps outside its filter and expressions (a table leaf's
  // conditions handed to its cursor).
  virtual void ResetOwnSubQueries(const TParams*) {}
  virtual void RunOwnSubQueries() {}

  // --- execution steps -------------------------------------------------------------------------

  void PrepareExecution();
  void DefineResultFields();
  void AddOrderByIndex();
  void PumpRows();
  bool InsertResultRow();
  // Writes the visible fields' values of the current row as a new result record.
  void WriteResultRow(std::span<TTolvanVariant* const> Values);
  void FinishResult();
  // Replaces the result by a table holding Count rows (all when negative) from row Start on.
  void CopyTopWindow(int64_t Start, int64_t Count);
  // Names Table as the INTO target.
  void BindIntoTarget(TTolvanTable& Table) const;
  void FinishExecution() noexcept;
  // Points the visible links at the result table (Relink) and lets go of the children unless the
  // tree is kept for re-runs.
  void ReleaseInputs(bool Relink);
  // A tree that may run again: marked for re-runs, or holding parameters.
  bool Kept() const noexcept { return FKeepForRerun || FHasParameters; }
  // The result dataset as a table; nil for a derived table's query.
  TTolvanTable* ResultTable() const noexcept;

  // --- helpers for derived operators ----------------------------------------------------------

  // Appends a link and returns its number.
  int32_t AddFieldLink(const TTolvanFieldLink& Link);
  // A link reading Child's field FieldNo: its name, type, BLOB storage, hidden, computed and
  // aggregate flags copied; no display name.
  static TTolvanFieldLink LinkToChildField(TTolvanAO& Child, int32_t FieldNo);
  TTolvanFieldLink& MutableFieldLink(int32_t FieldNo) { return FFieldLinks.at(size_t(FieldNo)); }
  // Clears every link (own and saved) naming Source, before Source goes.
  void ForgetSource(const TTolvanAO* Source) noexcept;
  void ForgetSource(const TTolvanDataSet* Source) noexcept;
  // Frees the children (links naming them are cleared first).
  void FreeChildren() noexcept;
  // The name of a dataset's field FieldNo, counting the dataset's own fields.
  static AnsiString DataSetFieldName(TTolvanDataSet& DataSet, int32_t FieldNo);
  // Makes the field visible (appended) unless it is; unhides it.
  void MakeVisible(int32_t FieldNo);

  // --- data ------------------------------------------------------------------------------------

  bool FIsRoot = false;
  bool FIsTableLeaf = false;
  bool FKeepHidden = false;
  std::unique_ptr<TTolvanExpression> FFilter;
  int64_t FTopRowCount = -1;
  int64_t FTopStartRow = -1;
  bool FHasParameters = false;
  std::vector<TTolvanExprNodeConst*> FParamNodes;
  bool FParamsGathered = false;
  bool FReRun = false;
  bool FLinksSaved = false;
  bool FKeepForRerun = false;
  bool FRequestLive = false;
  bool FIntoInMemory = false;
  AnsiString FIntoTableName;
  AnsiString FIntoDatabaseName;
  AnsiString FIntoSessionName;
  AnsiString FTableName;
  AnsiString FAlias;
  bool FMaterialised = false;
  TComponentPtr<TTolvanDataSet> FResultDataSet;
  TTolvanIntegerArray FVisibleFields;
  int32_t FSelectedCount = 0;
  std::vector<TTolvanFieldLink> FFieldLinks;
  std::vector<TTolvanFieldLink> FSavedFieldLinks;
  // The computed expressions links borrow.
  std::vector<std::unique_ptr<TTolvanExpression>> FExpressions;
  bool FLeftNull = false;
  bool FRightNull = false;
  bool FDistinctRequested = false;
  std::unique_ptr<TStringList> FOrderByFields;
  std::unique_ptr<TStringList> FOrderByDirections;
  std::unique_ptr<TStringList> FOrderByCases;
  AnsiString FOrderByIndexName;
  AnsiString FOrderByFieldsText;
  AnsiString FOrderByDescendingText;
  AnsiString FOrderByNoCaseText;
  std::vector<int32_t> FOrderByOutputFields;
  // Per item of the last SetOrderBy: descending, case-insensitive. The texts name columns, so
  // two items whose columns share a name would otherwise sort the same way.
  std::vector<std::pair<bool, bool>> FOrderByItemModes;
  bool FUseOrderIndex = false;
  bool FOrderOnAllColumns = false;
  bool FHasComputedFields = false;
  bool FHasAggregate = false;
  bool FAggregateOnly = false;
  std::unique_ptr<TTolvanAO> FLeft;
  std::unique_ptr<TTolvanAO> FRight;
  // Execution state, decided by PrepareExecution.
  bool FDistinct = false;
  bool FCopyLater = false;
  bool FHasTopRun = false;
  bool FTopWhilePumping = false;
  int64_t FRowCounter = 0;
  std::vector<AnsiString> FResultNames;
  // Scratch values, reused for every row of a run.
  std::vector<std::unique_ptr<TTolvanVariant>> FRowValues;
  std::vector<TTolvanVariant*> FRowValuePointers;
  std::unique_ptr<TTolvanRecordComparison> FRowSet;

private:
  int32_t FindNamed(std::string_view Name, std::string_view Table, bool Unhide,
                    TTolvanIntegerArray& Result, bool KeepHidden);
  int32_t FindAll(std::string_view Table, bool Unhide, TTolvanIntegerArray& Result,
                  bool KeepHidden);
  // The links coming from Child whose source field is among Found, in link order.
  template <class F>
  void ForEachLinkFrom(const TTolvanAO* Child, const TTolvanIntegerArray& Found, F&& Fn);
  void AddVisible(int32_t FieldNo, const TTolvanSelectListItem& Item);
  void AddComputedField(TTolvanSelectListItem& Item);
  void CheckFieldNo(int32_t FieldNo, int32_t Code) const;
  // The text ORDER BY sorts a field by.
  AnsiString SortName(int32_t FieldNo) const;
  void SetOrderByTexts(std::string_view Fields, std::string_view DescendingFields,
                       std::string_view CaseInsensitiveFields, std::string_view IndexName,
                       bool UseOrderIndex);
  // Scratch of FindFields for the children's answers, reused between lookups.
  TTolvanIntegerArray FChildFound;
};

void GatherParams(TTolvanAO* Operator, std::vector<TTolvanExprNodeConst*>& List);

} // namespace tolvan
