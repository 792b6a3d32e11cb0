// Where the library finds "Proxies.ini" and the trace level it reads there.
#pragma once

#include <optional>
#include <string>

namespace kestrel::driver_api::Configuration {

// The file for a library in szLibraryFolder (canonical, absolute):
// <common>/VideoDeviceDrivers/<folder without its leading '/'>/../Proxies.ini,
// normalised lexically; <common> is the first absolute entry of
// $XDG_CONFIG_DIRS, else /etc/xdg. When that folder does not exist the file
// is looked for in the library's own folder.
std::string ConfigurationFile(const std::string& strLibraryFolder);

// The text of a key (section and key names matched case-insensitively, the
// first one in the file); none when the file, the section or the key is
// missing.
std::optional<std::string> ReadValue(const std::string& strFile, const char* szSection, const char* szKey);

// Key "Level" of section "ProxyLogging", read as an integer the way Windows
// profile reading does; -1 when the file, the section or the key is missing.
int ReadLevel(const std::string& strFile);

// The seconds of "[ProxyDeadline] Seconds": a whole number from 1 to 86400,
// none for any other text.
std::optional<int> DeadlineSeconds(const std::string& strValue);

// The canonical folder of the loaded library, found from an address inside it.
std::optional<std::string> LibraryFolder();

}  // namespace kestrel::driver_api::Configuration
