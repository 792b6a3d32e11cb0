// The exports that the library answers itself, without a remote call. They
// write no log line and never throw.
#include <kestrel/kestrel.h>

#include "instances/Registry.h"

extern "C" {

KESTREL_API int QueryDeviceId(const char*, const char*) { return 406; }

KESTREL_API int PreventAutoDetect() { return 1; }

KESTREL_API int IsDebugBuild() { return 0; }

KESTREL_API int GetRuntimeVersion() { return 1000; }

KESTREL_API int GetRuntimeVersionDyn() __attribute__((alias("GetRuntimeVersion"), copy(GetRuntimeVersion)));

KESTREL_API void PreUnload() {}

// Stored once: a later call cannot change a non-empty text. It takes no lock:
// it is to be called before instances are added.
KESTREL_API void SetFeatureSet(const char* szFeatureSet) {
    using kestrel::instances::g_strFeatureSet;
    if (g_strFeatureSet.empty()) g_strFeatureSet = szFeatureSet;
}

// Releases a block that an export handed over (allocated with new[]).
KESTREL_API void DeleteBuffer(unsigned char* p) { delete[] p; }

}  // extern "C"
