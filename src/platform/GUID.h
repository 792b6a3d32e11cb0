// NmGUID: random globally unique identifiers and their text form.
#pragma once

#include <array>
#include <string>

namespace NmGUID {

class CmGUIDOS {
public:
    virtual ~CmGUIDOS() = default;
};

class CmGUID : public CmGUIDOS {
public:
    // The nil GUID.
    CmGUID() = default;

    // Replaces the value with a new random GUID; raises NmError::CmError
    // "Error generating new GUID!" and keeps the value when that fails.
    void GenerateNew();
    // 36 characters, 8-4-4-4-12 upper-case hexadecimal digits.
    std::string ToString() const;

    bool IsNil() const noexcept;

private:
    std::array<unsigned char, 16> m_Value{};
};

}  // namespace NmGUID
