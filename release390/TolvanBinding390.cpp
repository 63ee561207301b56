// The 3.90 target binding: database, session, table, and the in-memory flag last, so that a set
// flag always means "MEMORY" and a clear one the named database with the flag off.
#include "components/TolvanDataSet.h"
#include "components/TolvanTable.h"
#include "components/TolvanTargetBinding.h"
#include "release390/TolvanRelease390Parts.h"
#include "storage/TolvanDatabaseData.h"

namespace tolvan {

namespace {

class TTolvanTargetBinding390 final : public ITolvanTargetBinding {
public:
  void Bind(TTolvanDataSet& DataSet, const TTolvanTargetNames& Names) const override {
    std::string_view Database = Names.DatabaseName;
    std::string_view Session = Names.QuerySessionName;
    bool InMemory = Names.InMemory;
    switch (Names.Kind) {
    case TTolvanTargetKind::StatementTable:
      // The statement names no database: its table is the query's, or MEMORY's.
      Database = Names.QueryDatabaseName;
      InMemory = Names.InMemory || Names.QueryInMemory;
      break;
    case TTolvanTargetKind::FromTable:
      Session = Names.SessionName;
      break;
    case TTolvanTargetKind::DerivedTable:
      Session = Names.SessionName;
      InMemory = false;
      break;
    case TTolvanTargetKind::IntoTable:
      break;
    }
    DataSet.SetDatabaseName(Database);
    DataSet.SetSessionName(Session);
    if (auto* Table = dynamic_cast<TTolvanTable*>(&DataSet))
      Table->SetTableName(Names.TableName);
    DataSet.SetInMemory(InMemory);
  }

  AnsiString AutoIncDatabase(std::string_view DatabaseName, bool InMemory) const override {
    return AnsiString(InMemory ? MemoryDatabaseName : DatabaseName);
  }
};

const TTolvanTargetBinding390 Binding390;

} // namespace

void InstallBinding390(bool Fill) { TargetBinding.Install390(Fill ? &Binding390 : nullptr); }

} // namespace tolvan
