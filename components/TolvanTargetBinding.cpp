#include "components/TolvanTargetBinding.h"

#include "components/TolvanDataSet.h"
#include "components/TolvanTable.h"
#include "storage/TolvanDatabaseData.h"

namespace tolvan {

namespace {

const TTolvanTargetBinding400 Binding400;

void NameTable(TTolvanDataSet& DataSet, std::string_view TableName) {
  if (auto* Table = dynamic_cast<TTolvanTable*>(&DataSet))
    Table->SetTableName(TableName);
}

} // namespace

TTolvanReleaseVariant<ITolvanTargetBinding> TargetBinding("TargetBinding", Binding400);

void BindTarget(TTolvanDataSet& DataSet, const TTolvanTargetNames& Names) {
  TargetBinding->Bind(DataSet, Names);
}

// The flag goes first, so a database the names give wins over it.
void TTolvanTargetBinding400::Bind(TTolvanDataSet& DataSet, const TTolvanTargetNames& Names) const {
  DataSet.SetInMemory(Names.InMemory);
  if (!Names.DatabaseName.empty())
    DataSet.SetDatabaseName(Names.DatabaseName);
  NameTable(DataSet, Names.TableName);
  switch (Names.Kind) {
  case TTolvanTargetKind::StatementTable:
    // The query's session reaches only the query's own database.
    if (!Names.QuerySessionName.empty() && Names.QueryDatabaseName == DataSet.DatabaseName())
      DataSet.SetSessionName(Names.QuerySessionName);
    break;
  case TTolvanTargetKind::FromTable:
  case TTolvanTargetKind::DerivedTable:
    DataSet.SetSessionName(Names.SessionName);
    break;
  case TTolvanTargetKind::IntoTable:
    break;
  }
}

AnsiString TTolvanTargetBinding400::AutoIncDatabase(std::string_view DatabaseName,
                                                    bool InMemory) const {
  if (!DatabaseName.empty() || !InMemory)
    return AnsiString(DatabaseName);
  return AnsiString(MemoryDatabaseName);
}

} // namespace tolvan
