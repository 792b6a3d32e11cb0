#include "Registry.h"

#include <map>
#include <mutex>

namespace simcam {
namespace {

// Devices read the feature set while holding their own lock, so it has a
// lock of its own, separate from the map's.
struct State {
    std::mutex mutex;
    std::map<std::string, std::unique_ptr<Device>> devices;
    std::mutex featureSetMutex;
    std::string featureSet;
};

State& Global()
{
    static State state;
    return state;
}

}  // namespace

Device* DeviceFor(const char* instanceId)
{
    if (instanceId == nullptr)
        return nullptr;
    State& s = Global();
    std::lock_guard lock(s.mutex);
    auto& device = s.devices[instanceId];
    if (!device)
        device = std::make_unique<Device>(instanceId, LoadConfig(instanceId));
    return device.get();
}

void StoreFeatureSet(const char* text)
{
    State& s = Global();
    std::lock_guard lock(s.featureSetMutex);
    s.featureSet = text != nullptr ? text : "";
}

std::string FeatureSet()
{
    State& s = Global();
    std::lock_guard lock(s.featureSetMutex);
    return s.featureSet;
}

}  // namespace simcam
