/*
 * The C interface end to end, compiled as C: libKestrelCTestTiming.so over
 * the library's test variant, real HostProcs running the test driver, in a
 * private socket folder. What a C program sees when calls return, throw
 * (unknown instance, a crashed driver) and when an add fails; how a call
 * fails otherwise (a hung driver, ...) is the library's to test.
 */
#define _XOPEN_SOURCE 700
#include <kestrel/kestrel_c.h>

#include <ftw.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

static int g_nChecksFailed;

#define CHECK(cond, what)                                                                        \
    do {                                                                                         \
        if (!(cond)) {                                                                           \
            ++g_nChecksFailed;                                                                   \
            fprintf(stderr, "%s:%d: %s (%s); last error: %s\n", __FILE__, __LINE__, #cond, what, \
                    kestrel_last_error());                                                       \
        }                                                                                        \
    } while (0)

static char g_szRoot[64], g_szRpc[96], g_szDriver[512];

static int Add(const char* szId, const char* szDriver, const char* szHost)
{
    int nResult = -1;
    CHECK(kestrel_AddDeviceInstance(&nResult, szId, szDriver, szHost) == KESTREL_RETURNED, szId);
    return nResult;
}

/* A test-driver control command (td:next ..., td:release). */
static void Control(const char* szId, const char* szCommand)
{
    int nResult = 0;
    CHECK(kestrel_ExecuteCustomCommand(&nResult, szId, "", 0, 0, 0, szCommand) == KESTREL_RETURNED, szCommand);
}

static int Contains(const char* szText, const char* szPart) { return szText != NULL && strstr(szText, szPart) != NULL; }

/* A block's real length, a BSTR out, a bool result, string arrays in and out. */
static void ValuesPassThrough(void)
{
    const char* szId = "img#block=70000";
    unsigned char* pBlock = NULL;
    size_t nLength = 0;
    kestrel_bstr bsXml = NULL;
    char* szText;
    int nResult = 0;
    kestrel_string_array used = {0, 0, NULL}, open = {0, 0, NULL};

    CHECK(Add(szId, g_szDriver, "pass") == 1, "added");
    CHECK(kestrel_get_image(szId, 1, &pBlock, &nLength) == KESTREL_RETURNED, "GetImage2");
    CHECK(pBlock != NULL && nLength == 70000, "the block's length as HostProc sent it");
    kestrel_DeleteBuffer(pBlock);

    CHECK(kestrel_GetXml(&nResult, szId, "", "", "td:state", &bsXml) == KESTREL_RETURNED, "GetXml");
    szText = kestrel_bstr_to_utf8(bsXml);
    CHECK(Contains(szText, "pid="), "the driver's state");
    kestrel_free(szText);
    kestrel_bstr_free(bsXml);

    bsXml = kestrel_bstr_from_utf8("<Video>caf\xc3\xa9</Video>");
    CHECK(kestrel_bstr_len(bsXml) == 19, "UTF-8 to UTF-16");
    CHECK(kestrel_SetXmlParams(&nResult, szId, "", "", &bsXml) == KESTREL_RETURNED && nResult == 1, "bool as 1");
    kestrel_bstr_free(bsXml);

    CHECK(kestrel_string_array_add(&used, "Input1") == 0, "array");
    CHECK(kestrel_QueryEventsDyn(&nResult, szId, "", &used, &open) == KESTREL_RETURNED, "QueryEventsDyn");
    CHECK(nResult == 2 && open.count == 2 && used.count == 1 && strcmp(used.items[0], "Input1") == 0,
          "the driver's two entries out, the input as it was");
    kestrel_string_array_free(&used);
    kestrel_string_array_free(&open);
    kestrel_RemoveDeviceInstance(szId);
}

static void UnknownInstanceIsThrownCodeZero(void)
{
    int nResult = 12345;
    CHECK(kestrel_QueryNumberOfCamDyn(&nResult, "nobody", "") == KESTREL_THREW, "threw, not returned");
    CHECK(kestrel_last_code() == 0 && nResult == 12345, "code 0, result untouched");
    CHECK(strcmp(kestrel_last_error(), "QueryNumberOfCamDyn threw 0x00000000 (unknown instance)") == 0, "words");
}

/* A crash takes the proxy server and its instances; adding brings them back. */
static void CrashedDriverIsSurvived(void)
{
    int nResult = 0;
    CHECK(Add("k1", g_szDriver, "crashing") == 1 && Add("k2", g_szDriver, "crashing") == 1, "added");
    Control("k1", "td:next crash");
    CHECK(kestrel_QueryNumberOfCamDyn(&nResult, "k1", "") == KESTREL_THREW, "the crash");
    CHECK(kestrel_last_code() == 0x010006BEu, "proxy server lost: RPC_S_CALL_FAILED");
    CHECK(Contains(kestrel_last_error(), "(proxy server lost: RPC_S_CALL_FAILED (1726))"), "words");
    CHECK(kestrel_QueryNumberOfCamDyn(&nResult, "k2", "") == KESTREL_THREW &&
              (kestrel_last_code() & KESTREL_CODE_CLASS_MASK) == KESTREL_CODE_UNKNOWN_INSTANCE,
          "the other instance went with it");
    CHECK(Add("k1", g_szDriver, "crashing") == 1, "added again");
    CHECK(kestrel_QueryNumberOfCamDyn(&nResult, "k1", "") == KESTREL_RETURNED, "answers again");
    kestrel_RemoveDeviceInstance("k1");
}

static void FailedAddsSayWhy(void)
{
    char szNoHostProc[160], szNoExec[160], szMissing[600], szPath[200];
    const struct {
        const char* szDriver;
        const char* szSetting; /* an environment variable set to 1 during the add */
        int bOpenRpc;          /* the socket folder group-readable during the add */
        const char* szReason;
    } cases[] = {
        {szNoHostProc, NULL, 0, "/nohostproc/hostproc/HostProc: No such file or directory"},
        {szNoExec, NULL, 0, "/noexec/hostproc/HostProc: Permission denied"},
        {szMissing, NULL, 0, "libno_such_driver.so: cannot open shared object file: No such file or directory"},
        {g_szDriver, "KESTREL_TEST_HOSTPROC_MUTE", 0, "proxy server 'failing' never answered on "},
        {g_szDriver, NULL, 1, "unsafe socket folder: socket directory "},
    };
    FILE* file;
    size_t i;
    snprintf(szNoHostProc, sizeof szNoHostProc, "%s/nohostproc/libdriver.so", g_szRoot);
    snprintf(szNoExec, sizeof szNoExec, "%s/noexec/libdriver.so", g_szRoot);
    snprintf(szMissing, sizeof szMissing, "%s/libno_such_driver.so", KESTREL_TEST_DRIVERS_DIR);
    snprintf(szPath, sizeof szPath, "%s/noexec", g_szRoot);
    mkdir(szPath, 0700);
    strcat(szPath, "/hostproc");
    mkdir(szPath, 0700);
    strcat(szPath, "/HostProc");
    file = fopen(szPath, "w"); /* mode 0644: not executable */
    CHECK(file != NULL && fclose(file) == 0, szPath);

    for (i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        if (cases[i].szSetting != NULL)
            setenv(cases[i].szSetting, "1", 1);
        if (cases[i].bOpenRpc)
            chmod(g_szRpc, 0750);
        CHECK(Add("failing", cases[i].szDriver, "failing") == 0, cases[i].szReason);
        CHECK(Contains(kestrel_last_error(), "AddDeviceInstance failed: ") &&
                  Contains(kestrel_last_error(), cases[i].szReason),
              cases[i].szReason);
        chmod(g_szRpc, 0700);
        if (cases[i].szSetting != NULL)
            unsetenv(cases[i].szSetting);
    }
    CHECK(Add("twice", g_szDriver, "first") == 1 && Add("twice", g_szDriver, "second") == 0, "on two servers");
    CHECK(Contains(kestrel_last_error(), "instance 'twice' was already added on proxy server 'first'"), "words");
    kestrel_RemoveDeviceInstance("twice");
}

static int RemoveEntry(const char* szPath, const struct stat* pStat, int nFlag, struct FTW* pFtw)
{
    (void)pStat, (void)nFlag, (void)pFtw;
    return remove(szPath);
}

int main(void)
{
    static const struct {
        const char* szName;
        void (*pRun)(void);
    } tests[] = {{"ValuesPassThrough", ValuesPassThrough},
                 {"UnknownInstanceIsThrownCodeZero", UnknownInstanceIsThrownCodeZero},
                 {"CrashedDriverIsSurvived", CrashedDriverIsSurvived},
                 {"FailedAddsSayWhy", FailedAddsSayWhy}};
    int nPassed = 0, nFailed = 0;
    size_t i;

    strcpy(g_szRoot, "/tmp/kestrel-capi-XXXXXX");
    if (mkdtemp(g_szRoot) == NULL)
        return 1;
    snprintf(g_szRpc, sizeof g_szRpc, "%s/rpc", g_szRoot);
    mkdir(g_szRpc, 0700);
    snprintf(g_szDriver, sizeof g_szDriver, "%s/libkestrel_testdriver.so", KESTREL_TEST_DRIVERS_DIR);
    setenv("KESTREL_RPC_DIR", g_szRpc, 1);
    setenv("KESTREL_TEST_RETRY_MS", "1", 1);
    setenv("KESTREL_TEST_TIMER_PERIOD_MS", "20", 1);
    setenv("KESTREL_TEST_HOSTPROC_IDLE_MS", "300", 1);

    for (i = 0; i < sizeof tests / sizeof tests[0]; ++i) {
        const int nBefore = g_nChecksFailed;
        tests[i].pRun();
        printf("%-34s %s\n", tests[i].szName, g_nChecksFailed == nBefore ? "ok" : "FAILED");
        g_nChecksFailed == nBefore ? ++nPassed : ++nFailed;
    }
    nftw(g_szRoot, RemoveEntry, 8, FTW_DEPTH | FTW_PHYS);
    printf("%d passed, %d failed\n", nPassed, nFailed);
    return nFailed == 0 ? 0 : 1;
}
