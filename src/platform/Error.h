// NmError: the one exception hierarchy of the platform library.
//
// Every failure is thrown by value as a CmError (or a class derived from it)
// that carries where it was raised, a message and an owned copy of the error
// that caused it, so one caught object describes the whole chain.
#pragma once

#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <string_view>

#define NMERROR_STRINGIFY_(x) #x
#define NMERROR_STRINGIFY(x) NMERROR_STRINGIFY_(x)

// Location text of a raise site, "<function> (line <file>, <line>)", as one
// string literal: it is built at compile time, so building it can never
// disturb errno between a failing call and the CmSystemError that reads it.
// szFile is the literal name of the source file ("posix/Thread-OSD.cpp"),
// never __FILE__, which would leak the build machine's absolute path.
#define NMERROR_LOCATION(szFunction, szFile) szFunction " (line " szFile ", " NMERROR_STRINGIFY(__LINE__) ")"

namespace NmError {

class CmError : public std::exception {
public:
    CmError(std::string_view strLocation, std::string_view strMessage);
    // Stores a private deep copy of cause (cause.Clone()).
    CmError(std::string_view strLocation, std::string_view strMessage, const CmError& cause);
    CmError(const CmError& other);
    CmError& operator=(const CmError&) = delete;
    ~CmError() override;

    // The message only: never the location, never the cause.
    const char* what() const noexcept override;
    // A new object of this object's dynamic class, cause chain included.
    [[nodiscard]] virtual std::unique_ptr<CmError> Clone() const;
    // "location: message", one line per level, outermost first, no final "\n".
    virtual std::string GetDescription() const;
    // Writes the chain to stderr in the local code page, one line per level.
    virtual void Print() const;

    const std::string& GetLocation() const noexcept { return m_strLocation; }
    const std::string& GetMessage() const noexcept { return m_strMessage; }
    // The causing error, or nullptr.
    const CmError* GetCause() const noexcept { return m_pCause.get(); }

protected:
    void AppendToMessage(std::string_view strText) { m_strMessage.append(strText); }

private:
    std::string m_strLocation;
    std::string m_strMessage;
    std::unique_ptr<CmError> m_pCause;
};

// A failed system call: code is the call's errno, and the message gets
// " : " and the system's description of that code appended.
class CmSystemError final : public CmError {
public:
    // Reads errno: construct it right after the failing call.
    CmSystemError(std::string_view strLocation, std::string_view strMessage);
    // The code given: for functions that return their error (pthread_*),
    // and for codes that travelled (a child's failed exec).
    CmSystemError(std::string_view strLocation, std::string_view strMessage, int nCode);
    CmSystemError(const CmSystemError& other) = default;
    ~CmSystemError() override;

    [[nodiscard]] std::unique_ptr<CmError> Clone() const override;
    std::uint32_t GetCode() const noexcept { return m_nCode; }

private:
    std::uint32_t m_nCode;
};

// Common shape of the errors that carry the number of the failing operation
// (CmThreadError, CmProcessError, ...): one code after the base fields, and a
// Clone that keeps the dynamic class.
template <typename TDerived>
class CmOperationError : public CmError {
public:
    CmOperationError(std::string_view strLocation, std::string_view strMessage, std::uint32_t nCode)
        : CmError(strLocation, strMessage), m_nCode(nCode)
    {
    }
    CmOperationError(std::string_view strLocation, std::string_view strMessage, std::uint32_t nCode,
                     const CmError& cause)
        : CmError(strLocation, strMessage, cause), m_nCode(nCode)
    {
    }

    [[nodiscard]] std::unique_ptr<CmError> Clone() const override
    {
        return std::make_unique<TDerived>(static_cast<const TDerived&>(*this));
    }
    std::uint32_t GetCode() const noexcept { return m_nCode; }

private:
    std::uint32_t m_nCode;
};

}  // namespace NmError
