#include "foundation/TolvanConverts.h"

#include <gtest/gtest.h>

#include "foundation/TolvanConst.h"

using namespace tolvan;

TEST(StoredDates, DaysAndEmptyDate) {
  EXPECT_EQ(StoredDateToDateTime(693594), 0.0);
  EXPECT_EQ(StoredDateToDateTime(EmptyDateValue), 0.0);
  EXPECT_EQ(DateTimeToStoredDate(0.0), 693594);
  EXPECT_EQ(DateTimeToStoredDate(-693593.0), 1); // 0001-01-01
  EXPECT_EQ(DateTimeToStoredDate(45000.75), 738594);
  EXPECT_EQ(DateTimeToStoredDate(-1.25), 693593); // 1899-12-29
  EXPECT_THROW(DateTimeToStoredDate(3e9), EIntOverflow);
  EXPECT_THROW(DateTimeToStoredDate(-3e9), EIntOverflow);
  EXPECT_THROW(DateTimeToStoredDate(std::numeric_limits<double>::quiet_NaN()), EInvalidOp);
}

TEST(StoredTimes, MillisecondsOfTheDay) {
  EXPECT_EQ(DateTimeToStoredTime(0.5), 43200000);
  EXPECT_EQ(DateTimeToStoredTime(10.5), 43200000);
  EXPECT_EQ(DateTimeToStoredTime(-1.25), 21600000); // time of day, never negative
  EXPECT_EQ(StoredTimeToDateTime(86400000), 0.0);
  EXPECT_EQ(StoredTimeToDateTime(43200000), 0.5);
  EXPECT_EQ(StoredTimeToDateTime(EmptyTimeValue), 0.0);
  // 23:59:59.9996 rounds to 24:00, which for a time alone is midnight.
  EXPECT_EQ(DateTimeToStoredTime(1.0 - 0.0004 / 86400), 0);
  EXPECT_EQ(DateTimeToStoredTime(0.5 / 86400000), 0); // half a millisecond: ties to even
  EXPECT_EQ(DateTimeToStoredTime(1.5 / 86400000), 2);
}

TEST(StoredDateTimes, RoundTripAndCarry) {
  struct Case {
    double Value;
    int32_t Date, Time;
  };
  const Case Cases[] = {
      {0.0, 693594, 0},
      {45000.25, 738594, 21600000},
      {-1.25, 693593, 21600000},
      {-700.75, 692894, 64800000},
      {2.0 - 0.0004 / 86400, 693596, 0}, // carried into the next day
      {-2.0 + 0.0004 / 86400, 693594, 0}, // 1899-12-29 23:59:59.9996 carries to the 30th
  };
  for (const Case& C : Cases) {
    TTolvanStoredDateTime S = DateTimeToStoredDateTime(C.Value);
    EXPECT_EQ(S.Date, C.Date) << C.Value;
    EXPECT_EQ(S.Time, C.Time) << C.Value;
  }
  for (double V : {0.0, 45000.25, -1.25, -700.75, 1.5})
    EXPECT_DOUBLE_EQ(StoredDateTimeToDateTime(DateTimeToStoredDateTime(V)), V);
  EXPECT_EQ(StoredDateTimeToDateTime({693596, EmptyTimeValue}), 2.0);
}
