// TolvanConverts.h: the stored forms of dates and times.
//
//   stored date      int32  days with 0001-01-01 as day 1 (TDateTime day 0 is 693594);
//                           EmptyDateValue (INT32_MIN) means no date
//   stored time      int32  milliseconds since midnight, 0 .. 86 399 999; -1 means no time
//   stored date-time 8 bytes: the stored date, then the stored time
//
// A TDateTime before 1899-12-30 keeps the time of day in the magnitude of its fraction
// (-1.25 is 1899-12-29 06:00), so the time of day stored for it is never negative, and composing
// a stored pair before that day subtracts the time. A time that rounds to 24:00 is midnight of
// the next day: the date-time conversion carries it into the date, the time-only conversion
// gives 00:00.
//
// Threads: pure functions.
#pragma once

#include <cstdint>

#include "classlib/DateUtils.h" // DateDelta, MSecsPerDay
#include "classlib/SysUtils.h"

namespace tolvan {

inline constexpr int32_t EmptyTimeValue = -1;

struct TTolvanStoredDateTime {
  int32_t Date;
  int32_t Time;
};

TDateTime StoredDateToDateTime(int32_t Date);
// Raise EIntOverflow when the result does not fit 32 bits, EInvalidOp for NaN.
int32_t DateTimeToStoredDate(TDateTime Value);
TDateTime StoredTimeToDateTime(int32_t Time);
int32_t DateTimeToStoredTime(TDateTime Value);
TDateTime StoredDateTimeToDateTime(TTolvanStoredDateTime Value);
TTolvanStoredDateTime DateTimeToStoredDateTime(TDateTime Value);

} // namespace tolvan
