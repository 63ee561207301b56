// The dataset's side of a resolver: its transaction is a use of the database (reason 10) that
// outlives closing and reopening the dataset, so a resolver's statements and the dataset's own
// cursor share one database connection until the resolver ends the transaction.
#include "components/TolvanDataSet.h"

#include "components/TolvanProviderText.h"
#include "components/TolvanQuery.h"
#include "foundation/TolvanExcept.h"
#include "foundation/TolvanMessages.h"

namespace tolvan {

void TTolvanDataSet::ProviderStartTransaction() { SetDatabaseUse(durProviderTransaction, true); }

void TTolvanDataSet::ProviderEndTransaction() { SetDatabaseUse(durProviderTransaction, false); }

int32_t TTolvanDataSet::ProviderExecuteStatement(std::string_view SQL, const TParams* Params,
                                                 TComponentPtr<TDataSet>* ResultSet) {
  SetDatabaseUse(durProviderTransaction, true);
  TComponentPtr<TTolvanQuery> Query = MakeComponent<TTolvanQuery>();
  Query->SetInMemory(InMemory());
  // An unnamed in-memory dataset keeps the query on "MEMORY".
  if (!InMemory() || !DatabaseName().empty())
    Query->SetDatabaseName(DatabaseName());
  Query->SetSessionName(SessionName());
  Query->SetSQLText(RewriteProviderParams(SQL));
  if (Params) {
    TParams& Own = Query->Params();
    if (Own.Count() == 0) {
      Own.Assign(*Params);
    } else {
      // The text's parameters take the given values in order, under their own names.
      for (int32_t I = 0; I < Params->Count(); ++I) {
        if (I < Own.Count()) {
          TParam& Target = Own.Items(I);
          const AnsiString Name = Target.Name();
          Target.Assign(Params->Items(I));
          Target.SetName(Name);
        } else {
          Own.CreateParam(ftUnknown, "").Assign(Params->Items(I));
        }
      }
    }
  }
  Query->ExecSQL();
  const int32_t Rows = Query->RowsAffected();
  if (ResultSet)
    *ResultSet = std::move(Query);
  return Rows;
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
