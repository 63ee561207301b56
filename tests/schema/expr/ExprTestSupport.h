// ExprTestSupport.h: small builders of expression trees and a fake cursor over one record, for
// the expression node tests.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <initializer_list>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "classlib/Strings.h"
#include "foundation/TolvanExcept.h"
#include "foundation/TolvanVariantOps.h"
#include "schema/expr/TolvanExprDump.h"
#include "schema/expr/TolvanExprFunctions.h"
#include "schema/expr/TolvanExprNodes.h"
#include "tests/foundation/TestSupport.h"
#include "tests/schema/support/FakeCursor.h"
#include "tests/schema/support/OpenCursor.h"

namespace tolvan::test {

using TNode = TTolvanExprNodePtr;

// --- constants ------------------------------------------------------------------------------

inline TNode ConstOf(const TTolvanVariant& V) {
  auto C = std::make_unique<TTolvanExprNodeConst>(true, false);
  C->SetValue(V);
  return C;
}
// An integer of type T (SIGNEDINT64 is what the parser makes of a literal).
inline TNode Int(int64_t X, TTolvanValueType T = tvtSignedInt64) {
  TTolvanVariant V(T);
  V.SetAsLargeInt(X);
  return ConstOf(V);
}
inline TNode Dbl(long double X, TTolvanValueType T = tvtFloat) {
  TTolvanVariant V(T);
  V.SetAsExtended(X);
  return ConstOf(V);
}
inline TNode Str(std::string_view S, TTolvanValueType T = tvtString) {
  TTolvanVariant V(T);
  V.SetAsString(AnsiString(S));
  return ConstOf(V);
}
inline TNode WStr(std::u16string_view S, TTolvanValueType T = tvtWideString) {
  TTolvanVariant V(T);
  V.SetAsWideString(WideString(S));
  return ConstOf(V);
}
inline TNode Blob(std::string_view Bytes, TTolvanValueType T = tvtBLOB) {
  TTolvanVariant V;
  V.SetBuffer(const_cast<char*>(Bytes.data()), int32_t(Bytes.size()), T, true, false);
  return ConstOf(V);
}
inline TNode Logical(bool B) {
  TTolvanVariant V(tvtLogical);
  V.SetAsBoolean(B);
  return ConstOf(V);
}
inline TNode NullOf(TTolvanValueType T = tvtSignedInt64) { return ConstOf(TTolvanVariant(T)); }

// --- operators ------------------------------------------------------------------------------

inline std::vector<TNode> Nodes(TNode A) {
  std::vector<TNode> V;
  V.push_back(std::move(A));
  return V;
}
template <class... R> std::vector<TNode> Nodes(TNode A, R... Rest) {
  std::vector<TNode> V = Nodes(std::move(Rest)...);
  V.insert(V.begin(), std::move(A));
  return V;
}

// A node of class N with operator Op over Children (in order).
template <class N>
TNode Op(TTolvanExprOperator Operator, std::vector<TNode> Children, bool CaseInsensitive = true) {
  auto Node = std::make_unique<N>(Operator, CaseInsensitive, false);
  for (TNode& C : Children)
    Node->AddChild(std::move(C));
  return Node;
}
template <class N, class... A> TNode Op(TTolvanExprOperator Operator, TNode First, A... Rest) {
  return Op<N>(Operator, Nodes(std::move(First), std::move(Rest)...));
}

inline TNode Cmp(TTolvanExprOperator Operator, TNode L, TNode R, bool Keep = true,
                 bool CaseInsensitive = true) {
  return std::make_unique<TTolvanExprNodeComparison>(Operator, std::move(L), std::move(R), Keep,
                                                     CaseInsensitive, false);
}

// A node whose evaluation fails with 30196: an unbound field reference. Shows that a child is
// not evaluated.
inline TNode Unbound(std::string_view Name = "unbound") {
  return std::make_unique<TTolvanExprNodeField>(nullptr, Name, "");
}

// --- results --------------------------------------------------------------------------------

// "TYPE value" as the dump writes it: "SIGNEDINT64 5", "LOGICAL NULL", "STRING 'ab'".
inline std::string Show(const TTolvanVariant& V) {
  const std::string Type =
      V.DataType() == tvtNone ? std::string("NONE") : std::string(ValueTypeToSQLName(V.DataType()));
  return Type + " " + DumpExprValue(V);
}
inline std::string Eval(TTolvanExprNode& Node) { return Show(Node.GetValue()); }
inline std::string Eval(const TNode& Node) { return Eval(*Node); }

// The message and code of what Fn raises, "no error" when nothing.
template <class F> std::string ErrorOf(F&& Fn) {
  try {
    Fn();
  } catch (const ETolvanException& E) {
    return E.Message();
  } catch (const Exception& E) {
    return "class library: " + E.Message();
  }
  return "no error";
}

// --- a cursor over one record ----------------------------------------------------------------

// A fake cursor over one record, with setters and field references for the expression tests.
class TRecordCursor : public TOpenCursor {
public:
  using TOpenCursor::TOpenCursor;

  void Set(std::string_view Field, const TTolvanVariant& Value) {
    TTolvanVariant V;
    V.Assign(Value, true);
    Cursor.SetCursorFieldValue(V, Cursor.FieldDefs().IndexOfName(Field), Buffer, true);
  }
  void SetInt(std::string_view Field, int64_t X) {
    TTolvanVariant V;
    V.SetAsLargeInt(X);
    Set(Field, V);
  }
  void SetStr(std::string_view Field, std::string_view S) {
    TTolvanVariant V;
    V.SetAsString(AnsiString(S));
    Set(Field, V);
  }
  void SetNull(std::string_view Field) { Set(Field, TTolvanVariant(tvtInteger)); }

  TNode Field(std::string_view Name) {
    return std::make_unique<TTolvanExprNodeField>(&Cursor, Name, "");
  }
};

} // namespace tolvan::test
