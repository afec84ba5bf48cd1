#pragma once
// Frames over one overlapped message-mode pipe handle. A read and a write
// may run at once on different threads; each waits with a time-out and a
// cancel event, so no peer can hold us forever.
#include "core_wire.h"
#include "vrbase/scope.h"

namespace vrcc {

// Refused: the frame was read to its end but its payload not kept, as its
// hold was refused; the frame has the header's command, id and status.
enum class IoResult { Ok, Closed, Cancelled, TimedOut, Failed, Refused };

// What the buffers of frames being read are held against: the core's bound
// for all connections together. Take refuses what would pass it.
class IReadBudget {
public:
    // A frame larger than the first chunk begins: its header is known.
    virtual void Begin(const FrameHeader&) {}
    virtual bool Take(size_t bytes) = 0;
    virtual void Give(size_t bytes) = 0;

protected:
    ~IReadBudget() = default;
};

// The part of a budget that one frame's buffer holds, given back when the
// hold ends unless handed on first. Without a budget every step is granted.
class CReadHold {
public:
    explicit CReadHold(IReadBudget* budget = nullptr) : m_budget(budget) {}
    ~CReadHold() { Reset(); }
    CReadHold(const CReadHold&) = delete;
    CReadHold& operator=(const CReadHold&) = delete;

    void Begin(const FrameHeader& header) {
        if (m_budget) m_budget->Begin(header);
    }
    bool Grow(size_t bytes);
    void Reset();
    // Ends the hold without giving anything back: whoever takes the
    // returned bytes holds them now.
    size_t HandOn();
    size_t Bytes() const { return m_bytes; }

private:
    IReadBudget* m_budget;
    size_t m_bytes = 0;
};

// How the core reads its clients; the client libraries read the core with
// the defaults.
struct ReadBounds {
    CReadHold* hold = nullptr;       // empty at the start; the buffer grows only as far as it is granted
    DWORD restTimeoutMs = INFINITE;  // for the rest of a frame once it has begun
};

class CPipeChannel {
public:
    explicit CPipeChannel(VrBase::unique_hfile pipe);
    CPipeChannel(const CPipeChannel&) = delete;
    CPipeChannel& operator=(const CPipeChannel&) = delete;

    HANDLE handle() const { return m_pipe.get(); }

    // One whole frame; a frame that breaks the rules throws ProtocolError.
    // The buffer grows only as the frame's data arrives, never past what
    // its header declares.
    IoResult Read(Frame& frame, HANDLE cancel, DWORD timeoutMs, DWORD& error, const ReadBounds& bounds = {});
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
