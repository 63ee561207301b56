#include "components/TolvanTableCopy.h"

#include "components/TolvanTable.h"
#include "foundation/TolvanExcept.h"
#include "foundation/TolvanMessages.h"

namespace tolvan {

int32_t TableCopyProgress(int64_t, int64_t) noexcept { return 0; }

bool TableProgressAdapter::operator()(int32_t Progress) const {
  return Table && Table->DoProgress(Progress, Operation);
}

void CopyTableData(TDataSet&, TTolvanTable&, bool, TTolvanTableOperation, std::string&) {
  throw ETolvanException::Create(ErrProviderNotSupported, SOperationNotSupported);
}

} // namespace tolvan
