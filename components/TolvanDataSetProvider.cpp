// The dataset's side of a resolver: its transaction is a use of the database (reason 10) that
// outlives closing and reopening the dataset, so a resolver's statements and the dataset's own
// cursor share one database connection until the resolver ends the transaction.
#include "components/TolvanDataSet.h"

#include "components/TolvanProviderText.h"
#include "foundation/TolvanExcept.h"
#include "foundation/TolvanMessages.h"

namespace tolvan {

void TTolvanDataSet::ProviderStartTransaction() { SetDatabaseUse(durProviderTransaction, true); }

void TTolvanDataSet::ProviderEndTransaction() { SetDatabaseUse(durProviderTransaction, false); }

int32_t TTolvanDataSet::ProviderExecuteStatement(std::string_view SQL, const TParams* Params,
                                                 TComponentPtr<TDataSet>* ResultSet) {
  // Statements run through a query component, which does not exist yet. Refusing before the
  // database is taken leaves the dataset exactly as it was.
  (void)SQL;
  (void)Params;
  (void)ResultSet;
  throw ETolvanException::Create(ErrProviderNotSupported, SOperationNotSupported);
}

bool TTolvanDataSet::ProviderUpdateRecord(TUpdateKind UpdateKind, TDataSet& Delta) {
  if (!FOnUpdateRecord)
    return false;
  TUpdateAction Action = uaFail;
  FOnUpdateRecord(Delta, UpdateKind, Action);
  return Action == uaApplied;
}

AnsiString TTolvanDataSet::RewriteProviderParams(std::string_view SQL) {
  return ::tolvan::RewriteProviderParams(SQL);
}

} // namespace tolvan
