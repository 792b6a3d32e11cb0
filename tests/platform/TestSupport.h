// Helpers shared by the platform tests.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace NmPlatformTest {

// A fresh directory under $TMPDIR (or /tmp), removed with its contents.
class CmTempDir
{
public:
    CmTempDir()
    {
        const char* szBase = std::getenv("TMPDIR");
        std::string strTemplate = std::string(szBase != nullptr ? szBase : "/tmp") + "/kestrel-platform-XXXXXX";
        if (mkdtemp(strTemplate.data()) != nullptr)
            m_Path = strTemplate;
    }
    ~CmTempDir()
    {
        std::error_code ec;
        std::filesystem::remove_all(m_Path, ec);
    }
    CmTempDir(const CmTempDir&) = delete;
    CmTempDir& operator=(const CmTempDir&) = delete;

    const std::filesystem::path& Path() const { return m_Path; }

private:
    std::filesystem::path m_Path;
};

inline std::string ReadFile(const std::filesystem::path& path)
{
    std::ifstream file(path, std::ios::binary);
    std::ostringstream content;
    content << file.rdbuf();
    return content.str();
}

} // namespace NmPlatformTest
