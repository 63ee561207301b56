#include "sql/TolvanSQLTransaction.h"

#include "foundation/TolvanMessages.h"

namespace tolvan {

void TTolvanStartTransaction::Parse() {
  RequireNextToken(ErrStartTransactionEnd);
  if (!AtWord("TRANSACTION"))
    RaiseAtToken(ErrStartTransactionToken, SSqlTokenExpected);
}

void TTolvanCommit::Parse() {
  if (NextToken() && AtWord("NOFLUSH"))
    FFlush = false;
}

} // namespace tolvan
