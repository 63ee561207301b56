// TolvanVariantOps.h: what makes TTolvanVariant a value engine: the common type of two operands,
// the comparison of values and of raw value buffers, the operators and the value hash.
//
// Common type. CommonValueType(first, second) is the type two operands are brought to, tvtNone
// when they do not mix. It is not symmetric: the first operand decides the row (SIGNEDINT8 with
// UNSIGNEDINT16 is UNSIGNEDINT16, UNSIGNEDINT16 with SIGNEDINT8 is INTEGER).
//
// Operators (members of TTolvanVariant; self is the left operand and receives the result).
// A binary operator leaves a null self null and makes self null when the other is null;
// otherwise self is cast to the common type and the other is read in that type. Add is the
// exception: with a text operand it concatenates (a null reads as the empty text), and a null
// self becomes a copy of a non-null other. In the common type:
//   8- and 16-bit integers   results outside the type raise ERangeError
//   INTEGER, UNSIGNEDINT32,  wrap around in two's complement
//   SIGNEDINT64
//   SINGLE, FLOAT, EXTENDED  an overflow raises EOverflow, an invalid operation EInvalidOp
//   CURRENCY                 rounded to four decimals; out of range raises EConvertError
//   DATE, TIME               their numbers; a TIME result is brought back into the day, and
//                            a floating number added to a DATE counts from its floor
//                            (DATE d + -0.5 is d - 1, the day of {d, 0} + -0.5)
//   DATETIME                 date and time part by part, a time beyond the day carried into
//                            the date (a number of days is split by its floor, so a negative
//                            fraction moves back: {d, 0} + -0.5 is {d - 1, noon})
//   LOGICAL                  Add, Multiply and Divide give a OR b
// In Add a "no time" (-1) counts as 0 unless both are, and only in an operand that was a TIME or
// DATETIME: a number cast to TIME is milliseconds, so TIME 5000 + INTEGER -1 is 4999.
// A signed and an unsigned integer whose common type is unsigned (SHORTINT with WORD) are
// computed from their own values and the result must fit that type: SHORTINT -1 + WORD 5 is
// WORD 4, and a result below 0 or above the type raises ERangeError.
// Divide turns every failure that is not an ETolvanException into 30128 "Division error: %s"
// (division by zero, INT_MIN / -1, range). Modulo by zero raises the same. Shifts of 8-, 16- and
// 32-bit values work on the 32-bit (sign-extended) value with the count taken mod 32, logically,
// then range-check 8- and 16-bit results; SIGNEDINT64 shifts 64 bits and a count outside 0..63
// shifts every bit out. Float-to-integer results (Ceil, Floor, Round, Trunc, Power) out of
// range raise EInvalidOp. Round with digits rounds half away from zero; negative digits round to
// tens, hundreds, ...
//
// Comparison. CompareValueBuffers compares two raw buffers of possibly different types in their
// common type: two values of one fixed-size type are compared in place with no allocation, two
// numbers of different numeric types without allocation; other mixed pairs convert one side
// through ConvertValueBuffer into a temporary buffer. Text compares by the engine's collation
// (classlib/Collation.h), which stands for the locale comparison: the locale argument is
// accepted for the callers' sake and does not change the order. A text is read up to its
// terminator, within its buffer size when the caller gives one (-1: the buffer is trusted to
// be terminated). With a Length of n >= 0, each side compares its first min(n, own length)
// characters. Two integers compare by value whatever their common type (SHORTINT -1 < WORD 5).
// A NaN of any floating type (CURRENCY included) sorts below every number, date and time and
// equal to any NaN; it never fails a comparison outside text.
//
// Hash: NullValueHash for null; otherwise UpdateCrc32 from ValueHashSeed over the value's bytes:
// the text before its terminator for CHAR, WIDECHAR, STRING and WIDESTRING, DataSize bytes for
// every other type. Values of one type that compare equal hash equal (every NaN of a type, both
// zeros, every true LOGICAL), and so do a text and a
// memo of the same width with the same text; other mixed pairs need not.
//
// Threads: nothing here takes a lock; values and buffers belong to their callers. Random draws
// from a process-wide generator whose state is one atomic word.
#pragma once

#include <cstdint>

#include "foundation/TolvanTypesRoutines.h"
#include "foundation/TolvanVariant.h"

namespace tolvan {

enum TTolvanCompareResult : uint8_t {
  tcrEqual = 0,
  tcrLess = 1,
  tcrGreater = 2,
  tcrFirstNull = 3,
  tcrSecondNull = 4,
  tcrBothNull = 5
};

// The locale the callers pass (LOCALE_USER_DEFAULT).
inline constexpr uint32_t DefaultCompareLocale = 1024;

TTolvanValueType CommonValueType(TTolvanValueType First, TTolvanValueType Second);
// The field type two columns are brought to: the first when the common value type is its value
// type, else the second when it is that one's, else the field type of the common value type.
TTolvanFieldType CommonFieldType(TTolvanFieldType First, TTolvanFieldType Second);
// Both text or memo types and neither wide, or both wide.
bool SameStringFamily(TTolvanValueType A, TTolvanValueType B);

// 3, 4, 5 become 1, 2, 0: a null sorts below every value and two nulls are equal.
constexpr TTolvanCompareResult FoldNullCodes(TTolvanCompareResult R) {
  constexpr TTolvanCompareResult Folded[6] = {tcrEqual, tcrLess,    tcrGreater,
                                              tcrLess,  tcrGreater, tcrEqual};
  return R <= tcrBothNull ? Folded[R] : R;
}

// Raises 30044 for types with no common type, 30140 when a non-null side has no buffer, 30047
// for a common type that has no order (BLOB, BYTES), 30051 / 30052 when a side does not convert.
// SizeA and SizeB bound the reads; -1 trusts the buffer (text terminated, fixed types whole).
TTolvanCompareResult CompareValueBuffers(const void* A, const void* B, TTolvanValueType TypeA,
                                         TTolvanValueType TypeB, bool ANull, bool BNull,
                                         int32_t Length, bool IgnoreCase, uint32_t Locale,
                                         int32_t SizeA = -1, int32_t SizeB = -1);
// -1 for less or first null, 1 for greater or second null, 0 for equal or both null.
int CompareValueBuffersSign(const void* A, const void* B, TTolvanValueType TypeA,
                            TTolvanValueType TypeB, bool ANull, bool BNull, int32_t Length,
                            bool IgnoreCase, uint32_t Locale, int32_t SizeA = -1,
                            int32_t SizeB = -1);

} // namespace tolvan
