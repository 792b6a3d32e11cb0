// A driver loaded the way HostProc loads one: dlopen RTLD_NOW|RTLD_LOCAL and
// one function pointer per export (null when the driver lacks it).
#pragma once

#include <kestrel/driver_exports.h>

#include <dlfcn.h>

namespace testdriver {

struct DriverTable {
#define TESTDRIVER_POINTER(OP, R, NAME, PARAMS, ARGS) R(*NAME) PARAMS = nullptr;
    KESTREL_FORWARDING_EXPORTS(TESTDRIVER_POINTER)
    KESTREL_DRIVER_SERVICE_EXPORTS(TESTDRIVER_POINTER)
#undef TESTDRIVER_POINTER
    void* handle = nullptr;

    explicit DriverTable(const char* path)
    {
        handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
        if (handle == nullptr)
            return;
#define TESTDRIVER_RESOLVE(OP, R, NAME, PARAMS, ARGS) NAME = reinterpret_cast<R(*) PARAMS>(dlsym(handle, #NAME));
        KESTREL_FORWARDING_EXPORTS(TESTDRIVER_RESOLVE)
        KESTREL_DRIVER_SERVICE_EXPORTS(TESTDRIVER_RESOLVE)
#undef TESTDRIVER_RESOLVE
    }

    // Drivers stay loaded for the life of the test process, as in HostProc
    // while an instance is open.
    DriverTable(const DriverTable&) = delete;
    DriverTable& operator=(const DriverTable&) = delete;
};

}  // namespace testdriver
