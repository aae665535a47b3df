// Maintenance counters kept in "storage.txt": the machine's running time and
// the date of the last maintenance. Due when either configured interval
// (operating hours, calendar days; 0 = none) has passed.
#pragma once

#include <cstdint>

class ParaFile;

struct MaintenanceCounters {
  double runSeconds = 0;   // machine busy since the last maintenance, s
  int64_t doneDay = 0;     // day of the last maintenance, days since 1970
};

namespace maintenance {
// Reads the counters; a missing or unusable record starts them anew (today)
// and returns true: the caller logs that the timer was cleared.
bool Load(ParaFile& storage, int64_t today, MaintenanceCounters& out);
void Save(ParaFile& storage, const MaintenanceCounters& c);
// Intervals: opHours and totDays from the configuration, 0 = not used.
bool Due(const MaintenanceCounters& c, double opHours, double totDays, int64_t today);
int64_t Today();
}  // namespace maintenance
