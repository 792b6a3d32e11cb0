// The simulated camera's configuration: defaults, INI file, environment.
#pragma once

#include <string>

namespace simcam {

struct Config {
    int width = 1280;
    int height = 720;
    double fps = 10.0;
    int quality = 80;
    int cameras = 2;
    int inputs = 2;
    int outputs = 2;
    std::string password = "simcam";
    bool deterministic = false;
    int recordFrames = 300;

    // Sets one key from its text; false (and no change) when the key is
    // unknown or the value invalid.
    bool Set(const std::string& key, const std::string& value);
};

// The configuration of instance `instanceId` as the sources say now.
Config LoadConfig(const std::string& instanceId);

}  // namespace simcam
