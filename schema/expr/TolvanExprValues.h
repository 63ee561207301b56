// TolvanExprValues.h: how expression nodes write their results and read their operands' text
// without allocating per row.
//
// A node's result value owns one engine block that it keeps from row to row: the writers here
// reuse that block whenever it is large enough (a value's size may be below its block's size)
// and only allocate when it is not, or when the value borrows. A value that borrows is never
// written through: the writers give it a block of its own first, so the bytes it borrowed, a
// record buffer's or a child's, stay as they were.
//
// Text results are zero-terminated in their block like every text value. An empty text result is
// a null of its type, as with the value's own setters: the engine does not tell the empty text
// from null.
//
// Threads: pure functions over the values the caller passes.
#pragma once

#include <cstdint>
#include <string_view>

#include "classlib/Strings.h"
#include "foundation/TolvanVariant.h"

namespace tolvan {

// Makes V a non-null value of type T and Size bytes in a block of its own and returns the
// bytes (undefined until written). Room for Extra further bytes is kept behind them.
uint8_t* ReserveResult(TTolvanVariant& V, TTolvanValueType T, int32_t Size, int32_t Extra = 0);

// V becomes a null of type T, keeping its block.
void SetNullResult(TTolvanVariant& V, TTolvanValueType T);
// V is made an owned value of type T, so that the typed setters write in place: a value of
// another type or one that borrows is cleared.
void PrepareResultType(TTolvanVariant& V, TTolvanValueType T);
void SetLogicalResult(TTolvanVariant& V, bool Value);
void SetIntegerResult(TTolvanVariant& V, int32_t Value);
void SetLargeIntResult(TTolvanVariant& V, int64_t Value);
void SetWordResult(TTolvanVariant& V, uint16_t Value);

// V becomes a copy of Source (type, null flag and bytes) in V's own block.
void CopyResult(TTolvanVariant& V, const TTolvanVariant& Source);

// V becomes narrow text of type T (CHAR or STRING), or wide text of type T (WIDECHAR or
// WIDESTRING); the empty text a null of T. Text must not point into V's own block. A text too
// long for a value raises ERangeError.
void SetTextResult(TTolvanVariant& V, TTolvanValueType T, std::string_view Text);
void SetWideTextResult(TTolvanVariant& V, TTolvanValueType T, std::u16string_view Text);

// The characters of a non-null CHAR, STRING or MEMO value: up to its terminator within its
// size, a MEMO's whole content.
std::string_view NarrowTextOf(const TTolvanVariant& V);
// The characters of a non-null WIDECHAR, WIDESTRING or WIDEMEMO value, copied into Out (whose
// capacity the caller keeps between rows): values borrowed from records lie at any alignment.
void ReadWideText(const TTolvanVariant& V, WideString& Out);

// The narrow text of any value (a null's is empty): in place for CHAR, STRING and MEMO, otherwise
// converted into Scratch.
std::string_view AnsiTextOf(const TTolvanVariant& V, AnsiString& Scratch);
// The wide text of any value (a null's is empty), into Out.
void WideTextOf(const TTolvanVariant& V, WideString& Out);

// The number held by a non-null integer value (SIGNEDINT8 .. UNSIGNEDINT32), read in place;
// other types are converted.
int64_t IntegerOf(const TTolvanVariant& V);
// The value as an INTEGER (GetAsInteger), read in place when it is an integer that fits.
int32_t Int32Of(const TTolvanVariant& V);
// The date and time of a DATE, TIME or DATETIME value read in place; other types converted
// (GetAsDateTime).
TDateTime DateTimeOf(const TTolvanVariant& V);

} // namespace tolvan
