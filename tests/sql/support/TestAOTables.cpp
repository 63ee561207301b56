#include "tests/sql/support/TestAOTables.h"

#include "schema/expr/TolvanLexer.h"

#include "classlib/DBFields.h"
#include "components/TolvanDefs.h"

namespace tolvan::test {

void MakeMemoryTable(std::string_view Name, const std::vector<TTestColumn>& Columns,
                     const std::vector<std::vector<TTestCell>>& Rows) {
  TComponentPtr<TTolvanTable> T = MakeComponent<TTolvanTable>();
  T->SetInMemory(true);
  T->SetTableName(Name);
  for (const TTestColumn& C : Columns)
    T->AdvFieldDefs().Add(C.Name, C.Type, C.Size, false);
  T->CreateTable();
  if (!Rows.empty())
    AppendMemoryRows(Name, Columns, Rows);
}

void AppendMemoryRows(std::string_view Name, const std::vector<TTestColumn>& Columns,
                      const std::vector<std::vector<TTestCell>>& Rows) {
  TComponentPtr<TTolvanTable> T = MakeComponent<TTolvanTable>();
  T->SetInMemory(true);
  T->SetTableName(Name);
  T->Open();
  for (const auto& Row : Rows) {
    T->Append();
    for (size_t I = 0; I < Row.size() && I < Columns.size(); ++I) {
      TField& F = T->FieldByName(Columns[I].Name);
      if (const int64_t* N = std::get_if<int64_t>(&Row[I]))
        F.SetAsInteger(int32_t(*N));
      else if (const std::string* S = std::get_if<std::string>(&Row[I]))
        F.SetAsString(*S);
      else if (const double* D = std::get_if<double>(&Row[I]))
        F.SetAsFloat(*D);
    }
    T->Post();
  }
  T->Close();
}

std::unique_ptr<TTolvanExpression> ParsedValue(std::string_view Text,
                                               const TTolvanSQLParams* Params) {
  TTolvanLexer Lexer(Text, Params);
  Lexer.NextStatement();
  auto E = std::make_unique<TTolvanExpression>();
  E->ParseValue(Lexer);
  return E;
}

std::unique_ptr<TTolvanExpression> ParsedCondition(std::string_view Text,
                                                   const TTolvanSQLParams* Params) {
  TTolvanLexer Lexer(Text, Params);
  Lexer.NextStatement();
  auto E = std::make_unique<TTolvanExpression>();
  E->ParseCondition(Lexer);
  return E;
}

} // namespace tolvan::test
