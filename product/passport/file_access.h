#pragma once
// Files by UTF-8 name, the one place that differs between Windows and
// POSIX builds.
#include "xml_pull.h"

#include <cstdio>
#include <memory>
#include <string>

namespace passport {

// Opens for reading only, sharing with writers; raises DocumentError.
std::unique_ptr<ByteSource> open_input(const std::string& path);

// Whether two names reach one file (any spelling, link or hard link);
// false when either cannot be opened.
bool same_file(const std::string& a, const std::string& b);

// A file written under a fresh temporary name beside its final one (created
// new, so no existing file is ever truncated or removed) and moved into
// place by commit(); dropped unless committed.
class OutputFile {
public:
    explicit OutputFile(const std::string& path);
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    void write(const std::string& bytes);
    void flush();
    const std::string& temporary_path() const { return m_temporary; }
    // Copies every byte of an input file to this one.
    void append_file(const std::string& path);
    void commit();

private:
    std::string m_path, m_temporary;
    std::FILE* m_file = nullptr;
};

#ifdef _WIN32
std::wstring wide_of(const std::string& utf8);
std::string utf8_of(const std::wstring& wide);
#endif

} // namespace passport
