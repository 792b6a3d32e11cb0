// Error chains: the system text appended to a failed call's message, one
// description line per level, copies and clones that own their cause.
#include <cerrno>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "platform/Process.h"

namespace {

using NmError::CmError;
using NmError::CmSystemError;

constexpr const char* kInner = "NmTest::Inner (line posix/Test-OSD.cpp, 10)";
constexpr const char* kOuter = "NmTest::Outer (line posix/Test-OSD.cpp, 20)";

CmSystemError SystemError(int nCode, const char* szMessage)
{
    errno = nCode;
    return CmSystemError(kInner, szMessage);
}

NmProcess::CmProcessError Chain()
{
    return NmProcess::CmProcessError(kOuter, "Error running process!", NmProcess::kProcessErrorRun,
                                     SystemError(ENOENT, "Error creating process!"));
}

TEST(SystemError, AppendsTheSystemTextOfErrnoOrSaysThereIsNone)
{
    const struct {
        int nCode;
        const char* szMessage;
        const char* szWhat;
    } cases[] = {
        {ENOENT, "Error creating process!", "Error creating process! : No such file or directory"},
        {0, "", " : Success"},
        {4000, "Boom", "Boom : Further error description unavaliable!"},
    };
    for (const auto& c : cases) {
        const CmSystemError error = SystemError(c.nCode, c.szMessage);
        EXPECT_EQ(error.GetCode(), static_cast<std::uint32_t>(c.nCode));
        EXPECT_STREQ(error.what(), c.szWhat);
        EXPECT_EQ(error.GetLocation(), kInner);
    }
}

TEST(ErrorChain, DescribesAndPrintsOneLinePerLevelOutermostFirst)
{
    const std::string strExpected = std::string(kOuter) + ": Error running process!\n" + kInner +
                                    ": Error creating process! : No such file or directory";
    EXPECT_STREQ(Chain().what(), "Error running process!") << "the message only";
    EXPECT_EQ(Chain().GetDescription(), strExpected);

    testing::internal::CaptureStderr();
    Chain().Print();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), strExpected + "\n");
}

TEST(ErrorChain, CopiesAndClonesOwnTheirCauseAndKeepTheDynamicClass)
{
    auto pSource = std::make_unique<NmProcess::CmProcessError>(Chain());
    const NmProcess::CmProcessError copy(*pSource);
    EXPECT_NE(copy.GetCause(), pSource->GetCause());
    pSource.reset();
    EXPECT_EQ(copy.GetDescription(), Chain().GetDescription()) << "the copy outlives its source";
    EXPECT_EQ(copy.GetCode(), NmProcess::kProcessErrorRun);

    const CmSystemError cause = SystemError(EACCES, "inner");
    const NmProcess::CmProcessError chain = Chain();
    const CmError plain(kOuter, "plain", cause);
    for (const CmError* pOriginal : std::initializer_list<const CmError*>{&cause, &chain, &plain}) {
        const std::unique_ptr<CmError> pClone = pOriginal->Clone();
        EXPECT_EQ(typeid(*pClone), typeid(*pOriginal));
        EXPECT_EQ(pClone->GetDescription(), pOriginal->GetDescription());
        if (pOriginal->GetCause() != nullptr) {
            ASSERT_NE(pClone->GetCause(), nullptr);
            EXPECT_NE(pClone->GetCause(), pOriginal->GetCause());
            EXPECT_EQ(typeid(*pClone->GetCause()), typeid(*pOriginal->GetCause()));
        }
    }
    EXPECT_EQ(dynamic_cast<const CmSystemError&>(*cause.Clone()).GetCode(), static_cast<std::uint32_t>(EACCES));
    EXPECT_EQ(dynamic_cast<const NmProcess::CmProcessError&>(*chain.Clone()).GetCode(), NmProcess::kProcessErrorRun);
}

}  // namespace
