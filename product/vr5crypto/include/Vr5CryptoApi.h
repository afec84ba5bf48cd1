/* Vr5CryptoApi.dll, the product's crypto provider.
 * Every export returns 0 on success or a Win32 error code; 1167 means the
 * provider's device is not connected. Handles are opaque values checked on
 * every call, so a stale or foreign handle gives ERROR_INVALID_HANDLE. */
#ifndef VR5CRYPTOAPI_H
#define VR5CRYPTOAPI_H

#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct VR_CRYPTO_KEY_* HVRKEY;
typedef struct VR_CRYPTO_CONTEXT_* HVRCONTEXT;
typedef struct VR_CRYPTO_DATA_* HVRDATA;

/* Values of the DWORD parameters; passed as DWORD so that any value a
 * caller sends is well defined on our side. */
typedef enum _CRYPTO_ALG_ID {
    VR_ALG_GOST_R_3411_94 = 2 /* hash; key length = the 64-byte box block */
} CRYPTO_ALG_ID;

typedef enum _CRYPTO_ALG_MODE {
    VR_MODE_HASH = 1
} CRYPTO_ALG_MODE;

typedef enum _ALGORITM_ACTION_CLASS {
    VR_ACTION_HASH_INIT = 1,   /* iv: start vector (32 bytes or none); data: box block (64 bytes or none) */
    VR_ACTION_HASH_APPEND = 5, /* data: the next bytes of the message */
    VR_ACTION_HASH_FINISH = 9  /* out: at least 32 bytes, the digest least significant byte first */
} ALGORITM_ACTION_CLASS;

enum {
    VR_GOST94_DIGEST_SIZE = 32,
    VR_GOST94_START_VECTOR_SIZE = 32,
    VR_GOST94_PARAM_BLOCK_SIZE = 64
};

/* The hash path. */
DWORD WINAPI vrSetKey(DWORD algId, const void* algParams, DWORD keyLength, const void* keyData,
                      DWORD keyDataLength, HVRKEY* key);
DWORD WINAPI vrCreateContext(HVRKEY key, DWORD mode, HVRCONTEXT* context, const void* params,
                             DWORD paramsLength);
DWORD WINAPI vrDestroyKey(HVRKEY key);
DWORD WINAPI vrMakeAction(DWORD action, HVRCONTEXT context, const void* iv, DWORD ivLength, const void* data,
                          DWORD dataLength, void* out, DWORD outLength);
DWORD WINAPI vrDestroyContext(HVRCONTEXT context);

/* Key storage, data objects and the rest: this provider answers
 * ERROR_NOT_SUPPORTED and touches none of the arguments. */
DWORD WINAPI vrSetNameKey(const wchar_t* name, HVRKEY key);
DWORD WINAPI vrGetKey(HVRKEY key, void* buffer, DWORD* length);
DWORD WINAPI vrDeleteNameKey(const wchar_t* name);
DWORD WINAPI vrGetNameKey(const wchar_t* name, HVRKEY* key);
DWORD WINAPI vrGenerateKey(DWORD algId, DWORD keyLength, HVRKEY* key);
DWORD WINAPI vrSetNameData(const wchar_t* name, const void* data, DWORD length);
DWORD WINAPI vrDeleteNameData(const wchar_t* name);
DWORD WINAPI vrDestroyNameData(HVRDATA data);
DWORD WINAPI vrGetData(HVRDATA data, void* buffer, DWORD* length);
DWORD WINAPI vrGetNameData(const wchar_t* name, HVRDATA* data);
DWORD WINAPI vrSetSecurity(const wchar_t* name, PSECURITY_DESCRIPTOR descriptor);
DWORD WINAPI vrDuplicateKeyHandle(HVRKEY key, HVRKEY* duplicate);
DWORD WINAPI vrCryptoInitialize(DWORD flags);

#ifdef __cplusplus
}
#endif

#endif
