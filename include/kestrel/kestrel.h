/*
 * kestrel.h - the video-device driver API.
 *
 * One header for every party of the API: applications, libKestrel.so (which
 * offers the API and forwards each call to a HostProc process), HostProc
 * (which calls the real driver) and the drivers themselves. A driver exports
 * the same functions with the same memory rules as libKestrel.so, plus its
 * own DeleteBuffer and SetFeatureSet, so an application can load either with
 * the same code.
 *
 * Conventions
 *   - All functions are extern "C", exported under their plain names.
 *   - int is 32-bit, times are 64-bit (long long), double is IEEE 754.
 *   - The first argument of every forwarding export is the instance id: a
 *     NUL-terminated 8-bit string (usually the device's address), compared
 *     byte by byte.
 *   - Strings passed in are only read; nobody keeps a pointer to them after
 *     the call returns.
 *
 * Memory handed from the callee to the caller
 *   - Byte blocks (GetImage2, GetVideoDataBlock, GetMediaDataBlock) and the
 *     two double arrays of QueryDeviceControlledFramerates are allocated with
 *     array new (new unsigned char[]) by the module that returns them and are
 *     released by the caller through that module's DeleteBuffer. A driver
 *     returns the byte length of the block it hands over as the call's result
 *     (0 or less: no block). Through libKestrel.so GetImage2 always returns 0.
 *   - BSTRs (below) are released with SysFreeString by whoever holds them;
 *     any module of the process can free any BSTR.
 *   - BSTR* out-parameters of GetXml, SetXmlParams, SetXmlEvents,
 *     ParseXmlEventDataDyn, GenerateCredentialsDyn and GetStreamInfo: the
 *     callee releases the BSTR the variable held (if any) and stores a new
 *     one; the caller owns whatever the variable holds after the call. For
 *     SetXmlParams and SetXmlEvents the variable's BSTR is the XML input.
 *   - GetTimeLine overwrites its BSTR variable without releasing the old
 *     content. OpenMediaStreamWithSettings only reads its BSTR.
 *   - Caller buffers: GetInfo and QueryDeviceTypeStrDyn write into buffers of
 *     256 characters; QueryPresetPositions into nPresetMax buffers of 256,
 *     QueryPtzSupportedDyn into buffers of 256 (at most 256 entries).
 *
 * Errors of libKestrel.so
 *   A forwarding export of libKestrel.so reports its own failures (unknown
 *   instance, lost HostProc) by throwing a KestrelErrorCode; driver results,
 *   negative ones included, are returned unchanged.
 */
#ifndef KESTREL_KESTREL_H
#define KESTREL_KESTREL_H

#ifndef __cplusplus
#error "kestrel.h is a C++ header"
#endif

#include <limits.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <new>

#if defined(__GNUC__)
#define KESTREL_API __attribute__((visibility("default")))
#else
#define KESTREL_API
#endif

/* ------------------------------------------------------------------------ */
/* Thrown error code                                                         */
/* ------------------------------------------------------------------------ */

/*
 * Exactly this type is thrown by the forwarding exports of libKestrel.so
 * (catch (KestrelErrorCode) or catch (unsigned long)). The value is below
 * 2^32:
 *   bits 24..31  error class: KESTREL_HOSTPROCUNAVAILABLEERROR (0x01) when the
 *                instance's HostProc was lost and removed together with all
 *                its instances; KESTREL_PROXYUNKNOWNDEVICEERROR (0x00) when
 *                the instance is not, or no longer, known
 *   bits 0..23   the low 24 bits of the RPC status of the failed call; 0 when
 *                no call was made (unknown instance)
 * After either error the instance must be added again with AddDeviceInstance.
 */
typedef unsigned long KestrelErrorCode;

inline constexpr KestrelErrorCode KESTREL_ERROR_CLASS_MASK = 0xFF000000UL;
inline constexpr KestrelErrorCode KESTREL_ERROR_STATUS_MASK = 0x00FFFFFFUL;
inline constexpr KestrelErrorCode KESTREL_HOSTPROCUNAVAILABLEERROR = 0x01000000UL;
inline constexpr KestrelErrorCode KESTREL_PROXYUNKNOWNDEVICEERROR = 0x00000000UL;

static inline KestrelErrorCode KestrelErrorClass(KestrelErrorCode code) { return code & KESTREL_ERROR_CLASS_MASK; }

static inline KestrelErrorCode KestrelErrorStatus(KestrelErrorCode code) { return code & KESTREL_ERROR_STATUS_MASK; }

/* ------------------------------------------------------------------------ */
/* BSTR                                                                      */
/* ------------------------------------------------------------------------ */

/*
 * Length-prefixed UTF-16 strings. One malloc block holds a u32 byte length
 * (not counting the terminator), the UTF-16 text and a 16-bit 0; a BSTR
 * points just past the length. These functions are inline with internal
 * linkage, so every module carries its own copy and none exports a symbol;
 * since all copies use the C library's malloc/free, a BSTR made by one
 * module can be freed by any other.
 */
typedef char16_t OLECHAR;
typedef OLECHAR* BSTR;

/* A new BSTR of ui characters copied from psz (which may hold NULs), or of
 * ui zero characters when psz is null. Null when out of memory. */
static inline BSTR SysAllocStringLen(const OLECHAR* psz, unsigned int ui)
{
    if (ui > (UINT32_MAX - 6u) / 2u)
        return nullptr;
    const size_t nBytes = static_cast<size_t>(ui) * 2u;
    unsigned char* pBlock = static_cast<unsigned char*>(malloc(4u + nBytes + 2u));
    if (pBlock == nullptr)
        return nullptr;
    const uint32_t nPrefix = static_cast<uint32_t>(nBytes);
    memcpy(pBlock, &nPrefix, sizeof nPrefix);
    BSTR bs = reinterpret_cast<BSTR>(pBlock + 4);
    if (psz != nullptr)
        memcpy(bs, psz, nBytes);
    else
        memset(bs, 0, nBytes);
    bs[ui] = 0;
    return bs;
}

/* A new BSTR copied from the NUL-terminated psz; null for a null psz. */
static inline BSTR SysAllocString(const OLECHAR* psz)
{
    if (psz == nullptr)
        return nullptr;
    size_t n = 0;
    while (psz[n] != 0)
        ++n;
    if (n > UINT_MAX)
        return nullptr;
    return SysAllocStringLen(psz, static_cast<unsigned int>(n));
}

/* Releases a BSTR; null is ignored. */
static inline void SysFreeString(BSTR bs)
{
    if (bs != nullptr)
        free(reinterpret_cast<unsigned char*>(bs) - 4);
}

/* Length in bytes, terminator not counted; 0 for null. */
static inline unsigned int SysStringByteLen(BSTR bs)
{
    if (bs == nullptr)
        return 0;
    uint32_t nPrefix;
    memcpy(&nPrefix, reinterpret_cast<const unsigned char*>(bs) - 4, sizeof nPrefix);
    return nPrefix;
}

/* Length in characters, terminator not counted; 0 for null. */
static inline unsigned int SysStringLen(BSTR bs) { return SysStringByteLen(bs) / 2u; }

/* ------------------------------------------------------------------------ */
/* CStringArray                                                              */
/* ------------------------------------------------------------------------ */

/*
 * An ordered, growable array of 8-bit strings, MFC-like. The layout is plain
 * C (count, capacity, a malloc'd array of malloc'd strings) and every member
 * is inline, so the class does not depend on any C++ library ABI and arrays
 * can cross module boundaries. Elements are never null: a null string is
 * stored as "". Allocation failure throws std::bad_alloc and leaves the
 * array unchanged. Copying is explicit (Copy); moving transfers ownership.
 */
class CStringArray {
public:
    CStringArray() noexcept = default;
    ~CStringArray() { FreeAll(); }

    CStringArray(const CStringArray&) = delete;
    CStringArray& operator=(const CStringArray&) = delete;

    CStringArray(CStringArray&& other) noexcept
        : m_nSize(other.m_nSize), m_nMaxSize(other.m_nMaxSize), m_pData(other.m_pData)
    {
        other.m_nSize = 0;
        other.m_nMaxSize = 0;
        other.m_pData = nullptr;
    }

    CStringArray& operator=(CStringArray&& other) noexcept
    {
        if (this != &other) {
            FreeAll();
            m_nSize = other.m_nSize;
            m_nMaxSize = other.m_nMaxSize;
            m_pData = other.m_pData;
            other.m_nSize = 0;
            other.m_nMaxSize = 0;
            other.m_pData = nullptr;
        }
        return *this;
    }

    int GetSize() const noexcept { return m_nSize; }
    int GetCount() const noexcept { return m_nSize; }
    int GetUpperBound() const noexcept { return m_nSize - 1; }
    bool IsEmpty() const noexcept { return m_nSize == 0; }

    /* Element i, 0 <= i < GetSize(); null for an index out of range. */
    const char* GetAt(int i) const noexcept { return (i >= 0 && i < m_nSize) ? m_pData[i] : nullptr; }
    const char* operator[](int i) const noexcept { return GetAt(i); }

    /* The element pointers, GetSize() of them (null when empty). */
    const char* const* GetData() const noexcept { return m_pData; }

    /* Replaces element i (0 <= i < GetSize(); otherwise nothing happens). */
    void SetAt(int i, const char* sz)
    {
        if (i < 0 || i >= m_nSize)
            return;
        char* pCopy = Duplicate(sz);
        free(m_pData[i]);
        m_pData[i] = pCopy;
    }

    /* Appends a copy of sz; returns its index. */
    int Add(const char* sz)
    {
        char* pCopy = Duplicate(sz);
        if (!Reserve(m_nSize + 1)) {
            free(pCopy);
            throw std::bad_alloc();
        }
        m_pData[m_nSize] = pCopy;
        return m_nSize++;
    }

    /* Removes nCount elements from index i on (clamped to the array). */
    void RemoveAt(int i, int nCount = 1) noexcept
    {
        if (i < 0 || i >= m_nSize || nCount <= 0)
            return;
        if (nCount > m_nSize - i)
            nCount = m_nSize - i;
        for (int k = i; k < i + nCount; ++k)
            free(m_pData[k]);
        memmove(m_pData + i, m_pData + i + nCount, static_cast<size_t>(m_nSize - i - nCount) * sizeof(char*));
        m_nSize -= nCount;
    }

    /* Removes every element and releases the storage. */
    void RemoveAll() noexcept { FreeAll(); }

    /* Grows with empty strings or shrinks to nNewSize (>= 0) elements. */
    void SetSize(int nNewSize)
    {
        if (nNewSize < 0)
            nNewSize = 0;
        if (nNewSize < m_nSize) {
            RemoveAt(nNewSize, m_nSize - nNewSize);
            return;
        }
        if (!Reserve(nNewSize))
            throw std::bad_alloc();
        while (m_nSize < nNewSize) {
            char* pEmpty = Duplicate("");
            m_pData[m_nSize++] = pEmpty;
        }
    }

    /* Makes this array a copy of src (all or nothing). */
    void Copy(const CStringArray& src)
    {
        if (this == &src)
            return;
        CStringArray tmp;
        tmp.Append(src);
        *this = static_cast<CStringArray&&>(tmp);
    }

    /* Appends copies of src's elements; returns the index of the first. */
    int Append(const CStringArray& src)
    {
        const int nFirst = m_nSize;
        const int nCount = src.m_nSize;
        if (!Reserve(m_nSize + nCount))
            throw std::bad_alloc();
        for (int k = 0; k < nCount; ++k) {
            char* pCopy = strdup(src.m_pData[k]);
            if (pCopy == nullptr) {
                RemoveAt(nFirst, m_nSize - nFirst);
                throw std::bad_alloc();
            }
            m_pData[m_nSize++] = pCopy;
        }
        return nFirst;
    }

private:
    static char* Duplicate(const char* sz)
    {
        char* pCopy = strdup(sz != nullptr ? sz : "");
        if (pCopy == nullptr)
            throw std::bad_alloc();
        return pCopy;
    }

    /* Ensures room for nMin elements; false when it cannot. */
    bool Reserve(int nMin) noexcept
    {
        if (nMin <= m_nMaxSize)
            return true;
        if (nMin < 0 || nMin > INT_MAX / 2)
            return false;
        int nNewMax = m_nMaxSize < 4 ? 4 : m_nMaxSize;
        while (nNewMax < nMin)
            nNewMax *= 2;
        void* pGrown = realloc(m_pData, static_cast<size_t>(nNewMax) * sizeof(char*));
        if (pGrown == nullptr)
            return false;
        m_pData = static_cast<char**>(pGrown);
        m_nMaxSize = nNewMax;
        return true;
    }

    void FreeAll() noexcept
    {
        for (int k = 0; k < m_nSize; ++k)
            free(m_pData[k]);
        free(m_pData);
        m_pData = nullptr;
        m_nSize = 0;
        m_nMaxSize = 0;
    }

    int m_nSize = 0;
    int m_nMaxSize = 0;
    char** m_pData = nullptr;
};

/* ------------------------------------------------------------------------ */
/* Exports                                                                   */
/* ------------------------------------------------------------------------ */

extern "C" {

/* Instances (libKestrel.so only) ------------------------------------------ */

/* Announces instance szServer, hosted by HostProc szProxyServerName, which
 * loads the driver file szDriverName. 1 when registered (newly, or counted
 * again), 0 on failure. */
KESTREL_API int AddDeviceInstance(const char* szServer, const char* szDriverName, const char* szProxyServerName);
/* Withdraws one announcement of szServer; the last one unloads the driver. */
KESTREL_API void RemoveDeviceInstance(const char* szServer);

/* Answered by libKestrel.so itself (no instance, never throw) --------------- */

/* Returns 406; the arguments are not read. */
KESTREL_API int QueryDeviceId(const char* szServer, const char* szPassword);
KESTREL_API int PreventAutoDetect();    /* 1 */
KESTREL_API int IsDebugBuild();         /* 0 */
KESTREL_API int GetRuntimeVersion();    /* 1000 */
KESTREL_API int GetRuntimeVersionDyn(); /* the same function as GetRuntimeVersion */
KESTREL_API void PreUnload();           /* no effect */

/* Also exported by every driver ------------------------------------------ */

/* libKestrel.so keeps the first non-empty text and hands it to every driver
 * it loads afterwards; a driver receives it once per instance. */
KESTREL_API void SetFeatureSet(const char* szFeatureSet);
/* Releases a block or double array handed over by the same module (array
 * delete); null is accepted. */
KESTREL_API void DeleteBuffer(unsigned char* p);

/* Connections, device information and outputs ----------------------------- */

KESTREL_API int OpenConnection(const char* szServer, const char* szPassword, int bShowHalfsize, int nCamNo);
KESTREL_API int OpenStreamConnection(const char* szServer, const char* szPassword, int bShowHalfsize, int nCamNo);
KESTREL_API void CloseConnection2(const char* szServer, int nCamNo);
KESTREL_API void ConfigDevice2(const char* szServer, const char* username, const char* password, int nCamNo,
                               int* Halfsize, int* asize);
KESTREL_API int ChangePassword(const char* szServer, const char* szUsername, const char* szPassword,
                               const char* szNewPassword);
/* pcMAC and pcDevType: caller buffers of 256 characters. Through
 * libKestrel.so a driver result of 57005 becomes 1, and the texts are copied
 * only for results 0 and 77. */
KESTREL_API int GetInfo(const char* strIP, const char* strPass, char* pcMAC, char* pcDevType);
KESTREL_API void RefreshConfiguration(const char* szServer, const char* szUsername, const char* szPassword, int nCamNo);
KESTREL_API int QueryIsIpix(const char* szServer, const char* szPassword);
KESTREL_API int QueryIsCeilingMode(const char* szServer, const char* szPassword);
KESTREL_API void SetPollingRate(const char* szServer, int nCamNo, int iRate);
KESTREL_API void TriggerOutput(const char* szServer, const char* szPass, int iOutput, int uiDuration);
KESTREL_API int SetOutput(const char* szServer, const char* szPass, int iOutput, int bActive);

/* Frame rates controlled by the device ------------------------------------ */

/* Two new arrays of *piNumFPSValues doubles each; release both with
 * DeleteBuffer. */
KESTREL_API int QueryDeviceControlledFramerates(const char* szServer, const char* szPassword, int nCamNo,
                                                int* piNumFPSValues, double** ppdFPSValuesArray,
                                                double** ppdFPSInternalValsArray);
KESTREL_API int GetDeviceControlledFramerate(const char* szServer, const char* szPassword, int nCamNo,
                                             double* pdFPSValue, double* pdFPSInternalVal);
KESTREL_API int SetDeviceControlledFramerate(const char* szServer, const char* szPassword, int nCamNo,
                                             double dFPSInternalVal);
KESTREL_API int QueryDeviceControlsFramerate(const char* szServer, const char* szPassword, int nCamNo,
                                             int* pbDoesControlFPS);

/* Pan, tilt and zoom ------------------------------------------------------- */

KESTREL_API void MoveCamera2(const char* szServer, int nCamNo, int nDir);
KESTREL_API void PanTiltCamera2(const char* szServer, int nCamNo, int nDriver, int nPan, int nTilt);
KESTREL_API void ZoomCamera2(const char* szServer, int nCamNo, int nDriver, int nZoom);
KESTREL_API void PTZCamera(const char* szServer, int nCamNo, int nDriver, int nPan, int nTilt, int nZoom);
/* Each array holds 256 entries. */
KESTREL_API void SetPanTiltDriver(const char* szServer, const char* szUsername, const char* szPassword,
                                  const int* nDriver, const int* nComPort, const int* nAdrId);
KESTREL_API int QueryPTZMoveXY(const char* szServer, const char* szUsername, const char* szPassword, int nCamNo,
                               int nDriver);
KESTREL_API void PTZMoveXY(const char* szServer, const char* szUsername, const char* szPassword, int nCamNo,
                           int nDriver, int nSpeedX, int nSpeedY);
KESTREL_API int QueryPTZMoveXYZ(const char* szServer, const char* szUsername, const char* szPassword, int nCamNo,
                                int nDriver);
KESTREL_API void PTZMoveXYZ(const char* szServer, const char* szUsername, const char* szPassword, int nCamNo,
                            int nDriver, int nSpeedX, int nSpeedY, int nSpeedZ);
KESTREL_API int GetPTZPos(const char* szServer, int nCamNo, int nDriver, int* pPan, int* pTilt, int* pZoom);
/* pszPresetNames: nPresetMax caller buffers of 256 characters; a positive
 * result is the number of names written. */
KESTREL_API int QueryPresetPositions(const char* szServer, int nCamNo, int nPresetMax, char** pszPresetNames);
KESTREL_API int MoveToPresetPosition(const char* szServer, int nCamNo, const char* szPresetName);
KESTREL_API void PTZAreaZoom(const char* szServer, const char* szUsername, const char* szPassword, int nCamNo,
                             int nDriver, int nX, int nY, int nWidth, int nHeight, int nSpeed);
KESTREL_API void PTZCommand(const char* szServer, const char* szUsername, const char* szPassword, int nCamNo,
                            int nDriver, int nCommand, int nSpeed);
KESTREL_API int PTZCommandSupported(const char* szServer, const char* szUsername, const char* szPassword, int nCamNo,
                                    int nDriver, int nCommand);
KESTREL_API int PTZGetAbsolute(const char* szServer, const char* szUsername, const char* szPassword, int nCamNo,
                               int nDriver, int* pPan, int* pTilt, int* pZoom, int* pFocus);
KESTREL_API void PTZSetAbsolute(const char* szServer, const char* szUsername, const char* szPassword, int nCamNo,
                                int nDriver, int nPan, int nTilt, int nZoom, int nSpeed, int nFocus);
KESTREL_API int PTZGetAbsoluteDoubles(const char* szServer, const char* szUsername, const char* szPassword, int nCamNo,
                                      int nDriver, double* pPan, double* pTilt, double* pZoom, double* pFocus);
KESTREL_API void PTZSetAbsoluteDoubles(const char* szServer, const char* szUsername, const char* szPassword, int nCamNo,
                                       int nDriver, double dPan, double dTilt, double dZoom, double dFocus);
KESTREL_API void PTZSetAbsoluteDoublesSpeed(const char* szServer, const char* szUsername, const char* szPassword,
                                            int nCamNo, int nDriver, double dPan, double dTilt, double dZoom,
                                            double dFocus, double dSpeed);

/* Images, media streams, playback and recordings -------------------------- */

/* A new JPEG block in *pJpgBytes (release with DeleteBuffer). A driver
 * returns the block's length; libKestrel.so always returns 0 and does not
 * clear *pJpgBytes first. */
KESTREL_API int GetImage2(const char* szServer, int nCamNo, unsigned char** pJpgBytes);
/* A new block in *ppVideoDataBytes (null when none; release with
 * DeleteBuffer). */
KESTREL_API int GetVideoDataBlock(const char* szServer, int nCamNo, unsigned char** ppVideoDataBytes);
KESTREL_API int OpenMediaStream(const char* szServer, const char* szPassword, int nMediaType, int nDeviceIndex,
                                int nStreamIndex, const char* szEventName);
/* *settingsXml is only read. */
KESTREL_API bool OpenMediaStreamWithSettings(const char* szServer, const char* szPassword, int nMediaType,
                                             int nDeviceIndex, int nStreamIndex, const char* szEventName,
                                             BSTR* settingsXml);
/* A new block in *ppMediaDataBytes (null when none; release with
 * DeleteBuffer). */
KESTREL_API int GetMediaDataBlock(const char* szServer, int nMediaType, int nDeviceIndex, int nStreamIndex,
                                  unsigned char** ppMediaDataBytes);
/* Sends nLength bytes; the driver's result code goes to *pResultCode. */
KESTREL_API int PutMediaDataBlock(const char* szServer, int nMediaType, int nDeviceIndex, int nStreamIndex,
                                  const unsigned char* pMediaDataBytes, int nLength, int* pResultCode);
KESTREL_API void CloseMediaStream(const char* szServer, int nMediaType, int nDeviceIndex, int nStreamIndex);
KESTREL_API int SetMediaStreamPollingRate(const char* szServer, int nMediaType, int nDeviceIndex, int nStreamIndex,
                                          double dNewPollingRate);
KESTREL_API int Play(const char* szServer, int eMediaType, int nDeviceIndex, int nStreamIndex, long long time_stamp,
                     double dSpeed);
KESTREL_API int Pause(const char* szServer, int eMediaType, int nDeviceIndex, int nStreamIndex);
KESTREL_API int ExecuteCustomCommand(const char* szServer, const char* szPassword, int nMediaType, int nDeviceIndex,
                                     int nStreamIndex, const char* szCommand);
/* Stores a new BSTR (null when none) without releasing the old content. */
KESTREL_API int GetTimeLine(const char* szServer, int eMediaType, int nDeviceIndex, int nStreamIndex,
                            long long iStartTime, long long iEndTime, BSTR* bsRecordingTimeInfo);
KESTREL_API int Retrieve(const char* szServer, int eMediaType, int nDeviceIndex, int nStreamIndex, long long iStartTime,
                         long long iEndTime);
KESTREL_API int RetrieveStatus(const char* szServer, int eMediaType, int nDeviceIndex, int nStreamIndex);
KESTREL_API int QueryNumberOfAudioInputs(const char* szServer, const char* szPassword);
KESTREL_API int QueryNumberOfAudioOutputs(const char* szServer, const char* szPassword);

/* Capabilities ------------------------------------------------------------ */

KESTREL_API int QueryIsAbsoluteDyn(const char* szServer, const char* szPassword, int nDeviceType);
KESTREL_API int QueryIsPTZDeviceDyn(const char* szServer, const char* szPassword);
KESTREL_API int QueryPtzCenterClickDyn(const char* szServer, const char* szPassword);
KESTREL_API int QueryPtzMoveAdvancedDyn(const char* szServer, const char* szPassword);
KESTREL_API int QueryPtzPortsDyn(const char* szServer, const char* szPassword);
KESTREL_API int QueryPtzZoomRelDyn(const char* szServer, const char* szPassword);
KESTREL_API int QueryPTZPosDyn(const char* szServer, const char* szPassword);
KESTREL_API int QueryChangePortsDyn(const char* szServer, const char* szPassword);
KESTREL_API int QueryDeviceIdDyn(const char* szServer, const char* szPassword);
KESTREL_API int QueryNumberOfCamDyn(const char* szServer, const char* szPassword);
KESTREL_API int QueryAudioInputsDyn(const char* szServer, const char* szPassword);
KESTREL_API int QueryAudioOutputsDyn(const char* szServer, const char* szPassword);
KESTREL_API int QueryNoInputDyn(const char* szServer, const char* szPassword);
KESTREL_API int QueryNoOutputDyn(const char* szServer, const char* szPassword);
KESTREL_API int QuerySendFtpDyn(const char* szServer, const char* szPassword);
KESTREL_API int QueryIsBrowsableDyn(const char* szServer, const char* szPassword);
/* The driver's answer (IsDebugBuild is libKestrel.so's own). */
KESTREL_API bool IsDebugBuildDyn(const char* szServer, const char* szPassword);
KESTREL_API int FunctionSupported(const char* szServer, const char* szPassword, const char* szFunctionName);
/* ppszSupported: caller buffers of 256 characters (at most 256 entries);
 * the result is the number of entries written. */
KESTREL_API int QueryPtzSupportedDyn(const char* szServer, const char* szPassword, char** ppszSupported);
/* pcDevType: a caller buffer of 256 characters. */
KESTREL_API void QueryDeviceTypeStrDyn(const char* szServer, const char* szPassword, char* pcDevType);

/* Events and the XML event parser ----------------------------------------- */

/* szHostIP is the instance id. */
KESTREL_API int BeginDefineEvent(const char* szHostIP, const char* szUsername, const char* szPassword, int bEraseAll);
KESTREL_API int EndDefineEvent(const char* szHostIP, const char* szUsername, const char* szPassword);
KESTREL_API int DefineEventDyn(const char* szServer, const char* szPassword, const char* szInput, const char* szDestIP,
                               const char* szDestPort, const char* szMessage, int nUseBuffer);
/* Reads aszUsedEvents; a non-zero result replaces aszOpenEvents' content
 * (entries of at most 255 characters), 0 leaves it as it was. */
KESTREL_API int QueryEventsDyn(const char* szServer, const char* szPass, CStringArray& aszUsedEvents,
                               CStringArray& aszOpenEvents);
/* Reads aszEvents only. */
KESTREL_API int SetEventsDyn(const char* szServer, const char* szPassword, CStringArray& aszEvents);
KESTREL_API short QueryEventTypeDyn(const char* szServer, const char* szPassword);
KESTREL_API short OpenXmlEventParserDyn(const char* szServer, const char* szUser, const char* szPassword,
                                        const char* szEventType);
/* Parses nLength bytes of inputData into a new BSTR in *bsXml. */
KESTREL_API int ParseXmlEventDataDyn(const char* szServer, const char* szUser, const char* szPassword,
                                     short nParserHandle, const unsigned char* inputData, int nLength, BSTR* bsXml);
KESTREL_API void CloseXmlEventParserDyn(const char* szServer, const char* szUser, const char* szPassword,
                                        short nParserHandle);

/* XML configuration -------------------------------------------------------- */

KESTREL_API int GetXml(const char* szServer, const char* szUser, const char* szPassword, const char* szFilter,
                       BSTR* bsXml);
/* *bsXml is the XML input and receives the driver's answer. */
KESTREL_API bool SetXmlParams(const char* szServer, const char* szUser, const char* szPassword, BSTR* bsXml);
KESTREL_API bool SetXmlEvents(const char* szServer, const char* szUser, const char* szPassword, BSTR* bsXml);
KESTREL_API int GenerateCredentialsDyn(const char* szServer, const char* szUser, const char* szPassword,
                                       BSTR* bsCredentials);
KESTREL_API int GetStreamInfo(const char* szServer, const char* szPassword, int nDeviceIndex, BSTR* bsXml);

} /* extern "C" */

#endif /* KESTREL_KESTREL_H */
