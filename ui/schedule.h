// The scheduled scan: the schedule record, its keys in the settings file, and the rule that
// the main window's clock tick applies to start the scan of the Resource list.
#pragma once

#include <cstdint>

#include "platform/profile.h"

namespace kv {

struct Schedule {
    // The day: 0 to 30 the day of the month 1 to 31; 31 to 37 Sunday to Saturday; 38 every
    // day; -1 not set. The month: 0 to 11 January to December; 12 every month; -1 not set.
    // Both are the item positions of the schedule dialog's lists, so the order of those
    // lists is part of the stored format.
    static constexpr std::int32_t kEveryDay = 38;
    static constexpr std::int32_t kFirstWeekday = 31;
    static constexpr std::int32_t kEveryMonth = 12;

    std::int32_t Day = -1;
    std::int32_t Month = -1;
    std::int32_t Hour = 1;  // 0 to 23
    std::int32_t Min = 1;   // 0 to 59
    // Set when the schedule has started its scan; cleared by loading and once the matching
    // minute has passed.
    bool Fired = false;
};

// The settings section of the schedule, and its keys as the dialog writes them and as the
// loader reads them (the file compares them without regard to letter case).
inline constexpr const char* kScheduleSection = "Timer";

// Reads the schedule from the settings file: missing, unreadable or out-of-range values give
// -1, -1, 1, 1 (a schedule that never matches); a stored hour 24 is read as 0. Fired is clear.
Schedule LoadSchedule(const platform::Profile& profile);

// The local time as the schedule compares it.
struct ScheduleTime {
    int DayOfMonth = 1;  // 1 to 31
    int Weekday = 1;     // 1 Sunday to 7 Saturday
    int Month = 1;       // 1 to 12
    int Hour = 0;        // 0 to 23
    int Minute = 0;      // 0 to 59
};

// One tick's check of the armed schedule against the clock. True when the scan is to start
// now; Fired is then set, so one scan starts per matching minute. Fired is cleared on a tick
// whose day and month match but whose minute differs from the schedule's.
bool CheckSchedule(Schedule& schedule, const ScheduleTime& now);

}  // namespace kv
