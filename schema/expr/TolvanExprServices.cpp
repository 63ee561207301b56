#include "schema/expr/TolvanExprServices.h"

#include <atomic>

#include "foundation/TolvanExcept.h"
#include "foundation/TolvanMessages.h"

namespace tolvan {

namespace {

std::atomic<IExprServices*> RegisteredServices{nullptr};

} // namespace

IExprServices* RegisterExprServices(IExprServices* Services) noexcept {
  return RegisteredServices.exchange(Services, std::memory_order_acq_rel);
}

IExprServices& ExprServices() {
  IExprServices* Services = RegisteredServices.load(std::memory_order_acquire);
  if (!Services)
    throw ETolvanException::Create(ErrExprServicesMissing, SOperationNotSupported);
  return *Services;
}

} // namespace tolvan
