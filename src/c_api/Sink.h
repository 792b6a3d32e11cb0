// How libKestrel.so hands what it knows to the C interface without an
// export of its own: libKestrelC.so exports a sink, which libKestrel.so
// finds with dlopen(RTLD_NOLOAD) + dlsym when the process has loaded it.
// The sink keeps each note for the calling thread.
#pragma once

// void kestrel_c_sink_v1(int nKind, const char* szText, long long nValue)
#define KESTREL_C_SINK_SYMBOL "kestrel_c_sink_v1"

namespace kestrel_c_sink {

enum Kind : int {
    kAddFailure = 1,   // szText: why the AddDeviceInstance of this thread returns 0
    kImageLength = 2,  // nValue: the length HostProc sent with the GetImage2 block
};

using Sink = void (*)(int nKind, const char* szText, long long nValue);

}  // namespace kestrel_c_sink
