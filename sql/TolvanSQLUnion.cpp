// TTolvanSQLCursorCommand, TTolvanQueryExprNode and TTolvanSQLUnion: running a statement's
// operator tree, and the grammar of query expressions.
#include "sql/TolvanSQLUnion.h"

#include "components/TolvanDataSet.h"
#include "components/TolvanQuery.h"
#include "foundation/TolvanExcept.h"
#include "foundation/TolvanMessages.h"
#include "schema/TolvanCursor.h"
#include "schema/expr/TolvanExprParser.h"
#include "sql/TolvanAO.h"
#include "sql/TolvanAOUnion.h"
#include "sql/TolvanSQLGrammar.h"
#include "sql/TolvanSQLSelect.h"

namespace tolvan {

// --- TTolvanSQLCursorCommand -----------------------------------------------------------------

TTolvanSQLCursorCommand::TTolvanSQLCursorCommand(TTolvanLexer& Lexer, TTolvanQuery& Query)
    : TTolvanSQLCommand(Lexer, Query), FRequestLive(Query.RequestLive()) {}

TTolvanSQLCursorCommand::~TTolvanSQLCursorCommand() = default;

void TTolvanSQLCursorCommand::BindParams(const TTolvanSQLParams& Params) {
  TTolvanSQLCommand::BindParams(Params);
  if (!FRoot)
    return;
  // The root's list, read now: a rebuilt root has a list of its own.
  for (TTolvanExprNodeConst* Node : FRoot->ParamNodes()) {
    const int32_t I = Params.IndexOfName(Node->ParamName());
    if (I >= 0)
      Node->SetValue(Params.Items(I));
  }
}

void TTolvanSQLCursorCommand::RunTreeSubQueries(TTolvanAO& Tree, TTolvanQuery& Query) {
  Tree.ResetSubQueries(Query.Params().Count() > 0 ? &Query.Params() : nullptr);
  Tree.RunSubQueries();
}

void TTolvanSQLCursorCommand::Execute(TTolvanQuery& Query, bool IsRoot, bool RequestLive,
                                      bool& ReadOnly) {
  FRowsAffected = 0;
  FRequestLive = RequestLive;
  FRunQuery = &Query;
  if (!FReExecuting || !FRoot || HasDerivedTable()) {
    FRoot.reset();
    FKeepTree = FKeepTree || Query.Params().Count() > 0;
    std::unique_ptr<TTolvanAO> Root = BuildAlgebra(Query);
    if (FKeepTree)
      Root->SetKeepForRerun();
    FRoot = std::move(Root);
  }
  FRoot->SetResultSessionName(Query.SessionName());
  // Every sub-query answers before any table of the tree is locked: none runs inside a scan.
  RunTreeSubQueries(*FRoot, Query);
  try {
    FRoot->LockSources();
  } catch (...) {
    FRoot.reset();
    throw;
  }
  struct TUnlock {
    TTolvanAO& Root;
    bool Done = false;
    void Now() {
      Done = true;
      Root.UnlockSources();
    }
    ~TUnlock() {
      if (!Done) {
        try {
          Root.UnlockSources();
        } catch (...) {
        }
      }
    }
  } Unlock{*FRoot};
  if (!FIntoTableName.empty()) {
    bool InMemory = false;
    AnsiString Database;
    SQLGrammar->ResultTarget(*this, Query, InMemory, Database);
    FRoot->SetResultTarget(InMemory, FIntoTableName, Database);
  }
  FRoot->Prepare(IsRoot);
  if (IsRoot)
    SetReadOnly(RequestLive, ReadOnly);
  Unlock.Now();
}

// Only a live request on a result that is a table of its own (the source itself, or the INTO
// target) may be edited.
void TTolvanSQLCursorCommand::SetReadOnly(bool RequestLive, bool& ReadOnly) {
  TTolvanCursor* C = GetCursor();
  ReadOnly = !RequestLive || !C || C->IsTemporaryTable();
  if (C)
    C->SetReadOnly(ReadOnly);
}

void TTolvanSQLCursorCommand::ReleaseTree() noexcept { FRoot.reset(); }

TTolvanDataSet* TTolvanSQLCursorCommand::GetResultDataSet() {
  return FRoot ? FRoot->ResultDataSet() : nullptr;
}

TTolvanCursor* TTolvanSQLCursorCommand::GetCursor() {
  TTolvanDataSet* D = GetResultDataSet();
  return D ? D->Cursor() : nullptr;
}

// --- TTolvanQueryExprNode --------------------------------------------------------------------

TTolvanQueryExprNode::TTolvanQueryExprNode(std::unique_ptr<TTolvanSQLSelect> Select)
    : FSelect(std::move(Select)) {}

TTolvanQueryExprNode::~TTolvanQueryExprNode() = default;

void TTolvanQueryExprNode::MakeSetNode(std::unique_ptr<TTolvanQueryExprNode> Right, TKind Kind,
                                       bool All, bool Corresponding,
                                       std::unique_ptr<TStringList> ByList) {
  auto Left = std::make_unique<TTolvanQueryExprNode>(std::move(FSelect));
  Left->FKind = FKind;
  Left->FLeft = std::move(FLeft);
  Left->FRight = std::move(FRight);
  Left->FAll = FAll;
  Left->FCorresponding = FCorresponding;
  Left->FByList = std::move(FByList);
  Left->FParenthesised = FParenthesised;
  Left->FOrderBy = std::move(FOrderBy);
  FOrderBy.clear();
  FParenthesised = false;
  FKind = Kind;
  FLeft = std::move(Left);
  FRight = std::move(Right);
  FAll = All;
  FCorresponding = Corresponding;
  FByList = std::move(ByList);
}

TTolvanSQLSelect* TTolvanQueryExprNode::FindSelectWithInto() const {
  if (FSelect && FSelect->HasInto())
    return FSelect.get();
  if (FLeft)
    if (TTolvanSQLSelect* S = FLeft->FindSelectWithInto())
      return S;
  if (FRight)
    return FRight->FindSelectWithInto();
  return nullptr;
}

TTolvanSQLSelect* TTolvanQueryExprNode::TrailingSelect() const {
  if (FKind == qekSelect)
    return nullptr;
  const TTolvanQueryExprNode* N = FRight.get();
  while (N && !N->FParenthesised && N->FKind != qekSelect)
    N = N->FRight.get();
  return N && !N->FParenthesised ? N->FSelect.get() : nullptr;
}

// --- TTolvanSQLUnion: grammar ------------------------------------------------------------------

TTolvanSQLUnion::TTolvanSQLUnion(TTolvanLexer& Lexer, TTolvanQuery& Query)
    : TTolvanSQLCursorCommand(Lexer, Query) {}

TTolvanSQLUnion::~TTolvanSQLUnion() {
  // The tree reads the leaves' datasets and expressions: it goes first.
  FRoot.reset();
}

void TTolvanSQLUnion::Parse() {
  CurrentToken();
  if (FSingleSelect) {
    if (!AtWord("SELECT"))
      RaiseExpected(ErrSQLSelectExpected, "SELECT");
    FRootNode = ParsePrimary(0);
  } else {
    FRootNode = ParseExpression(0);
  }
  TakeIntoTarget();
  FRootNode->ForEachSelect([this](TTolvanSQLSelect& S) { S.CollectParsedParams(FParamNodes); });
}

bool TTolvanSQLUnion::HasDerivedTable() const {
  bool Any = false;
  FRootNode->ForEachSelect([&Any](const TTolvanSQLSelect& S) { Any = Any || S.HasDerivedTable(); });
  return Any;
}

std::unique_ptr<TTolvanQueryExprNode> TTolvanSQLUnion::ParseExpression(int32_t Depth) {
  std::unique_ptr<TTolvanQueryExprNode> Node = ParseTerm(Depth);
  for (;;) {
    TTolvanQueryExprNode::TKind Kind;
    if (AtWord("UNION"))
      Kind = TTolvanQueryExprNode::qekUnion;
    else if (AtWord("EXCEPT") || AtWord("MINUS"))
      Kind = TTolvanQueryExprNode::qekExcept;
    else
      break;
    ParseSetOperand(*Node, Kind, Depth, false);
  }
  TakeTrailingOrderBy(*Node);
  if (AtWord("ORDER"))
    ParseOwnOrderBy(*Node);
  return Node;
}

std::unique_ptr<TTolvanQueryExprNode> TTolvanSQLUnion::ParseTerm(int32_t Depth) {
  std::unique_ptr<TTolvanQueryExprNode> Node = ParsePrimary(Depth);
  while (AtWord("INTERSECT"))
    ParseSetOperand(*Node, TTolvanQueryExprNode::qekIntersect, Depth, true);
  return Node;
}

void TTolvanSQLUnion::ParseSetOperand(TTolvanQueryExprNode& Node, TTolvanQueryExprNode::TKind Kind,
                                      int32_t Depth, bool Term) {
  ReadNextToken(0, ErrSQLUnexpectedEnd);
  bool All = false, Corresponding = false;
  std::unique_ptr<TStringList> By;
  if (AtWord("ALL")) {
    All = true;
    ReadNextToken(0, ErrSQLUnexpectedEnd);
  }
  if (AtWord("CORRESPONDING")) {
    Corresponding = true;
    ReadNextToken(0, ErrSQLUnexpectedEnd);
    if (AtWord("BY")) {
      ReadNextToken(0, ErrSQLUnexpectedEnd);
      if (FToken.Kind != tktLeftParenthesis)
        RaiseExpected(ErrSQLCorrespondingParenthesis, "(");
      ReadNextToken(0, ErrSQLUnexpectedEnd);
      ParseFieldNames(By);
      if (FToken.Kind == tktRightParenthesis)
        ReadNextToken(0, ErrSQLUnexpectedEnd);
    }
  }
  std::unique_ptr<TTolvanQueryExprNode> Right = Term ? ParsePrimary(Depth) : ParseTerm(Depth);
  Node.MakeSetNode(std::move(Right), Kind, All, Corresponding, std::move(By));
}

std::unique_ptr<TTolvanQueryExprNode> TTolvanSQLUnion::ParsePrimary(int32_t Depth) {
  if (FToken.Kind == tktLeftParenthesis) {
    if (Depth + 1 >= MaxExprDepth)
      throw ETolvanException::CreateFmt(ErrExprTooDeep, SExpressionTooDeeplyNested, FToken.Line,
                                        FToken.Column);
    ReadNextToken(0, ErrSQLUnexpectedEnd);
    std::unique_ptr<TTolvanQueryExprNode> Node = ParseExpression(Depth + 1);
    if (FToken.Kind == tktRightParenthesis)
      NextToken();
    Node->SetParenthesised(true);
    return Node;
  }
  if (FToken.Kind == tktNone)
    ReadNextToken(0, ErrSQLUnexpectedEnd);
  if (!AtWord("SELECT"))
    RaiseExpected(ErrSQLSelectExpected, "SELECT");
  auto Select = std::make_unique<TTolvanSQLSelect>(Lexer(), Query());
  Select->ParseAndRelease();
  CurrentToken();
  return std::make_unique<TTolvanQueryExprNode>(std::move(Select));
}

// ORDER BY after a parenthesised operand: it sorts what the expression gives.
void TTolvanSQLUnion::ParseOwnOrderBy(TTolvanQueryExprNode& Node) {
  AnsiString IndexName;
  if (Node.Kind() != TTolvanQueryExprNode::qekSelect) {
    if (!Node.OrderBy().empty())
      return;
    ParseOrderByClause(*this, Node.OrderBy(), IndexName);
    return;
  }
  TTolvanSQLSelect& S = *Node.Select();
  if (!S.OrderBy().empty() || !S.OrderByIndexName().empty())
    return;
  ParseOrderByClause(*this, S.OrderBy(), IndexName);
  S.SetOrderByIndexName(IndexName);
}

void TTolvanSQLUnion::TakeTrailingOrderBy(TTolvanQueryExprNode& Node) {
  TTolvanSQLSelect* Last = Node.TrailingSelect();
  if (!Last || Last->OrderBy().empty())
    return;
  Node.OrderBy() = std::move(Last->OrderBy());
  Last->OrderBy().clear();
}

void TTolvanSQLUnion::TakeIntoTarget() {
  const TTolvanSQLSelect* Into = SQLGrammar->IntoSelect(*FRootNode);
  if (!Into)
    return;
  FIntoTableName = Into->IntoTableName();
  FIntoDatabaseName = Into->IntoDatabaseName();
  FInMemory = Into->InMemory();
}

// --- TTolvanSQLUnion: the tree -----------------------------------------------------------------

void TTolvanSQLUnion::PrepareTempObjects() {
  if (FRootNode)
    FRootNode->ForEachSelect([](TTolvanSQLSelect& S) { S.PrepareTempObjects(); });
}

void TTolvanSQLUnion::FreeTempObjects() {
  if (FRootNode)
    FRootNode->ForEachSelect([](TTolvanSQLSelect& S) { S.FreeTempObjects(); });
}

std::unique_ptr<TTolvanAO> TTolvanSQLUnion::BuildAlgebra(TTolvanQuery& Query) {
  FKeepTree = FKeepTree || Query.Params().Count() > 0;
  return BuildNode(*FRootNode, Query);
}

std::unique_ptr<TTolvanAO> TTolvanSQLUnion::BuildNode(TTolvanQueryExprNode& Node,
                                                      TTolvanQuery& Query) {
  if (Node.Kind() == TTolvanQueryExprNode::qekSelect) {
    TTolvanSQLSelect& S = *Node.Select();
    S.SetRequestLive(FRequestLive);
    return S.BuildAlgebra(Query);
  }
  std::unique_ptr<TTolvanAO> Left = BuildNode(*Node.Left(), Query);
  std::unique_ptr<TTolvanAO> Right = BuildNode(*Node.Right(), Query);
  // The union runs its operands as it is made: they are marked for re-runs and their
  // sub-queries answer before that.
  for (TTolvanAO* Operand : {Left.get(), Right.get()}) {
    if (FKeepTree)
      Operand->SetKeepForRerun();
    RunTreeSubQueries(*Operand, Query);
  }
  TTolvanSetOperation Operation = tsoUnion;
  if (Node.Kind() == TTolvanQueryExprNode::qekExcept)
    Operation = tsoExcept;
  else if (Node.Kind() == TTolvanQueryExprNode::qekIntersect)
    Operation = tsoIntersect;
  std::unique_ptr<TTolvanFields> By;
  if (const TStringList* List = Node.ByList()) {
    By = std::make_unique<TTolvanFields>();
    for (int32_t I = 0; I < List->Count(); ++I) {
      TTolvanSelectListItem Item;
      Item.FieldName = List->Strings(I);
      By->Add(std::move(Item));
    }
  }
  auto Union = std::make_unique<TTolvanAOUnion>(std::move(Left), std::move(Right), Operation,
                                                Node.Corresponding(), !Node.All(), By.get());
  if (!Node.OrderBy().empty()) {
    TTolvanSQLSelect::CheckSortNumbers(Node.OrderBy(), Union->VisibleFields().Count());
    Union->SetOrderBy(Node.OrderBy(), "");
  }
  return Union;
}

void RegisterSelectCommands() {
  RegisterSQLCommand(TTolvanSQLCommandKind::Select, CommandFactory<TTolvanSQLUnion>());
}

} // namespace tolvan
