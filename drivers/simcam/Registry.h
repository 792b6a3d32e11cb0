// The driver's process-wide state: one Device per instance id, and the
// feature-set text.
#pragma once

#include "Device.h"

#include <memory>
#include <string>

namespace simcam {

// The device of an instance id, created with the current configuration at
// its first use and kept until the driver is unloaded. Null only for a null
// id.
Device* DeviceFor(const char* instanceId);

void StoreFeatureSet(const char* text);
std::string FeatureSet();

}  // namespace simcam
