// TolvanSQLTransaction.h: START TRANSACTION, COMMIT [NOFLUSH] and ROLLBACK.
//
// The engine has no multi-statement transactions: each statement's changes are final when it
// returns. The three statements are accepted so that scripts written for other databases run,
// and change nothing: ROLLBACK does not undo what the statements since START TRANSACTION did,
// and COMMIT writes nothing. They are not passed to the engine session, whose transactions
// need a page manager that no database of this release has.
//
// START must be followed by TRANSACTION; COMMIT reads a NOFLUSH after it and nothing else;
// ROLLBACK reads nothing after it.
//
// Threads: a command serves one thread at a time.
#pragma once

#include <cstdint>

#include "sql/TolvanSQLCommand.h"

namespace tolvan {

inline constexpr int32_t ErrStartTransactionEnd = 10845;
inline constexpr int32_t ErrStartTransactionToken = 10846;

class TTolvanStartTransaction : public TTolvanSQLCommand {
public:
  using TTolvanSQLCommand::TTolvanSQLCommand;
  void Parse() override;
  void Execute(TTolvanQuery&, bool, bool, bool&) override {}
};

class TTolvanCommit : public TTolvanSQLCommand {
public:
  using TTolvanSQLCommand::TTolvanSQLCommand;
  void Parse() override;
  void Execute(TTolvanQuery&, bool, bool, bool&) override {}

  bool Flush() const noexcept { return FFlush; }

private:
  bool FFlush = true;
};

class TTolvanRollback : public TTolvanSQLCommand {
public:
  using TTolvanSQLCommand::TTolvanSQLCommand;
  void Execute(TTolvanQuery&, bool, bool, bool&) override {}
};

} // namespace tolvan
