// A driver linked the way a driver should not be, for kestrel probe's
// findings: built with default visibility, GNU unique symbols and no version
// script or -Bsymbolic (see CMakeLists.txt), it exports a helper that is not
// driver API, holds a unique symbol, calls one of its own exports through the
// dynamic symbol table, and has no DeleteBuffer.
#include <kestrel/kestrel.h>

// A static local of an inline function: a GNU unique symbol.
inline int& CallCount()
{
    static int nCount = 0;
    return nCount;
}

extern "C" {

__attribute__((visibility("default"))) int bad_driver_helper(int n) { return n + CallCount()++; }

int QueryNumberOfCamDyn(const char*, const char*) { return bad_driver_helper(1); }

// Calls the export above through the PLT: another library can interpose it.
int QueryDeviceIdDyn(const char* szServer, const char* szPassword)
{
    return 100 + QueryNumberOfCamDyn(szServer, szPassword);
}

}  // extern "C"
