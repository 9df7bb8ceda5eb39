// The virtual samplers as named ports: every profile under its port name, and
// test ports with a profile of the test's own, with a way to reach the device.
#pragma once

#include <memory>
#include <string>

#include "sim/SimDevice.h"

namespace sim {

// Registers every named profile ("SIM", "SIM-QUELM", ...) with real timing.
void InstallVirtualSamplers();

// Takes back every port this copy of the code registered (the named profiles
// and RegisterSimPort's), before the code goes: the factories are its code.
void UninstallVirtualSamplers();

// The devices of this copy of the code that an open port still holds; the
// code must stay loaded while there are any.
long OpenDeviceCount();

// Registers `profile` under `portName` (replacing any earlier registration).
// With options.realTiming false the line carries bytes instantly; pair it
// with FastOptions() where timing is not the subject.
bool RegisterSimPort(const std::string& portName, SimProfile profile, SimOptions options = {},
                     platform::VirtualPortOptions portOptions = {});

// The device behind the most recent open of a registered sim port; it stays
// valid (and inert) after the port is closed. Null before the first open.
std::shared_ptr<SimDevice> LiveDevice(const std::string& portName);

}  // namespace sim
