/* VrSrvApi: client library of the core service VrCC.
 *
 * A session is a named endpoint on the core. Other sessions find it by name
 * (VrGetSubsystemIds) and send it messages by its session id; the session
 * receives the ids it subscribed, on the library's callback thread, while
 * that thread impersonates the sender.
 *
 * Every function returns a Win32 code (0 = success) unless noted.
 * Codes of the core link: 1722 the core is not running; 1726 the link to the
 * core broke during the call; 1168 no session with that id; 50 the session
 * does not take that message; 1067 the receiver ended before replying;
 * 1460 the receiver did not reply in time; 122 the reply buffer is too small
 * (the reply size then holds the size needed); 111 the reply is larger than
 * the core carries; 6 not an open session handle; 87 a bad argument.
 */
#ifndef VRSRVAPI_H
#define VRSRVAPI_H

#include <windows.h>
#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#define VR_STATIC_ASSERT(expr, text) static_assert(expr, text)
#else
#define VR_STATIC_ASSERT(expr, text) _Static_assert(expr, text)
#endif

/* Largest request payload and reply the core carries, in bytes. */
#define VR_MAX_MESSAGE_DATA (64u * 1024u * 1024u)

/* Session flags: 0 for a service's session, VR_SESSION_CLIENT for a short
 * client session; bit 0x2 is set by every caller of this product. Only
 * LocalSystem and administrators open a service's session (else 5), one per
 * name (else 183); its routines get the sender's token for impersonation, a
 * client session's routines one for identification only. */
#define VR_SESSION_CLIENT 0x1000u

struct _VRM_MESSAGE;

/* Runs for each sent message on the session's callback thread, impersonating
 * the sender. ReplySize holds the size of ReplyBuffer in bytes and may be set
 * to the size needed; the result goes back to the sender. */
typedef DWORD(WINAPI* PVR_SEND_ROUTINE)(void* Context, struct _VRM_MESSAGE* Message, DWORD* ReplySize,
                                        void* ReplyBuffer);
/* Runs for each posted message; the result is not returned to anyone. */
typedef DWORD(WINAPI* PVR_POST_ROUTINE)(void* Context, struct _VRM_MESSAGE* Message);

#pragma pack(push, 4)

/* Four 16-bit numbers (major first) and a zero. */
typedef struct _VR_VERSION {
    WORD Number[4];
    DWORD Zero;
} VR_VERSION;

typedef struct _VR_SESSION {
    const WCHAR* Name;
    PVR_POST_ROUTINE PostRoutine;
    PVR_SEND_ROUTINE SendRoutine;
    VR_VERSION Version;
    VR_VERSION Version2;
    void* Context;
    DWORD Flags;
    HANDLE Handle;   /* out */
    DWORD SessionId; /* out: nonzero while open; the session's subsystem id */
    BYTE Reserved[12];
} VR_SESSION, *PVR_SESSION;

/* A message as the receiver sees it. The first 72 bytes belong to the core. */
typedef struct _VRM_MESSAGE {
    BYTE CoreHeader[72];
    DWORD MessageId;
    DWORD DataSize;
    BYTE Data[1];
} VRM_MESSAGE, *PVRM_MESSAGE;

#pragma pack(pop)

#define VR_COMPUTER_FIELD_CHARS 128

/* VrComputerGetInfo information class 1. */
typedef struct _VR_COMPUTER_INFO_1 {
    WCHAR Department[VR_COMPUTER_FIELD_CHARS];
    WCHAR AutomationSystem[VR_COMPUTER_FIELD_CHARS];
    WCHAR Location[VR_COMPUTER_FIELD_CHARS];
    WCHAR SerialNumber[VR_COMPUTER_FIELD_CHARS];
    WCHAR Type[VR_COMPUTER_FIELD_CHARS];
    WCHAR ResponsibleEmployee[VR_COMPUTER_FIELD_CHARS];
    WCHAR DBMS[VR_COMPUTER_FIELD_CHARS];
} VR_COMPUTER_INFO_1;

#ifdef _WIN64
VR_STATIC_ASSERT(sizeof(VR_VERSION) == 12, "VR_VERSION size");
VR_STATIC_ASSERT(offsetof(VR_SESSION, Name) == 0, "Name");
VR_STATIC_ASSERT(offsetof(VR_SESSION, PostRoutine) == 8, "PostRoutine");
VR_STATIC_ASSERT(offsetof(VR_SESSION, SendRoutine) == 16, "SendRoutine");
VR_STATIC_ASSERT(offsetof(VR_SESSION, Version) == 24, "Version");
VR_STATIC_ASSERT(offsetof(VR_SESSION, Version2) == 36, "Version2");
VR_STATIC_ASSERT(offsetof(VR_SESSION, Context) == 48, "Context");
VR_STATIC_ASSERT(offsetof(VR_SESSION, Flags) == 56, "Flags");
VR_STATIC_ASSERT(offsetof(VR_SESSION, Handle) == 60, "Handle");
VR_STATIC_ASSERT(offsetof(VR_SESSION, SessionId) == 68, "SessionId");
VR_STATIC_ASSERT(offsetof(VR_SESSION, Reserved) == 72, "Reserved");
VR_STATIC_ASSERT(sizeof(VR_SESSION) == 84, "VR_SESSION size");
VR_STATIC_ASSERT(offsetof(VRM_MESSAGE, MessageId) == 72, "MessageId");
VR_STATIC_ASSERT(offsetof(VRM_MESSAGE, DataSize) == 76, "DataSize");
VR_STATIC_ASSERT(offsetof(VRM_MESSAGE, Data) == 80, "Data");
#endif
VR_STATIC_ASSERT(offsetof(VR_COMPUTER_INFO_1, Department) == 0, "Department");
VR_STATIC_ASSERT(offsetof(VR_COMPUTER_INFO_1, AutomationSystem) == 256, "AutomationSystem");
VR_STATIC_ASSERT(offsetof(VR_COMPUTER_INFO_1, Location) == 512, "Location");
VR_STATIC_ASSERT(offsetof(VR_COMPUTER_INFO_1, SerialNumber) == 768, "SerialNumber");
VR_STATIC_ASSERT(offsetof(VR_COMPUTER_INFO_1, Type) == 1024, "Type");
VR_STATIC_ASSERT(offsetof(VR_COMPUTER_INFO_1, ResponsibleEmployee) == 1280, "ResponsibleEmployee");
VR_STATIC_ASSERT(offsetof(VR_COMPUTER_INFO_1, DBMS) == 1536, "DBMS");
VR_STATIC_ASSERT(sizeof(VR_COMPUTER_INFO_1) == 1792, "VR_COMPUTER_INFO_1 size");

/* Opens a session under Session->Name; fills Handle and SessionId. The
 * routines are called from then on for the messages the session subscribes. */
DWORD WINAPI VrOpenSession(VR_SESSION* Session);
/* Ends the session; its pending requests fail at their senders. */
DWORD WINAPI VrCloseSession(HANDLE Session);
/* Subscribe nonzero takes MessageId from now on, zero stops taking it. */
DWORD WINAPI VrSubscribeMessage(HANDLE Session, DWORD MessageId, BOOL Subscribe);
/* Sends to the session Destination and waits for its reply. ReplySize holds
 * the size of ReplyBuffer on entry and the receiver's reply size on return.
 * 170 (busy): the receiver holds too much it has not answered yet. */
DWORD WINAPI VrSendMessage(HANDLE Session, DWORD Destination, DWORD MessageId, DWORD DataSize, const void* Data,
                           DWORD* ReplySize, void* ReplyBuffer);
/* Queues a message without reply; Destination 0 reaches every session that
 * subscribed MessageId. Returns once the core has queued it. */
DWORD WINAPI VrPostMessage(HANDLE Session, DWORD Destination, DWORD MessageId, DWORD DataSize, const void* Data);
/* Ids of the sessions open under Name, oldest first. Count holds the capacity
 * of Ids on entry and the number written on return; 234 when Ids is too
 * small (Count then holds the number there is). */
DWORD WINAPI VrGetSubsystemIds(HANDLE Session, const WCHAR* Name, DWORD* Count, DWORD* Ids);
/* Computer must be null (this computer); InfoClass 1 gives a
 * VR_COMPUTER_INFO_1 in *Buffer, freed with VrApiBufferFree. */
DWORD WINAPI VrComputerGetInfo(HANDLE Session, const WCHAR* Computer, DWORD InfoClass, void** Buffer);
/* Frees a buffer this library returned; anything else is ignored. */
void WINAPI VrApiBufferFree(void* Buffer);

typedef DWORD(WINAPI* PFN_VrOpenSession)(VR_SESSION*);
typedef DWORD(WINAPI* PFN_VrCloseSession)(HANDLE);
typedef DWORD(WINAPI* PFN_VrSubscribeMessage)(HANDLE, DWORD, BOOL);
typedef DWORD(WINAPI* PFN_VrSendMessage)(HANDLE, DWORD, DWORD, DWORD, const void*, DWORD*, void*);
typedef DWORD(WINAPI* PFN_VrPostMessage)(HANDLE, DWORD, DWORD, DWORD, const void*);
typedef DWORD(WINAPI* PFN_VrGetSubsystemIds)(HANDLE, const WCHAR*, DWORD*, DWORD*);
typedef DWORD(WINAPI* PFN_VrComputerGetInfo)(HANDLE, const WCHAR*, DWORD, void**);
typedef void(WINAPI* PFN_VrApiBufferFree)(void*);

#ifdef __cplusplus
}
#endif

#endif /* VRSRVAPI_H */
