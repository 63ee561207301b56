// TolvanSQLProcessor.h: TTolvanSQLProcessor, the base of the SQL processor a query component
// owns.
//
// The processor keeps the SQL text, the statement parameters and the flags the query sets before
// each execution. Its implementation parses the text, may keep the parsed commands for running
// again (NotPrepared false), and returns the cursor of the last statement's result. The base
// decides, before each execution, whether the parameter values changed since the last one: a
// prepared processor whose values changed is told so through Invalidate, which the
// implementation overrides to bind the new values into its kept commands.
//
// Change detection compares the parameters themselves (count, and each one's name, type, null
// flag, size and bytes) with a copy kept from the last execution; ParamsHash is kept as well, but
// two different values can share a hash, so it never decides on its own.
//
// Ownership: the processor owns its parameters and the cursor Execute returns (the caller never
// frees it). Threads: one processor serves one thread at a time.
#pragma once

#include <cstdint>
#include <vector>

#include "classlib/Strings.h"
#include "schema/TolvanSQLParams.h"

namespace tolvan {

class TTolvanCursor;

class TTolvanSQLProcessor {
public:
  TTolvanSQLProcessor() = default;
  virtual ~TTolvanSQLProcessor() = default;
  TTolvanSQLProcessor(const TTolvanSQLProcessor&) = delete;
  TTolvanSQLProcessor& operator=(const TTolvanSQLProcessor&) = delete;

  // Every implementation calls the base first: it clears Invalidated, calls Invalidate when the
  // processor is prepared and the parameter values changed, and zeroes RowsAffected. The result
  // is the cursor of the last statement (nil when it has none), owned by the processor.
  virtual TTolvanCursor* Execute();
  // Marks the current execution invalidated.
  virtual void Invalidate();

  // Execute, dropping the result.
  void ExecSQL() { Execute(); }
  // Nil sets the empty text.
  void SetSQLText(const char* Text) { FSQL = Text ? Text : ""; }

  const AnsiString& SQL() const noexcept { return FSQL; }
  void SetSQL(std::string_view Value) { FSQL = Value; }
  TTolvanSQLParams& Params() noexcept { return FParams; }
  const TTolvanSQLParams& Params() const noexcept { return FParams; }

  // Set by the implementation when the result cannot be edited.
  bool ReadOnlyResult() const noexcept { return FReadOnlyResult; }
  void SetReadOnlyResult(bool Value) noexcept { FReadOnlyResult = Value; }
  bool RequestLive() const noexcept { return FRequestLive; }
  void SetRequestLive(bool Value) noexcept { FRequestLive = Value; }
  bool InMemory() const noexcept { return FInMemory; }
  void SetInMemory(bool Value) noexcept { FInMemory = Value; }
  // Rows changed by the last execution.
  int64_t RowsAffected() const noexcept { return FRowsAffected; }
  void SetRowsAffected(int64_t Value) noexcept { FRowsAffected = Value; }
  // True until the implementation keeps prepared commands.
  bool NotPrepared() const noexcept { return FNotPrepared; }
  void SetNotPrepared(bool Value) noexcept { FNotPrepared = Value; }
  // Params().Hash() at the last execution with parameters.
  uint32_t ParamsHash() const noexcept { return FParamsHash; }
  bool Invalidated() const noexcept { return FInvalidated; }

private:
  // Appends the parameters' names, types, null flags, sizes and bytes to Out (cleared first).
  void SnapshotParams(std::vector<uint8_t>& Out) const;

  AnsiString FSQL;
  TTolvanSQLParams FParams;
  std::vector<uint8_t> FLastParams; // the snapshot of the last execution
  std::vector<uint8_t> FScratch;    // the snapshot being compared, reused between executions
  int64_t FRowsAffected = 0;
  uint32_t FParamsHash = 0;
  bool FReadOnlyResult = false;
  bool FRequestLive = false;
  bool FInMemory = false;
  bool FNotPrepared = true;
  bool FInvalidated = false;
};

} // namespace tolvan
