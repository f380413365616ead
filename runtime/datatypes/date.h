// date!: a proleptic Gregorian date, with an optional time of day and zone.
//
// Header type 47. Payload word 1 is the packed date: year in bits 17-31
// (signed, -16384..16383), the has-time flag in bit 16, month in bits 12-15,
// day in bits 7-11, zone in bits 0-6 (bit 6 the sign, west of UTC; bits 2-5
// whole hours; bits 0-1 quarter hours). Words 2-3 hold the time, a double:
// the UTC time of day measured from the midnight of the LOCAL date, that is
// the local time of day minus the zone offset.
//
// Invariants every operation keeps: the local time of day (stored time +
// zone offset) lies in [0, 86400); a date without the has-time flag has
// time 0 and zone 0; the year stays in its field's range (make and to refuse
// a year beyond it, arithmetic and writes raise script/type-limit).
//
// Calendar arithmetic goes through day numbers, day 0 being 1 March of year
// 0, with floor division so that years before 0 count right. The action
// table is at the bottom of date.cpp.
#pragma once

#include "runtime/cell.h"

namespace oru::date {

constexpr u32 has_time_flag = 1u << 16;
constexpr u32 zone_mask = 127;
constexpr i32 min_year = -16384, max_year = 16383;

// The accessor numbers of paths, pick and date/get-field.
namespace field {
constexpr i32 date = 1, year = 2, month = 3, day = 4, zone = 5, time = 6, hour = 7, minute = 8, second = 9,
              weekday = 10, yearday = 11, timezone = 12, week = 13, isoweek = 14;
}

inline i32 year_of(u32 packed) { return static_cast<i32>(packed) >> 17; }
inline i32 month_of(u32 packed) { return static_cast<i32>((packed >> 12) & 15); }
inline i32 day_of(u32 packed) { return static_cast<i32>((packed >> 7) & 31); }
inline u32 zone_of(u32 packed) { return packed & zone_mask; }
inline bool has_time_q(u32 packed) { return (packed & has_time_flag) != 0; }
inline double time_of(const Cell& date) { return cell::get_float(date); }

bool leap_year_q(i32 year);
i32 days_in_month(i32 year, i32 month);
// Day numbers: day 0 is 1 March of year 0. Days 0 or past the month's
// length count on, which is how normalization works; month is 1-12.
i64 days_from_civil(i64 year, i32 month, i64 day);
// The date of a day number; the day must lie within the year range.
void civil_from_days(i64 days, i32* year, i32* month, i32* day);
// The day number of a packed date.
i64 days_of(u32 packed);
// The day of the year, from 1.
i32 year_day(u32 packed);

// The 7-bit zone field: |hours| in bits 2-5, |minutes| / 15 in bits 0-1, the
// sign in bit 6, taken from hours, or from minutes when hours are 0 (so
// -0:30 stays west of UTC).
u32 pack_zone(i32 hours, i32 minutes);
// The offset of a zone field in seconds.
double zone_seconds(u32 zone);

// A date! cell (date/make-at). With has_time the stored time is the local
// time of day minus the zone offset; without it zone and time are 0. The
// caller gives a valid calendar date within the year range.
Cell make(i32 year, i32 month, i32 day, i32 zone_hours, i32 zone_minutes, double local_time, bool has_time);
// A date with time in zone 0 from its clock fields (file times).
Cell make_hms(i32 year, i32 month, i32 day, i32 hour, i32 minute, i32 second, i32 nanoseconds);
// A date! from a Unix time and a UTC offset in seconds (a multiple of 15
// minutes within 15:45): the local date and time of that instant.
Cell from_epoch(i64 seconds, double fraction, double offset);

Cell* push(u32 packed, double time);
void make_in(const Cell& block, u32 packed, double time);

// Pushes the value of an accessor (field::date ... field::isoweek).
Cell* get_field(const Cell& date, i32 which);
// The time! (days_a - days_b) x 86400 + (time_a - time_b), written over a.
void difference(Cell* a, const Cell& b);
// Unix time of the instant, the time rounded to the nearest second (halves
// upward); script/type-limit (integer!) when it leaves 32 bits.
i32 to_epoch(const Cell& date);

// Appends the text of a date (its form and mold).
void form_into(const Cell& buffer, const Cell& date);

// Registers date! (type 47, no parent).
void init();

}  // namespace oru::date
