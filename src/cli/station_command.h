#pragma once
// `vantel-cli station FILE`: judges and copies the file, serves simulated
// keyboards to the children, and runs the station.

#include "cli/devices.h"
#include "cli/options.h"
#include "link/hid_backend.h"

namespace vantel::sim {
class SimBackend;
}

namespace vantel::cli {

int runStationCommand(const Options& options, HidBackend& backend, DeviceLocator& locator,
                      sim::SimBackend* simulator, bool terminal);

}  // namespace vantel::cli
