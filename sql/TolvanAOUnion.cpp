// Placeholder until the set operations are built.
#include "sql/TolvanAOUnion.h"

#include "foundation/TolvanExcept.h"
#include "foundation/TolvanMessages.h"

namespace tolvan {

namespace {
const TTolvanIntegerArray& NoColumns() {
  static const TTolvanIntegerArray Empty(0, 4, 64);
  return Empty;
}
} // namespace

TTolvanAOUnion::TTolvanAOUnion(std::unique_ptr<TTolvanAO> Left, std::unique_ptr<TTolvanAO> Right,
                               TTolvanSetOperation, bool, bool, const TTolvanFields*)
    : TTolvanAO(std::move(Left), std::move(Right), "", "", "") {
  throw ETolvanException::Create(ErrAODerivedTableUnsupported, SOperationNotSupported);
}
TTolvanAOUnion::~TTolvanAOUnion() = default;
void TTolvanAOUnion::LiveFirst() {}
void TTolvanAOUnion::LiveNext() {}
bool TTolvanAOUnion::LiveEof() { return true; }
int64_t TTolvanAOUnion::LiveRecordCount() { return 0; }
TTolvanSetOperation TTolvanAOUnion::Operation() const noexcept { return tsoUnion; }
const TTolvanIntegerArray& TTolvanAOUnion::LeftColumns() const noexcept { return NoColumns(); }
const TTolvanIntegerArray& TTolvanAOUnion::RightColumns() const noexcept { return NoColumns(); }

} // namespace tolvan
