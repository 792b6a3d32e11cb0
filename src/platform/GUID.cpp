#include "platform/GUID.h"

#include <algorithm>

namespace NmGUID {

bool CmGUID::IsNil() const noexcept
{
    return std::all_of(m_Value.begin(), m_Value.end(), [](unsigned char nByte) { return nByte == 0; });
}

}  // namespace NmGUID
