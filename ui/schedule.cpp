#include "ui/schedule.h"

namespace kv {

namespace {

// A stored value outside its range is refused: the key's default takes its place.
std::int32_t ReadInRange(const platform::Profile& profile, const char* key, std::int32_t low,
                         std::int32_t high, std::int32_t fallback) {
    const std::int32_t value = profile.ReadInteger(kScheduleSection, key, fallback);
    return value >= low && value <= high ? value : fallback;
}

}  // namespace

Schedule LoadSchedule(const platform::Profile& profile) {
    Schedule schedule;
    schedule.Day = ReadInRange(profile, "Day", -1, Schedule::kEveryDay, -1);
    schedule.Month = ReadInRange(profile, "month", -1, Schedule::kEveryMonth, -1);
    // Hours run from 0 to 23; 24, which older settings may hold, is midnight.
    schedule.Hour = ReadInRange(profile, "hour", 0, 24, 1) % 24;
    schedule.Min = ReadInRange(profile, "min", 0, 59, 1);
    schedule.Fired = false;
    return schedule;
}

bool CheckSchedule(Schedule& schedule, const ScheduleTime& now) {
    const bool day = now.DayOfMonth == schedule.Day + 1 ||
                     now.Weekday == schedule.Day - (Schedule::kFirstWeekday - 1) ||
                     schedule.Day == Schedule::kEveryDay;
    if (!day) return false;
    const bool month = now.Month == schedule.Month + 1 || schedule.Month == Schedule::kEveryMonth;
    if (!month) return false;
    if (now.Minute != schedule.Min) schedule.Fired = false;
    if (now.Hour != schedule.Hour || now.Minute != schedule.Min || schedule.Fired) return false;
    schedule.Fired = true;
    return true;
}

}  // namespace kv
