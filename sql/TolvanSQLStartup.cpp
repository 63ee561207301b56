#include "sql/TolvanSQLStartup.h"

#include "components/TolvanQuery.h"
#include "sql/TolvanAO.h"
#include "sql/TolvanDDLIndex.h"
#include "sql/TolvanDDLTable.h"
#include "sql/TolvanSQLDatabase.h"
#include "sql/TolvanSQLInsert.h"
#include "sql/TolvanSQLProcessor.h"
#include "sql/TolvanSQLTransaction.h"
#include "sql/TolvanSQLUnion.h"
#include "sql/TolvanSQLUpdate.h"

namespace tolvan {

void InitSQLLayer() {
  RegisterSQLProcessorMaker([](TTolvanQuery& Query) -> std::unique_ptr<TTolvanSQLProcessor> {
    return std::make_unique<TTolvanLocalSQLProcessor>(Query);
  });
  // A derived table is an ownerless query over its text; the table leaf gives it the
  // database, session, parameters and RequestLive of the statement before it opens.
  RegisterDerivedTableFactory([](std::string_view SQL) -> TComponentPtr<TTolvanDataSet> {
    TComponentPtr<TTolvanQuery> Query = MakeComponent<TTolvanQuery>();
    Query->SetSQLText(SQL);
    return TComponentPtr<TTolvanDataSet>(Query.release());
  });
  RegisterSelectCommands();
  RegisterSQLCommand(TTolvanSQLCommandKind::Insert, CommandFactory<TTolvanSQLInsert>());
  RegisterSQLCommand(TTolvanSQLCommandKind::Update, CommandFactory<TTolvanSQLUpdate>());
  RegisterSQLCommand(TTolvanSQLCommandKind::Delete, CommandFactory<TTolvanSQLDelete>());
  RegisterSQLCommand(TTolvanSQLCommandKind::CreateTable, CommandFactory<TTolvanDDLCreateTable>());
  RegisterSQLCommand(TTolvanSQLCommandKind::DropTable, CommandFactory<TTolvanDDLDropTable>());
  RegisterSQLCommand(TTolvanSQLCommandKind::AlterTable, CommandFactory<TTolvanDDLAlterTable>());
  RegisterSQLCommand(TTolvanSQLCommandKind::RenameTable, CommandFactory<TTolvanDDLRenameTable>());
  RegisterSQLCommand(TTolvanSQLCommandKind::CreateIndex, CommandFactory<TTolvanDDLCreateIndex>());
  RegisterSQLCommand(TTolvanSQLCommandKind::DropIndex, CommandFactory<TTolvanDDLDropIndex>());
  RegisterDatabaseCommands();
  RegisterSQLCommand(TTolvanSQLCommandKind::StartTransaction,
                     CommandFactory<TTolvanStartTransaction>());
  RegisterSQLCommand(TTolvanSQLCommandKind::Commit, CommandFactory<TTolvanCommit>());
  RegisterSQLCommand(TTolvanSQLCommandKind::Rollback, CommandFactory<TTolvanRollback>());
}

} // namespace tolvan
