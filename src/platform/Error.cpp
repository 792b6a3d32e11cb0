#include "platform/Error.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/TextConversion.h"

namespace NmError {

CmError::CmError(std::string_view strLocation, std::string_view strMessage)
    : m_strLocation(strLocation), m_strMessage(strMessage)
{
}

CmError::CmError(std::string_view strLocation, std::string_view strMessage, const CmError& cause)
    : m_strLocation(strLocation), m_strMessage(strMessage), m_pCause(cause.Clone())
{
}

CmError::CmError(const CmError& other)
    : std::exception(other),
      m_strLocation(other.m_strLocation),
      m_strMessage(other.m_strMessage),
      m_pCause(other.m_pCause ? other.m_pCause->Clone() : nullptr)
{
}

CmError::~CmError() = default;

const char* CmError::what() const noexcept { return m_strMessage.c_str(); }

std::unique_ptr<CmError> CmError::Clone() const { return std::make_unique<CmError>(*this); }

std::string CmError::GetDescription() const
{
    std::string strDescription = m_strLocation + ": " + m_strMessage;
    if (m_pCause)
        strDescription += "\n" + m_pCause->GetDescription();
    return strDescription;
}

void CmError::Print() const
{
    // One fwrite per level keeps a level's line in one piece.
    const std::string strLine =
        NmTextConversion::Utf8ToLocal(m_strLocation) + ": " + NmTextConversion::Utf8ToLocal(m_strMessage) + "\n";
    std::fwrite(strLine.data(), 1, strLine.size(), stderr);
    std::fflush(stderr);
    if (m_pCause)
        m_pCause->Print();
}

// errno is read in the argument list of the delegation, before the base copies
// any text, so no allocation can run between the failing call and the read.
CmSystemError::CmSystemError(std::string_view strLocation, std::string_view strMessage)
    : CmSystemError(strLocation, strMessage, errno)
{
}

CmSystemError::CmSystemError(std::string_view strLocation, std::string_view strMessage, int nCode)
    : CmError(strLocation, strMessage), m_nCode(static_cast<std::uint32_t>(nCode))
{
    const char* szDescription = strerrordesc_np(nCode);
    if (szDescription != nullptr) {
        AppendToMessage(" : ");
        AppendToMessage(szDescription);
    } else {
        AppendToMessage(" : Further error description unavaliable!");
    }
}

CmSystemError::~CmSystemError() = default;

std::unique_ptr<CmError> CmSystemError::Clone() const { return std::make_unique<CmSystemError>(*this); }

}  // namespace NmError
