#include "app/maintenance.h"

#include <ctime>

#include "params/parafile.h"

namespace maintenance {

int64_t Today() { return static_cast<int64_t>(std::time(nullptr) / 86400); }

bool Load(ParaFile& storage, int64_t today, MaintenanceCounters& out) {
  double seconds = 0, day = 0;
  const bool have = storage.GetDouble("MaintRunSeconds", seconds) && storage.GetDouble("MaintDoneDay", day);
  if (!have || !(seconds >= 0) || !(day > 0) || day > static_cast<double>(today) + 1) {
    out = MaintenanceCounters{0, today};
    Save(storage, out);
    return true;
  }
  out.runSeconds = seconds;
  out.doneDay = static_cast<int64_t>(day);
  return false;
}

void Save(ParaFile& storage, const MaintenanceCounters& c) {
  storage.SetDouble("MaintRunSeconds", c.runSeconds);
  storage.SetDouble("MaintDoneDay", static_cast<double>(c.doneDay));
}

bool Due(const MaintenanceCounters& c, double opHours, double totDays, int64_t today) {
  if (opHours > 0 && c.runSeconds >= opHours * 3600.0) return true;
  return totDays > 0 && static_cast<double>(today - c.doneDay) >= totDays;
}

}  // namespace maintenance
