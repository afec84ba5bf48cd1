#pragma once
// Turns hardware and system exceptions of the current thread into CVrError.
#include <windows.h>
#include <new>

namespace VrBase {

// While one lives on a thread, a system exception raised by this module's
// code (or the C run-time) on that thread is written to a minidump and then
// reaches the thread's exception guard as a CVrError. A stack overflow
// cannot be unwound safely: it is dumped, traced, and ends the process with
// code 0xE6060018.
class CSehCatcher {
public:
    CSehCatcher();
    ~CSehCatcher();
    CSehCatcher(const CSehCatcher&) = delete;
    CSehCatcher& operator=(const CSehCatcher&) = delete;

    // True when the calling thread holds a catcher.
    static bool IsArmed();

private:
    void* m_previous;
};

// Allocation failure becomes CVrError E_OUTOFMEMORY.
class CRTLTranslator {
public:
    CRTLTranslator();
    ~CRTLTranslator();
    CRTLTranslator(const CRTLTranslator&) = delete;
    CRTLTranslator& operator=(const CRTLTranslator&) = delete;

    static void NewHandler();

private:
    std::new_handler m_previousNew;
};

} // namespace VrBase
