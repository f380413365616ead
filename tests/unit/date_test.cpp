// date!'s day numbers over the whole year range: every day number maps to a
// calendar date and back, consecutive day numbers are consecutive dates, and
// the weekday steps through 1-7 without a break, before year 0 as after it.
#include "runtime/datatypes/date.h"

#include <gtest/gtest.h>

using namespace oru;

TEST(DateDays, EveryDayOfTheRangeRoundTrips) {
    const i64 first = date::days_from_civil(date::min_year, 1, 1);
    const i64 last = date::days_from_civil(date::max_year, 12, 31);
    i32 py, pm, pd;
    date::civil_from_days(first, &py, &pm, &pd);
    ASSERT_EQ(py, date::min_year);
    ASSERT_EQ(pm, 1);
    ASSERT_EQ(pd, 1);
    i64 weekday = ((first + 2) % 7 + 7) % 7;
    for (i64 g = first + 1; g <= last; g++) {
        i32 y, m, d;
        date::civil_from_days(g, &y, &m, &d);
        const bool next_day = y == py && m == pm && d == pd + 1;
        const bool next_month = y == py && m == pm + 1 && d == 1 && pd == date::days_in_month(py, pm);
        const bool next_year = y == py + 1 && m == 1 && d == 1 && pm == 12 && pd == 31;
        ASSERT_TRUE(next_day || next_month || next_year) << g << ": " << y << "-" << m << "-" << d;
        ASSERT_EQ(date::days_from_civil(y, m, d), g) << y << "-" << m << "-" << d;
        weekday = (weekday + 1) % 7;
        ASSERT_EQ(((g + 2) % 7 + 7) % 7, weekday);
        py = y, pm = m, pd = d;
    }
    EXPECT_EQ(py, date::max_year);
}

TEST(DateDays, LeapYearsAroundYearZero) {
    // Year 0 and -400 are leap years, -100 is not.
    for (const auto& [year, days] : {std::pair{0, 29}, {-400, 29}, {-100, 28}, {-4, 29}, {-1, 28}})
        EXPECT_EQ(date::days_from_civil(year, 3, 1) - date::days_from_civil(year, 2, 1), days) << year;
}
