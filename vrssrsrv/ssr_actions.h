#pragma once
// One whole scan: targets, walk, checksums, document and state, with its
// events; a task of the worker pool.
#include <windows.h>
#include <string>
#include <vector>

// The pool task; abortEvent is the task's stop event, data a scan request
// (build_scan_request).
void software_scan(HANDLE abortEvent, void* data);

// Registers the start event now and the finish event when the scope ends.
class CScanStartStopEvtReg {
public:
    CScanStartStopEvtReg(std::wstring operationId, std::wstring userSid, DWORD source);
    ~CScanStartStopEvtReg();
    CScanStartStopEvtReg(const CScanStartStopEvtReg&) = delete;
    CScanStartStopEvtReg& operator=(const CScanStartStopEvtReg&) = delete;

private:
    std::wstring m_operationId, m_userSid;
};

// Puts the scan state back to "None" when a scan that marked itself in
// progress ends without completing.
class CScanStateRollback {
public:
    CScanStateRollback() = default;
    ~CScanStateRollback();
    CScanStateRollback(const CScanStateRollback&) = delete;
    CScanStateRollback& operator=(const CScanStateRollback&) = delete;
    void arm() { m_armed = true; }
    void disarm() { m_armed = false; }

private:
    bool m_armed = false;
};
