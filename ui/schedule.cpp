#include "ui/schedule.h"

namespace kv {

Schedule LoadSchedule(const platform::Profile& profile) {
    Schedule schedule;
    schedule.Day = profile.ReadInteger(kScheduleSection, "Day", -1);
    schedule.Month = profile.ReadInteger(kScheduleSection, "month", -1);
    schedule.Hour = profile.ReadInteger(kScheduleSection, "hour", 1);
    schedule.Min = profile.ReadInteger(kScheduleSection, "min", 1);
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
