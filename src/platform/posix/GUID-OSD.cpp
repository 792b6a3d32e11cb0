// libuuid layer of CmGUID.
#include <uuid/uuid.h>

#include <algorithm>
#include <cctype>
#include <cstring>

#include "platform/Error.h"
#include "platform/GUID.h"

#define THIS_FILE "posix/GUID-OSD.cpp"

namespace NmGUID {

void CmGUID::GenerateNew()
{
    uuid_t newValue;
    uuid_generate_random(newValue);
    // libuuid reports no failure; a nil result is the only sign of one (a
    // random GUID always carries its version bits).
    if (uuid_is_null(newValue))
        throw NmError::CmError(NMERROR_LOCATION("NmGUID::CmGUID::GenerateNew", THIS_FILE),
                               "Error generating new GUID!");
    std::memcpy(m_Value.data(), newValue, m_Value.size());
}

std::string CmGUID::ToString() const
{
    char szText[37];
    uuid_unparse(m_Value.data(), szText);
    std::string strText(szText);
    std::transform(strText.begin(), strText.end(), strText.begin(),
                   [](char c) { return static_cast<char>(std::toupper(static_cast<unsigned char>(c))); });
    return strText;
}

}  // namespace NmGUID
