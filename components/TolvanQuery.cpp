#include "components/TolvanQuery.h"

#include <mutex>

namespace tolvan {

namespace {

std::mutex& MakerLock() {
  static std::mutex Lock;
  return Lock;
}

TTolvanSQLProcessorMaker& Maker() {
  static TTolvanSQLProcessorMaker Value;
  return Value;
}

} // namespace

TTolvanSQLProcessorMaker RegisterSQLProcessorMaker(TTolvanSQLProcessorMaker Value) {
  std::lock_guard<std::mutex> Guard(MakerLock());
  TTolvanSQLProcessorMaker Old = std::move(Maker());
  Maker() = std::move(Value);
  return Old;
}

TDataSet* TTolvanQueryDataLink::DetailDataSet() const { return &FQuery; }
void TTolvanQueryDataLink::ActiveChanged() {}
void TTolvanQueryDataLink::RecordChanged(TField*) {}
void TTolvanQueryDataLink::CheckBrowseMode() {}

// The rest of the component comes with its implementation; construction is enough for the
// statement classes to name a query as their owner.
TTolvanQuery::TTolvanQuery()
    : FSQL(std::make_unique<TStringList>()), FParams(std::make_unique<TParams>()),
      FDataLink(std::make_unique<TTolvanQueryDataLink>(*this)) {}

TTolvanQuery::~TTolvanQuery() = default;

void TTolvanQuery::BeforeDestruction() { TTolvanDataSet::BeforeDestruction(); }

void TTolvanQuery::Disconnect() { TTolvanDataSet::Disconnect(); }

TTolvanCursor* TTolvanQuery::CreateCursor() { return nullptr; }

void TTolvanQuery::DestroyCursor() { TTolvanDataSet::DestroyCursor(); }

} // namespace tolvan
