#pragma once
// A COM sequential stream over a file handle the caller opened and checked,
// so XmlLite reads and writes exactly that file and never reopens it by name.
#include <objidl.h>

class CHandleStream : public ISequentialStream {
public:
    // The handle stays the caller's; it must outlive every use of the stream.
    explicit CHandleStream(HANDLE file) : m_file(file) {}
    CHandleStream(const CHandleStream&) = delete;
    CHandleStream& operator=(const CHandleStream&) = delete;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    HRESULT STDMETHODCALLTYPE Read(void* buffer, ULONG size, ULONG* read) override;
    HRESULT STDMETHODCALLTYPE Write(const void* buffer, ULONG size, ULONG* written) override;

private:
    virtual ~CHandleStream() = default;
    HANDLE m_file;
    LONG m_refs = 1;
};
