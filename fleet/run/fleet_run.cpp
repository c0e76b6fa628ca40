#include "fleet/run/fleet_run.h"

#include "fleet/run/scheduler.h"

namespace modflash::fleet {

FleetResult RunFleet(const FleetSettings& settings,
                     const std::vector<Reader>& readers, Display& display) {
  return Scheduler(settings, readers, display).Run();
}

}  // namespace modflash::fleet
