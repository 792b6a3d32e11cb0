// libkestrel_partialdriver.so: a driver that exports only a handful of the
// API's functions (and no SetFeatureSet), so that HostProc's neutral answer
// for a missing export can be tested.
//
//   OpenConnection        returns 4242
//   QueryNumberOfCamDyn   returns 3
//   GetImage2             hands over the 7 bytes "PARTIAL", returns 7
//   DeleteBuffer          releases such a block

#include <kestrel/kestrel.h>

#include <cstring>

int OpenConnection(const char*, const char*, int, int) { return 4242; }

int QueryNumberOfCamDyn(const char*, const char*) { return 3; }

int GetImage2(const char*, int, unsigned char** pJpgBytes)
{
    static const char kBlock[] = "PARTIAL";
    const int nSize = static_cast<int>(sizeof kBlock - 1);
    *pJpgBytes = new unsigned char[nSize];
    std::memcpy(*pJpgBytes, kBlock, nSize);
    return nSize;
}

void DeleteBuffer(unsigned char* p) { delete[] p; }
