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

template <typename TError>
void ExpectCloneKeepsClassCodeAndAnOwnCause(const TError& original)
{
    const CmError& asBase = original;
    const std::unique_ptr<CmError> pClone = asBase.Clone();
    const auto* pTyped = dynamic_cast<const TError*>(pClone.get());
    ASSERT_NE(pTyped, nullptr) << typeid(TError).name();
    EXPECT_EQ(typeid(*pClone), typeid(asBase)) << typeid(TError).name();
    EXPECT_EQ(pClone->GetDescription(), original.GetDescription());
    if constexpr (requires { original.GetCode(); }) {
        EXPECT_EQ(pTyped->GetCode(), original.GetCode());
    }
    if (original.GetCause() != nullptr) {
        ASSERT_NE(pClone->GetCause(), nullptr);
        EXPECT_NE(pClone->GetCause(), original.GetCause());
        EXPECT_EQ(typeid(*pClone->GetCause()), typeid(*original.GetCause()));
    }
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
    ExpectCloneKeepsClassCodeAndAnOwnCause(cause);
    ExpectCloneKeepsClassCodeAndAnOwnCause(Chain());
    ExpectCloneKeepsClassCodeAndAnOwnCause(CmError(kOuter, "plain", cause));
}

}  // namespace
