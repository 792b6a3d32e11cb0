/*
 * kestrel_c.h - the driver API of libKestrel.so for C and other languages:
 * libKestrelC.so. No C++ exception ever crosses this interface.
 *
 * One function per export of libKestrel.so, expanded from the export list of
 * <kestrel/driver_exports.h>. For the export
 *     R NAME(params)
 * there is
 *     kestrel_status kestrel_NAME(R* pResult, params)     (R is not void)
 *     kestrel_status kestrel_NAME(params)                 (R is void)
 * with the same parameters in the same order, three types spelled for C:
 *     BSTR*          kestrel_bstr*
 *     CStringArray&  kestrel_string_array*
 *     bool result    int (0 or 1)
 * e.g. kestrel_status kestrel_GetXml(int* pResult, const char* szServer,
 *          const char* szUser, const char* szPassword, const char* szFilter,
 *          kestrel_bstr* bsXml);
 * pResult may be NULL when the result is not wanted. Memory rules are those
 * of the driver API (kestrel.h): blocks and double arrays are released with
 * kestrel_DeleteBuffer, BSTRs with kestrel_bstr_free.
 *
 * The status says how the call ended:
 *   KESTREL_RETURNED  the export returned; its result is in *pResult (driver
 *                     results, negative ones included, are passed unchanged)
 *   KESTREL_THREW     the export threw an error code (the instance's proxy
 *                     server was lost, or the instance is unknown): the code
 *                     is kestrel_last_code(), exactly as thrown; 0 is a real
 *                     code ("unknown instance"). Add the instance again.
 *   KESTREL_FAILED    the call could not be made or finished (out of memory);
 *                     kestrel_last_error() says why
 * kestrel_last_error() describes the last failure of the calling thread in
 * words, also for an AddDeviceInstance that returned 0.
 *
 * The interface sits on libKestrel.so itself: a process has one registry of
 * instances, shared with any direct user of libKestrel.so. Loading
 * libKestrelC.so keeps both libraries loaded until the process ends.
 */
#ifndef KESTREL_KESTREL_C_H
#define KESTREL_KESTREL_C_H

#include <stddef.h>
#include <stdint.h>

#define KESTREL_DRIVER_EXPORTS_LIST_ONLY
#include <kestrel/driver_exports.h>
#undef KESTREL_DRIVER_EXPORTS_LIST_ONLY

#if defined(__GNUC__)
#define KESTREL_C_API __attribute__((visibility("default")))
#else
#define KESTREL_C_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef enum kestrel_status { KESTREL_RETURNED = 0, KESTREL_THREW = 1, KESTREL_FAILED = 2 } kestrel_status;

/* Thrown codes: bits 24..31 the class, bits 0..23 the RPC status of the
 * failed call (0 when no call was made). */
#define KESTREL_CODE_CLASS_MASK 0xFF000000u
#define KESTREL_CODE_STATUS_MASK 0x00FFFFFFu
#define KESTREL_CODE_PROXY_SERVER_LOST 0x01000000u /* removed with all its instances */
#define KESTREL_CODE_UNKNOWN_INSTANCE 0x00000000u  /* never added, or already removed */

/* The code thrown by the last call of this thread that threw. */
KESTREL_C_API uint32_t kestrel_last_code(void);
/* The last failure of this thread in words, e.g. "ExecuteCustomCommand threw
 * 0x010006BE (proxy server lost: RPC_S_CALL_FAILED (1726))" or
 * "AddDeviceInstance failed: cannot start HostProc /x/hostproc/HostProc: No
 * such file or directory"; "" before the first failure. Valid until the
 * thread's next call into this interface. */
KESTREL_C_API const char* kestrel_last_error(void);
/* A code in words, "0x010006BE (proxy server lost: RPC_S_CALL_FAILED
 * (1726))", written like snprintf: at most size bytes, terminated; returns
 * the length of the whole text. */
KESTREL_C_API size_t kestrel_describe_code(uint32_t code, char* buffer, size_t size);

/* GetImage2 with the length of the JPEG block (the length HostProc sent;
 * GetImage2 itself returns 0 through Kestrel). *pJpgBytes is set to NULL
 * first; release the block with kestrel_DeleteBuffer. */
KESTREL_C_API kestrel_status kestrel_get_image(const char* szServer, int nCamNo, unsigned char** pJpgBytes,
                                               size_t* pLength);

/* BSTR: length-prefixed UTF-16, as in kestrel.h. Any module may free any BSTR. */
typedef uint16_t kestrel_olechar;
typedef kestrel_olechar* kestrel_bstr;
/* Length in characters; 0 for NULL. */
KESTREL_C_API unsigned int kestrel_bstr_len(kestrel_bstr bs);
/* Releases a BSTR; NULL is ignored. */
KESTREL_C_API void kestrel_bstr_free(kestrel_bstr bs);
/* A new BSTR from UTF-8 text; NULL for NULL or when out of memory. */
KESTREL_C_API kestrel_bstr kestrel_bstr_from_utf8(const char* szText);
/* The BSTR as new UTF-8 text (release with kestrel_free); NULL for NULL or
 * when out of memory. Malformed UTF-16 becomes U+FFFD. */
KESTREL_C_API char* kestrel_bstr_to_utf8(kestrel_bstr bs);
/* Releases text this interface allocated (the C library's free). */
KESTREL_C_API void kestrel_free(void* p);

/* An array of 8-bit strings (the driver API's CStringArray): start from
 * {0, 0, NULL}; items are malloc'd and never NULL. */
typedef struct kestrel_string_array {
    int count;
    int capacity;
    char** items;
} kestrel_string_array;
/* Appends a copy of szText (NULL: ""); its index, or -1 when out of memory. */
KESTREL_C_API int kestrel_string_array_add(kestrel_string_array* pArray, const char* szText);
/* Releases every item and the storage; the array is empty afterwards. */
KESTREL_C_API void kestrel_string_array_free(kestrel_string_array* pArray);

/* For bindings that build their calls at run time: entry index (from 0) of
 * the exports below as "NAME:R:PARAMS", one letter per type (v void, i int,
 * h short, b bool as int, q long long, d double, s const char*, c char*
 * caller buffer of 256, C char** caller buffers, I int*, K const int*,
 * D double*, P double**, y const unsigned char*, x unsigned char*, Y unsigned
 * char** block, B kestrel_bstr*, A kestrel_string_array*), e.g.
 * "GetXml:i:ssssB"; NULL past the last entry. */
KESTREL_C_API const char* kestrel_describe_export(int index);

/* ---- the exports, expanded from the list ---- */

#define KESTREL_C_TYPE(TAG) KESTREL_C_TYPE_##TAG
#define KESTREL_C_TYPE_BSTR kestrel_bstr
#define KESTREL_C_TYPE_CStringArrayRef kestrel_string_array*

/* (R* pResult, params) or (params): the result pointer goes first, where the
 * empty list (void) can be dropped by pasting onto its first token. */
#define KESTREL_C_PARAMS_(R, PARAMS) KESTREL_C_PARAMS_##R(PARAMS)
#define KESTREL_C_PARAMS_void(PARAMS) PARAMS
#define KESTREL_C_PARAMS_int(PARAMS) (int* pResult KESTREL_C_AFTER_RESULT_ PARAMS)
#define KESTREL_C_PARAMS_bool(PARAMS) (int* pResult KESTREL_C_AFTER_RESULT_ PARAMS)
#define KESTREL_C_PARAMS_short(PARAMS) (short* pResult KESTREL_C_AFTER_RESULT_ PARAMS)
#define KESTREL_C_AFTER_RESULT_(...) KESTREL_C_LEAD_##__VA_ARGS__
#define KESTREL_C_LEAD_void
#define KESTREL_C_LEAD_const , const
#define KESTREL_C_LEAD_unsigned , unsigned

#define KESTREL_C_DECLARE_(OP, R, NAME, PARAMS, ARGS) \
    KESTREL_C_API kestrel_status kestrel_##NAME KESTREL_C_PARAMS_(R, PARAMS);
KESTREL_FORWARDING_EXPORTS_T(KESTREL_C_DECLARE_, KESTREL_C_TYPE)
KESTREL_DRIVER_SERVICE_EXPORTS_T(KESTREL_C_DECLARE_, KESTREL_C_TYPE)
KESTREL_INSTANCE_EXPORTS_T(KESTREL_C_DECLARE_, KESTREL_C_TYPE)
KESTREL_LOCAL_EXPORTS_T(KESTREL_C_DECLARE_, KESTREL_C_TYPE)
#undef KESTREL_C_DECLARE_

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* KESTREL_KESTREL_C_H */
