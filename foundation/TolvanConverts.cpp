#include "foundation/TolvanConverts.h"

#include <cmath>

#include "foundation/TolvanConst.h"

namespace tolvan {

namespace {

void CheckFinite(double V) {
  if (std::isnan(V) || std::isinf(V))
    throw EInvalidOp(std::string(SysConst::SInvalidOp));
}

int32_t ToInt32(double V) {
  if (!(V >= -2147483648.0 && V <= 2147483647.0))
    throw EIntOverflow(std::string(SysConst::SIntOverflow));
  return static_cast<int32_t>(V);
}

// The time of day of a TDateTime in milliseconds, 0 .. 86 400 000 (the top value meaning the
// next midnight), rounded half to even.
double TimeOfDayMs(TDateTime Value) {
  double Frac = std::fabs(Value - std::trunc(Value));
  return std::nearbyint(Frac * MSecsPerDay);
}

} // namespace

TDateTime StoredDateToDateTime(int32_t Date) {
  if (Date == EmptyDateValue)
    return 0.0;
  return static_cast<double>(Date) - DateDelta;
}

int32_t DateTimeToStoredDate(TDateTime Value) {
  CheckFinite(Value);
  return ToInt32(std::trunc(Value) + DateDelta);
}

TDateTime StoredTimeToDateTime(int32_t Time) {
  if (Time == EmptyTimeValue)
    return 0.0;
  double X = static_cast<double>(Time) / MSecsPerDay;
  return X - std::trunc(X);
}

int32_t DateTimeToStoredTime(TDateTime Value) {
  CheckFinite(Value);
  double Ms = TimeOfDayMs(Value);
  return Ms >= MSecsPerDay ? 0 : static_cast<int32_t>(Ms);
}

TDateTime StoredDateTimeToDateTime(TTolvanStoredDateTime Value) {
  TDateTime Date = StoredDateToDateTime(Value.Date);
  if (Value.Time == EmptyTimeValue)
    return Date;
  TDateTime Time = StoredTimeToDateTime(Value.Time);
  return Date < 0 ? Date - Time : Date + Time;
}

TTolvanStoredDateTime DateTimeToStoredDateTime(TDateTime Value) {
  CheckFinite(Value);
  double Ms = TimeOfDayMs(Value);
  double Day = std::trunc(Value) + DateDelta;
  if (Ms >= MSecsPerDay) {
    Ms = 0;
    Day += 1;
  }
  return {ToInt32(Day), static_cast<int32_t>(Ms)};
}

} // namespace tolvan
