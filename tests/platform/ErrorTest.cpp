// Error chains: texts, deep copies, Clone, descriptions and Print.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "TestSupport.h"
#include "platform/Error.h"
#include "platform/Process.h"
#include "platform/Thread.h"
#include "platform/TimeStamp.h"

namespace {

using NmError::CmError;
using NmError::CmSystemError;

constexpr const char* kInnerLocation = "NmTest::Inner (line posix/Test-OSD.cpp, 10)";
constexpr const char* kOuterLocation = "NmTest::Outer (line posix/Test-OSD.cpp, 20)";

CmSystemError SystemErrorFor(int nCode, const char* szMessage)
{
    errno = nCode;
    return CmSystemError(kInnerLocation, szMessage);
}

NmProcess::CmProcessError TwoLevelChain()
{
    return NmProcess::CmProcessError(kOuterLocation, "Error running process!", NmProcess::kProcessErrorRun,
                                     SystemErrorFor(ENOENT, "Error creating process!"));
}

TEST(SystemError, AppendsTheSystemTextOfErrno)
{
    const CmSystemError error = SystemErrorFor(ENOENT, "Error creating process!");
    EXPECT_EQ(error.GetCode(), static_cast<std::uint32_t>(ENOENT));
    EXPECT_STREQ(error.what(), "Error creating process! : No such file or directory");
    EXPECT_EQ(error.GetLocation(), kInnerLocation);
    EXPECT_EQ(error.GetCause(), nullptr);
}

TEST(SystemError, CodeZeroAndEmptyMessageKeepTheSeparator)
{
    EXPECT_STREQ(SystemErrorFor(0, "").what(), " : Success");
}

TEST(SystemError, CodeWithoutSystemTextSaysSo)
{
    const CmSystemError error = SystemErrorFor(4000, "Boom");
    EXPECT_EQ(error.GetCode(), 4000u);
    EXPECT_STREQ(error.what(), "Boom : Further error description unavaliable!");
}

TEST(ErrorChain, WhatIsTheOwnMessageOnly)
{
    const auto error = TwoLevelChain();
    EXPECT_STREQ(error.what(), "Error running process!");
    ASSERT_NE(error.GetCause(), nullptr);
    EXPECT_STREQ(error.GetCause()->what(), "Error creating process! : No such file or directory");
}

TEST(ErrorChain, DescriptionHasOneLinePerLevel)
{
    const CmError single(kOuterLocation, "Single");
    EXPECT_EQ(single.GetDescription(), std::string(kOuterLocation) + ": Single");

    EXPECT_EQ(TwoLevelChain().GetDescription(),
              std::string(kOuterLocation) + ": Error running process!\n" + kInnerLocation +
                  ": Error creating process! : No such file or directory");
}

TEST(ErrorChain, CopySurvivesTheSource)
{
    auto pSource = std::make_unique<NmProcess::CmProcessError>(TwoLevelChain());
    const NmProcess::CmProcessError copy(*pSource);
    const CmError* pSourceCause = pSource->GetCause();
    pSource.reset();

    ASSERT_NE(copy.GetCause(), nullptr);
    EXPECT_NE(copy.GetCause(), pSourceCause);
    EXPECT_EQ(copy.GetDescription(), TwoLevelChain().GetDescription());
    EXPECT_EQ(copy.GetCode(), NmProcess::kProcessErrorRun);
}

template <typename TError>
void ExpectCloneKeepsClassAndCode(const TError& original)
{
    const CmError& asBase = original;
    const std::unique_ptr<CmError> pClone = asBase.Clone();
    const auto* pTyped = dynamic_cast<const TError*>(pClone.get());
    ASSERT_NE(pTyped, nullptr) << typeid(TError).name();
    EXPECT_EQ(pTyped->GetCode(), original.GetCode());
    EXPECT_EQ(pTyped->GetDescription(), original.GetDescription());
    if (original.GetCause() != nullptr) {
        ASSERT_NE(pTyped->GetCause(), nullptr);
        EXPECT_NE(pTyped->GetCause(), original.GetCause());
        const CmError& cloneCause = *pTyped->GetCause();
        const CmError& originalCause = *original.GetCause();
        EXPECT_EQ(typeid(cloneCause), typeid(originalCause));
    }
}

TEST(ErrorChain, CloneKeepsTheDynamicClassAndCode)
{
    const CmSystemError cause = SystemErrorFor(EACCES, "inner");
    ExpectCloneKeepsClassAndCode(cause);
    ExpectCloneKeepsClassAndCode(TwoLevelChain());
    ExpectCloneKeepsClassAndCode(NmThread::CmThreadError(kOuterLocation, "Error running thread!", 0));
    ExpectCloneKeepsClassAndCode(NmThread::CmConditionVariableError(kOuterLocation, "c", 7, cause));
    ExpectCloneKeepsClassAndCode(NmTimeStamp::CmTimeError(kOuterLocation, "t", 11, cause));

    const CmError plain(kOuterLocation, "plain", cause);
    const auto pClone = plain.Clone();
    const CmError& clone = *pClone;
    EXPECT_EQ(typeid(clone), typeid(CmError));
    EXPECT_EQ(pClone->GetDescription(), plain.GetDescription());
}

TEST(ErrorChain, PrintWritesEveryLevelToStderr)
{
    NmPlatformTest::CmTempDir dir;
    const auto path = dir.Path() / "stderr.txt";
    const int hFile = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ASSERT_GE(hFile, 0);
    std::fflush(stderr);
    const int hSaved = dup(2);
    dup2(hFile, 2);
    TwoLevelChain().Print();
    dup2(hSaved, 2);
    close(hSaved);
    close(hFile);

    EXPECT_EQ(NmPlatformTest::ReadFile(path), TwoLevelChain().GetDescription() + "\n");
}

TEST(ErrorLocation, NamesFunctionLiteralFileAndLine)
{
    // A real raise site: Kill without a handle.
    NmProcess::CmProcess process;
    try {
        process.Kill();
        FAIL() << "Kill without a child must fail";
    } catch (const NmProcess::CmProcessError& error) {
        const std::string strPrefix = "NmProcess::CmProcess::Kill (line posix/Process-OSD.cpp, ";
        const std::string& strLocation = error.GetLocation();
        ASSERT_EQ(strLocation.rfind(strPrefix, 0), 0u) << strLocation;
        const std::string strLine = strLocation.substr(strPrefix.size());
        ASSERT_GE(strLine.size(), 2u);
        EXPECT_EQ(strLine.back(), ')');
        EXPECT_EQ(strLine.find_first_not_of("0123456789"), strLine.size() - 1) << strLocation;
    }
}

} // namespace
