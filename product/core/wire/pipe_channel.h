#pragma once
// Frames over one overlapped message-mode pipe handle. A read and a write
// may run at once on different threads; each waits with a time-out and a
// cancel event, so no peer can hold us forever.
#include "core_wire.h"
#include "vrbase/scope.h"

namespace vrcc {

enum class IoResult { Ok, Closed, Cancelled, TimedOut, Failed };

class CPipeChannel {
public:
    explicit CPipeChannel(VrBase::unique_hfile pipe);
    CPipeChannel(const CPipeChannel&) = delete;
    CPipeChannel& operator=(const CPipeChannel&) = delete;

    HANDLE handle() const { return m_pipe.get(); }

    // One whole frame; a frame that breaks the rules throws ProtocolError,
    // before anything larger than the limit is allocated.
    IoResult Read(Frame& frame, HANDLE cancel, DWORD timeoutMs, DWORD& error);
    IoResult Write(const std::vector<BYTE>& bytes, HANDLE cancel, DWORD timeoutMs, DWORD& error);

    // Ends every read and write in progress on the handle.
    void CancelAll() { ::CancelIoEx(m_pipe.get(), nullptr); }

private:
    IoResult Finish(OVERLAPPED& ov, BOOL started, HANDLE cancel, DWORD timeoutMs, DWORD& transferred,
                    bool& more, DWORD& error);
    IoResult ReadChunk(BYTE* buffer, DWORD size, HANDLE cancel, DWORD timeoutMs, DWORD& got, bool& more,
                       DWORD& error);

    VrBase::unique_hfile m_pipe;
    VrBase::unique_handle m_readEvent;
    VrBase::unique_handle m_writeEvent;
};

// Opens a client end of the core's pipe in message mode; waits a little
// while every instance is busy. Returns 0 or the system's error.
DWORD ConnectToCore(VrBase::unique_hfile& pipe);
// 0 when the pipe's server is the service VrCC (its process id as the
// service control manager gives it) or a process of SYSTEM or of an elevated
// administrator (VrCC.exe --console); else kErrUntrustedCore, traced.
DWORD CheckCoreServer(HANDLE pipe);
// True for the open failures that mean nobody serves the pipe.
bool MeansCoreDown(DWORD error);

} // namespace vrcc
