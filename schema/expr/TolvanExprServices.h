// TolvanExprServices.h: what expressions reach in the layers above them.
//
// Expressions live below the query engine and the components, yet a field reference may bind
// to a relational operator, a sub-query runs as a query, LASTAUTOINC reads a table and a
// DISTINCT aggregate keeps the values of its group. Those layers implement the interfaces here:
//
//   IExprRowSource  a relational operator: its output fields, its current row, its inputs and
//                   its filter slot. Field references bound to one read through it, and the
//                   push-down of conditions walks its tree.
//   IExprServices   the component layer's services, registered once at start-up
//                   (RegisterExprServices) and reached through ExprServices(): sub-queries,
//                   auto-increment values and DISTINCT sets. Each hands out a handle that the
//                   caller owns and frees; freeing a handle closes what it opened.
//
// Ownership: the registrant owns the registered services and keeps them alive while they are
// registered. Handles belong to whoever asked for them.
//
// Threads: registration is an atomic pointer exchange and may happen at any time; the
// services' own thread rules are their implementation's. A row source and a handle serve one
// thread at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

#include "classlib/DBParams.h"
#include "classlib/Variants.h"
#include "foundation/TolvanArrays.h"
#include "foundation/TolvanTypesRoutines.h"
#include "foundation/TolvanVariant.h"
#include "schema/TolvanMetaObjectDefs.h"

namespace tolvan {

class TTolvanCursor;
class TTolvanExpression;

enum TTolvanJoinType : uint8_t {
  jtCross = 0,
  jtInner = 1,
  jtLeftOuter = 2,
  jtRightOuter = 3,
  jtFullOuter = 4
};

// One entry of a select list or field list, as the SQL parser hands it to the operators and
// to the expressions resolving aliases. The item owns its expression, so it moves but does not
// copy; code that destroys an item must see TolvanExpression.h.
struct TTolvanSelectListItem {
  AnsiString TableName;
  bool AllFields = false;
  AnsiString FieldName;
  bool IsExpression = false;
  std::unique_ptr<TTolvanExpression> Expression;
  AnsiString Alias;
};

// A relational operator as expressions see it. Field numbers are positions among its output
// fields.
class IExprRowSource {
public:
  virtual ~IExprRowSource() = default;

  // Counts the output fields called Name ("*" for all of them), of table or alias Table when
  // that is not empty; names compare without case. The numbers found are appended to Result
  // when one is given. With Unhide (and without KeepHidden) the fields found become visible.
  virtual int32_t FindFields(std::string_view Name, std::string_view Table, bool Unhide,
                             TTolvanIntegerArray* Result, bool KeepHidden) = 0;
  // The current row's value of a field. ReadOption is the table-numbering option passed down
  // to the cursors that hold the row. A hidden field needs AllowHidden.
  virtual void GetFieldValue(TTolvanVariant& Value, int32_t FieldNo, bool ReadOption,
                             bool AllowHidden) = 0;
  virtual TTolvanFieldType GetFieldType(int32_t FieldNo) = 0;
  virtual int32_t GetFieldSize(int32_t FieldNo) = 0;

  // A join and its kind; only a join answers JoinType.
  virtual bool IsJoin() const = 0;
  virtual TTolvanJoinType JoinType() const = 0;
  // The operators this one reads (two for a join, none for a table leaf).
  virtual int32_t InputCount() const = 0;
  virtual IExprRowSource* Input(int32_t Index) = 0;
  // The conditions the operator applies to its rows; the slot owns them, nil for none.
  virtual std::unique_ptr<TTolvanExpression>& Filter() = 0;

  // A table leaf's table: its field definitions and its cursor. Nil for other operators.
  virtual const TTolvanFieldDefs* TableFieldDefs() = 0;
  virtual TTolvanCursor* TableCursor() = 0;
};

// A prepared sub-query. Freeing the handle closes it.
class IExprSubQuery {
public:
  virtual ~IExprSubQuery() = default;
  // Runs the query; its rows can then be read.
  virtual void Open() = 0;
  virtual int64_t RecordCount() = 0;
  // The query has no current row.
  virtual bool Eof() = 0;
  // The first column of the current row (the first row after Open).
  virtual void FirstFieldValue(TTolvanVariant& Value) = 0;
  // Some row's first column equals Key: case-sensitive, whole values, a null key finding a
  // null.
  virtual bool LocateFirstField(const Variant& Key) = 0;
  virtual void Close() = 0;
  // The first column's type and size once the query has opened; tftNone and 0 before, or when
  // the query has no column.
  virtual TTolvanFieldType FirstFieldType() { return tftNone; }
  virtual int32_t FirstFieldSize() { return 0; }
};

// An auto-increment column of a table opened for reading.
class IExprAutoInc {
public:
  virtual ~IExprAutoInc() = default;
  virtual TTolvanFieldType FieldType() const = 0;
  // The session's last value of the column, read anew at every call.
  virtual int64_t CurrentValue() = 0;
};

// The values a DISTINCT aggregate has counted in its group.
class IExprDistinctSet {
public:
  virtual ~IExprDistinctSet() = default;
  // Adds Value and answers true when it was not there yet. Two values are the same when they
  // compare equal case-sensitively over their whole length; null equals null.
  virtual bool InsertIfNew(const TTolvanVariant& Value) = 0;
};

class IExprServices {
public:
  virtual ~IExprServices() = default;

  // Prepares the query text with copies of Params (may be nil) in the named session and
  // database (the in-memory database when InMemory). Errors of the text are raised here.
  virtual std::unique_ptr<IExprSubQuery> PrepareSubQuery(std::string_view SQL,
                                                         const TParams* Params, bool InMemory,
                                                         std::string_view DatabaseName,
                                                         std::string_view SessionName) = 0;
  // Opens TableName read-only for LASTAUTOINC; a table without the column FieldName raises
  // 30337 "Field '%s' not found".
  virtual std::unique_ptr<IExprAutoInc> OpenAutoInc(std::string_view TableName,
                                                    std::string_view FieldName, bool InMemory,
                                                    std::string_view SessionName,
                                                    std::string_view DatabaseName) = 0;
  // An empty set for values of the column type and size of the aggregate's argument.
  virtual std::unique_ptr<IExprDistinctSet> CreateDistinctSet(TTolvanFieldType FieldType,
                                                              int32_t Size) = 0;
};

inline constexpr int32_t ErrExprServicesMissing = 11394;

// Registers Services (nil withdraws them) and returns what was registered before.
IExprServices* RegisterExprServices(IExprServices* Services) noexcept;
// The registered services; before registration 11394 "Error - operation is not supported".
IExprServices& ExprServices();

} // namespace tolvan
