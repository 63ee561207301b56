// TolvanSQLUnion.h: the statements whose result is a cursor. TTolvanSQLCursorCommand builds a
// statement's relational operator tree, re-arms it for re-runs, applies the INTO target, runs
// it and decides whether the result may be edited; TTolvanSQLUnion is every statement that
// starts with SELECT or "(": a query expression (TTolvanQueryExprNode) of SELECTs combined with
// UNION, EXCEPT (also MINUS) and INTERSECT.
//
// Grammar, operators of one level associating to the left and INTERSECT binding tighter:
//   expression := term {(UNION | EXCEPT | MINUS) [ALL] [CORRESPONDING [BY (names)]] term}
//   term       := primary {INTERSECT [ALL] [CORRESPONDING [BY (names)]] primary}
//   primary    := "(" expression [")"] | SELECT ...
// Tokens after a complete expression are not read. An ORDER BY written after the last SELECT of
// a set operation (outside parentheses) sorts the set operation's result, not that SELECT's.
//
// Runs. Before every execution, and before the tree's tables are locked, each sub-query of
// the tree is reset with the query's current parameters and run, so that no statement runs
// inside a scan. A command the processor keeps (its text has parameters) marks its tree kept:
// every operator keeps its inputs and runs again, from the tables' current rows, on each
// re-run.
//
// Ownership: a cursor command owns its operator tree; the result dataset and cursor belong to
// the tree's root. The parameter constants are the root's: they are read from it at every
// binding, never copied. A union owns its expression nodes, each leaf its SELECT.
//
// Threads: a command serves one thread at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "classlib/StringList.h"
#include "sql/TolvanFieldLinks.h"
#include "sql/TolvanSQLCommand.h"

namespace tolvan {

class TTolvanAO;
class TTolvanSQLSelect;

inline constexpr int32_t ErrSQLCorrespondingParenthesis = 30193;
inline constexpr int32_t ErrSQLSelectExpected = 30194;

class TTolvanSQLCursorCommand : public TTolvanSQLCommand {
public:
  TTolvanSQLCursorCommand(TTolvanLexer& Lexer, TTolvanQuery& Query);
  ~TTolvanSQLCursorCommand() override;

  // Binds the parsed expressions' parameter constants (the command's own list), from which a
  // rebuilt tree is copied, and the root's (read from the root every time).
  void BindParams(const TTolvanSQLParams& Params) override;
  void Execute(TTolvanQuery& Query, bool IsRoot, bool RequestLive, bool& ReadOnly) override;
  TTolvanCursor* GetCursor() override;
  TTolvanDataSet* GetResultDataSet() override;

  virtual void PrepareTempObjects() = 0;
  virtual void FreeTempObjects() = 0;
  // The operator tree of the statement, not yet prepared.
  virtual std::unique_ptr<TTolvanAO> BuildAlgebra(TTolvanQuery& Query) = 0;
  // A derived table's query cannot be re-armed under its leaf: such a tree is built again,
  // with the current values, for every run.
  virtual bool HasDerivedTable() const { return false; }

  TTolvanAO* Root() const noexcept { return FRoot.get(); }
  // Frees the operator tree and with it the tables it holds open; the next Execute builds it
  // again from the parse.
  void ReleaseTree() noexcept;
  bool RequestLive() const noexcept { return FRequestLive; }
  void SetRequestLive(bool Value) noexcept { FRequestLive = Value; }
  // The tree is built to run again (the processor keeps the command).
  bool KeepTree() const noexcept { return FKeepTree; }
  void SetKeepTree(bool Value) noexcept { FKeepTree = Value; }

protected:
  // Resets every sub-query of Tree with the query's current parameters, then runs them.
  static void RunTreeSubQueries(TTolvanAO& Tree, TTolvanQuery& Query);
  std::unique_ptr<TTolvanAO> FRoot;
  TTolvanQuery* FRunQuery = nullptr;
  bool FRequestLive = false;
  bool FKeepTree = false;

private:
  void SetReadOnly(bool RequestLive, bool& ReadOnly);
};

// One node of a query expression: a SELECT leaf or a set operation of two nodes.
class TTolvanQueryExprNode {
public:
  enum TKind : uint8_t { qekSelect = 0, qekUnion = 1, qekExcept = 2, qekIntersect = 3 };

  explicit TTolvanQueryExprNode(std::unique_ptr<TTolvanSQLSelect> Select);
  ~TTolvanQueryExprNode();
  TTolvanQueryExprNode(const TTolvanQueryExprNode&) = delete;
  TTolvanQueryExprNode& operator=(const TTolvanQueryExprNode&) = delete;

  // Turns the node into a set operation in place: a copy of the node becomes the left child,
  // Right the right child.
  void MakeSetNode(std::unique_ptr<TTolvanQueryExprNode> Right, TKind Kind, bool All,
                   bool Corresponding, std::unique_ptr<TStringList> ByList);
  // The first SELECT with an INTO target: the own SELECT, then the left subtree, then the right.
  TTolvanSQLSelect* FindSelectWithInto() const;
  // The SELECT a trailing ORDER BY of this node was written after: the rightmost leaf reached
  // without entering parentheses; nil for a leaf.
  TTolvanSQLSelect* TrailingSelect() const;

  TKind Kind() const noexcept { return FKind; }
  bool All() const noexcept { return FAll; }
  bool Corresponding() const noexcept { return FCorresponding; }
  const TStringList* ByList() const noexcept { return FByList.get(); }
  TTolvanQueryExprNode* Left() const noexcept { return FLeft.get(); }
  TTolvanQueryExprNode* Right() const noexcept { return FRight.get(); }
  TTolvanSQLSelect* Select() const noexcept { return FSelect.get(); }
  bool Parenthesised() const noexcept { return FParenthesised; }
  void SetParenthesised(bool Value) noexcept { FParenthesised = Value; }
  // The ORDER BY of a set operation.
  std::vector<TTolvanSortSpecification>& OrderBy() noexcept { return FOrderBy; }
  // Calls Fn on every SELECT leaf, left to right.
  template <class F> void ForEachSelect(F&& Fn) const {
    if (FSelect)
      Fn(*FSelect);
    if (FLeft)
      FLeft->ForEachSelect(Fn);
    if (FRight)
      FRight->ForEachSelect(Fn);
  }

private:
  TKind FKind = qekSelect;
  std::unique_ptr<TTolvanQueryExprNode> FLeft;
  std::unique_ptr<TTolvanQueryExprNode> FRight;
  bool FAll = false;
  bool FCorresponding = false;
  std::unique_ptr<TStringList> FByList;
  std::unique_ptr<TTolvanSQLSelect> FSelect;
  bool FParenthesised = false;
  std::vector<TTolvanSortSpecification> FOrderBy;
};

class TTolvanSQLUnion : public TTolvanSQLCursorCommand {
public:
  TTolvanSQLUnion(TTolvanLexer& Lexer, TTolvanQuery& Query);
  ~TTolvanSQLUnion() override;

  void Parse() override;
  void PrepareTempObjects() override;
  void FreeTempObjects() override;
  std::unique_ptr<TTolvanAO> BuildAlgebra(TTolvanQuery& Query) override;
  bool HasDerivedTable() const override;

  TTolvanQueryExprNode* RootNode() const noexcept { return FRootNode.get(); }
  // Set before the parse: the statement is one SELECT, and parsing stops after it.
  void SetSingleSelect(bool Value) noexcept { FSingleSelect = Value; }

private:
  std::unique_ptr<TTolvanQueryExprNode> ParseExpression(int32_t Depth);
  std::unique_ptr<TTolvanQueryExprNode> ParseTerm(int32_t Depth);
  std::unique_ptr<TTolvanQueryExprNode> ParsePrimary(int32_t Depth);
  // After a set operator: [ALL] [CORRESPONDING [BY (names)]], then the right operand.
  void ParseSetOperand(TTolvanQueryExprNode& Node, TTolvanQueryExprNode::TKind Kind, int32_t Depth,
                       bool Term);
  // A trailing ORDER BY of the last SELECT moves to the set operation Node.
  static void TakeTrailingOrderBy(TTolvanQueryExprNode& Node);
  void ParseOwnOrderBy(TTolvanQueryExprNode& Node);
  // The INTO target of the query expression, as the release's grammar picks it.
  void TakeIntoTarget();
  std::unique_ptr<TTolvanAO> BuildNode(TTolvanQueryExprNode& Node, TTolvanQuery& Query);

  std::unique_ptr<TTolvanQueryExprNode> FRootNode;
  bool FSingleSelect = false;
};

// Registers the factory of the statements that start with SELECT or "(".
void RegisterSelectCommands();

} // namespace tolvan
