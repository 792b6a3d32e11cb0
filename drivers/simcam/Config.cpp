#include "Config.h"

#include <ini.h>

#include <strings.h>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <optional>

namespace simcam {
namespace {

std::optional<long> ParseLong(const std::string& text)
{
    if (text.empty())
        return std::nullopt;
    char* end = nullptr;
    const long v = std::strtol(text.c_str(), &end, 10);
    if (*end != '\0')
        return std::nullopt;
    return v;
}

std::optional<double> ParseDouble(const std::string& text)
{
    if (text.empty())
        return std::nullopt;
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (*end != '\0')
        return std::nullopt;
    return v;
}

bool SetInt(int& field, const std::string& text, long lo, long hi, bool even = false)
{
    const auto v = ParseLong(text);
    if (!v || *v < lo || *v > hi || (even && *v % 2 != 0))
        return false;
    field = static_cast<int>(*v);
    return true;
}

struct IniTarget {
    Config* config;
    const std::string* instanceId;
};

int OnIniEntry(void* user, const char* section, const char* name, const char* value)
{
    auto* target = static_cast<IniTarget*>(user);
    // The shared section applies to everyone; the instance's own section is
    // applied in a second pass so that it wins regardless of file order.
    if (strcasecmp(section, "simcam") == 0)
        target->config->Set(name, value);
    return 1;
}

int OnIniInstanceEntry(void* user, const char* section, const char* name, const char* value)
{
    auto* target = static_cast<IniTarget*>(user);
    if (*target->instanceId == section)
        target->config->Set(name, value);
    return 1;
}

}  // namespace

bool Config::Set(const std::string& rawKey, const std::string& value)
{
    std::string key;
    for (char c : rawKey)
        key.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));

    if (key == "width")
        return SetInt(width, value, 64, 4096, true);
    if (key == "height")
        return SetInt(height, value, 48, 4096, true);
    if (key == "quality")
        return SetInt(quality, value, 1, 100);
    if (key == "cameras")
        return SetInt(cameras, value, 1, 16);
    if (key == "inputs")
        return SetInt(inputs, value, 0, 16);
    if (key == "outputs")
        return SetInt(outputs, value, 0, 16);
    if (key == "record_frames")
        return SetInt(recordFrames, value, 2, 100000);
    if (key == "fps") {
        const auto v = ParseDouble(value);
        if (!v || !(*v >= 0.1 && *v <= 60.0))
            return false;
        fps = *v;
        return true;
    }
    if (key == "deterministic") {
        const auto v = ParseLong(value);
        if (!v || (*v != 0 && *v != 1))
            return false;
        deterministic = *v == 1;
        return true;
    }
    if (key == "password") {
        if (value.empty() || value.size() > 63)
            return false;
        password = value;
        return true;
    }
    return false;
}

Config LoadConfig(const std::string& instanceId)
{
    Config config;
    if (const char* path = std::getenv("SIMCAM_CONFIG"); path != nullptr && *path != '\0') {
        IniTarget target{&config, &instanceId};
        ini_parse(path, OnIniEntry, &target);
        ini_parse(path, OnIniInstanceEntry, &target);
    }
    static const char* const kKeys[] = {"width",  "height",  "fps",      "quality",       "cameras",
                                        "inputs", "outputs", "password", "deterministic", "record_frames"};
    for (const char* key : kKeys) {
        std::string variable = "SIMCAM_";
        for (const char* c = key; *c != '\0'; ++c)
            variable.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(*c))));
        if (const char* value = std::getenv(variable.c_str()); value != nullptr)
            config.Set(key, value);
    }
    return config;
}

}  // namespace simcam
