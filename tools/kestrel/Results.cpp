#include "Results.h"

namespace kestrel_cli {

namespace {

bool OneOf(const std::string& strName, std::initializer_list<const char*> names)
{
    for (const char* szName : names) {
        if (strName == szName)
            return true;
    }
    return false;
}

}  // namespace

std::string ResultMeaning(const std::string& strExport, long nResult)
{
    // Exports that hand over a block answer its length.
    if (OneOf(strExport, {"GetImage2", "GetVideoDataBlock", "GetMediaDataBlock"}))
        return nResult > 0 ? " (bytes in the block)" : " (no block)";
    if (strExport == "GetInfo") {
        if (nResult == 0 || nResult == 77)
            return " (success)";
        if (nResult == 1)
            return " (the driver answered 57005, which libKestrel.so reports as 1)";
        return " (failure: 0 and 77 mean success)";
    }
    if (OneOf(strExport, {"QueryPresetPositions", "QueryPtzSupportedDyn"}))
        return nResult > 0 ? " (names written)" : " (no names)";
    if (strExport == "QueryEventsDyn")
        return nResult != 0 ? " (the open events were replaced)" : " (the open events were left as they were)";
    if (strExport == "AddDeviceInstance")
        return nResult == 1 ? " (registered)" : " (failed)";
    if (strExport == "FunctionSupported")
        return nResult == 0 ? " (not supported)" : " (supported)";
    return "";
}

std::string Answered(const std::string& strCall, long nResult)
{
    const std::string strExport = strCall.substr(0, strCall.find('('));
    return strCall + " answered " + std::to_string(nResult) + ResultMeaning(strExport, nResult);
}

}  // namespace kestrel_cli
