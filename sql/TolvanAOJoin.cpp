// Placeholder until the join is built.
#include "sql/TolvanAOJoin.h"

#include "foundation/TolvanExcept.h"
#include "foundation/TolvanMessages.h"

namespace tolvan {

namespace {
const TTolvanIntegerArray& NoFields() {
  static const TTolvanIntegerArray Empty(0, 4, 64);
  return Empty;
}
const TStringList& NoNames() {
  static const TStringList Empty;
  return Empty;
}
} // namespace

TTolvanAOJoin::TTolvanAOJoin(std::unique_ptr<TTolvanAO> Left, std::unique_ptr<TTolvanAO> Right,
                             TTolvanJoinType, bool, const TTolvanFields*, const TTolvanFields*)
    : TTolvanAO(std::move(Left), std::move(Right), "", "", "") {
  throw ETolvanException::Create(ErrAODerivedTableUnsupported, SOperationNotSupported);
}
TTolvanAOJoin::~TTolvanAOJoin() = default;
void TTolvanAOJoin::SetMatchCondition(std::unique_ptr<TTolvanExpression>) {}
TTolvanJoinType TTolvanAOJoin::JoinType() const { return jtCross; }
void TTolvanAOJoin::LiveFirst() {}
void TTolvanAOJoin::LiveNext() {}
bool TTolvanAOJoin::LiveEof() { return true; }
int64_t TTolvanAOJoin::LiveRecordCount() { return 0; }
const TTolvanIntegerArray& TTolvanAOJoin::LeftJoinFields() const noexcept { return NoFields(); }
const TTolvanIntegerArray& TTolvanAOJoin::RightJoinFields() const noexcept { return NoFields(); }
const TStringList& TTolvanAOJoin::LeftJoinNames() const noexcept { return NoNames(); }
const TStringList& TTolvanAOJoin::RightJoinNames() const noexcept { return NoNames(); }
TTolvanAOJoin::TProbePath TTolvanAOJoin::LastProbePath() const noexcept { return TProbePath::None; }
bool TTolvanAOJoin::LeftDrives() const noexcept { return true; }
void TTolvanAOJoin::AfterSelectList() {}
void TTolvanAOJoin::ReleaseOwnState() {}

} // namespace tolvan
