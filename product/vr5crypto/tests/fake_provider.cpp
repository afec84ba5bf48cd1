// A provider whose device is never connected: every export answers 1167.
// Linked twice, with all exports and with one left out, for the binding's
// failure tests.
#include "Vr5CryptoApi.h"

extern "C" {

DWORD WINAPI vrSetKey(DWORD, const void*, DWORD, const void*, DWORD, HVRKEY*) { return ERROR_DEVICE_NOT_CONNECTED; }
DWORD WINAPI vrCreateContext(HVRKEY, DWORD, HVRCONTEXT*, const void*, DWORD) { return ERROR_DEVICE_NOT_CONNECTED; }
DWORD WINAPI vrDestroyKey(HVRKEY) { return ERROR_DEVICE_NOT_CONNECTED; }
DWORD WINAPI vrMakeAction(DWORD, HVRCONTEXT, const void*, DWORD, const void*, DWORD, void*, DWORD) {
    return ERROR_DEVICE_NOT_CONNECTED;
}
DWORD WINAPI vrDestroyContext(HVRCONTEXT) { return ERROR_DEVICE_NOT_CONNECTED; }
DWORD WINAPI vrSetNameKey(const wchar_t*, HVRKEY) { return ERROR_DEVICE_NOT_CONNECTED; }
DWORD WINAPI vrGetKey(HVRKEY, void*, DWORD*) { return ERROR_DEVICE_NOT_CONNECTED; }
DWORD WINAPI vrDeleteNameKey(const wchar_t*) { return ERROR_DEVICE_NOT_CONNECTED; }
DWORD WINAPI vrGetNameKey(const wchar_t*, HVRKEY*) { return ERROR_DEVICE_NOT_CONNECTED; }
DWORD WINAPI vrGenerateKey(DWORD, DWORD, HVRKEY*) { return ERROR_DEVICE_NOT_CONNECTED; }
DWORD WINAPI vrSetNameData(const wchar_t*, const void*, DWORD) { return ERROR_DEVICE_NOT_CONNECTED; }
DWORD WINAPI vrDeleteNameData(const wchar_t*) { return ERROR_DEVICE_NOT_CONNECTED; }
DWORD WINAPI vrDestroyNameData(HVRDATA) { return ERROR_DEVICE_NOT_CONNECTED; }
DWORD WINAPI vrGetData(HVRDATA, void*, DWORD*) { return ERROR_DEVICE_NOT_CONNECTED; }
DWORD WINAPI vrGetNameData(const wchar_t*, HVRDATA*) { return ERROR_DEVICE_NOT_CONNECTED; }
DWORD WINAPI vrSetSecurity(const wchar_t*, PSECURITY_DESCRIPTOR) { return ERROR_DEVICE_NOT_CONNECTED; }
DWORD WINAPI vrDuplicateKeyHandle(HVRKEY, HVRKEY*) { return ERROR_DEVICE_NOT_CONNECTED; }
DWORD WINAPI vrCryptoInitialize(DWORD) { return ERROR_DEVICE_NOT_CONNECTED; }

}
