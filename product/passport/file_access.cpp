#include "file_access.h"

#include "document_error.h"

#include <cerrno>
#include <cstring>

#ifdef _WIN32
#include <windows.h>

#include <fcntl.h>
#include <io.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace passport {

namespace {

std::string system_reason() {
#ifdef _WIN32
    const DWORD code = ::GetLastError();
    wchar_t* text = nullptr;
    ::FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                     code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::string reason = text ? utf8_of(text) : std::string("error");
    if (text) ::LocalFree(text);
    while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r' || reason.back() == '.')) reason.pop_back();
    return reason + " (" + std::to_string(code) + ")";
#else
    return std::strerror(errno);
#endif
}

std::FILE* open_input_file(const std::string& path) {
#ifdef _WIN32
    // _wfopen shares the file for reading and writing, so a document that
    // is being written elsewhere is read, never blocked.
    std::FILE* file = _wfopen(wide_of(path).c_str(), L"rb");
    if (!file) ::SetLastError(_doserrno);
    return file;
#else
    return std::fopen(path.c_str(), "rb");
#endif
}

// A new file under a name nobody has: never an existing one truncated.
// Null with exists set when the name is taken.
std::FILE* create_new_file(const std::string& path, bool& exists) {
#ifdef _WIN32
    // Shared for reading: the page reads its row files back.
    const HANDLE handle = ::CreateFileW(wide_of(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                                        FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        exists = ::GetLastError() == ERROR_FILE_EXISTS || ::GetLastError() == ERROR_ALREADY_EXISTS;
        return nullptr;
    }
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_WRONLY | _O_BINARY);
    if (fd < 0) {
        const DWORD code = ::GetLastError();
        ::CloseHandle(handle);
        ::DeleteFileW(wide_of(path).c_str());
        ::SetLastError(code);
        exists = false;
        return nullptr;
    }
    std::FILE* file = _fdopen(fd, "wb");
    if (!file) {
        _close(fd);
        ::DeleteFileW(wide_of(path).c_str());
        ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    }
    exists = false;
    return file;
#else
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666);
    if (fd < 0) {
        exists = errno == EEXIST;
        return nullptr;
    }
    std::FILE* file = ::fdopen(fd, "wb");
    if (!file) {
        const int code = errno;
        ::close(fd);
        ::unlink(path.c_str());
        errno = code;
    }
    exists = false;
    return file;
#endif
}

unsigned long process_id() {
#ifdef _WIN32
    return ::GetCurrentProcessId();
#else
    return static_cast<unsigned long>(::getpid());
#endif
}

struct FileIdentity {
    unsigned long long volume = 0, index = 0;
};

// False when the file cannot be opened (missing, or not ours to read).
bool file_identity(const std::string& path, FileIdentity& id) {
#ifdef _WIN32
    // Zero access and backup semantics: folders and locked files answer too.
    const HANDLE handle = ::CreateFileW(wide_of(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return false;
    BY_HANDLE_FILE_INFORMATION info;
    const bool known = ::GetFileInformationByHandle(handle, &info) != 0;
    ::CloseHandle(handle);
    if (!known) return false;
    id.volume = info.dwVolumeSerialNumber;
    id.index = (static_cast<unsigned long long>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    return true;
#else
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return false;
    id.volume = static_cast<unsigned long long>(st.st_dev);
    id.index = static_cast<unsigned long long>(st.st_ino);
    return true;
#endif
}

void remove_file(const std::string& path) {
#ifdef _WIN32
    ::DeleteFileW(wide_of(path).c_str());
#else
    ::unlink(path.c_str());
#endif
}

class FileSource : public ByteSource {
public:
    FileSource(std::FILE* file, std::string path) : m_file(file), m_path(std::move(path)) {}
    ~FileSource() override { std::fclose(m_file); }
    size_t read(char* buffer, size_t size) override {
        const size_t got = std::fread(buffer, 1, size, m_file);
        if (got == 0 && std::ferror(m_file)) throw DocumentError(m_path, 0, "cannot be read: " + system_reason());
        return got;
    }

private:
    std::FILE* m_file;
    std::string m_path;
};

} // namespace

#ifdef _WIN32
std::wstring wide_of(const std::string& utf8) {
    if (utf8.empty()) return std::wstring();
    const int n = ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(n), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), &wide[0], n);
    return wide;
}

std::string utf8_of(const std::wstring& wide) {
    if (wide.empty()) return std::string();
    const int n = ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<size_t>(n), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), &utf8[0], n, nullptr, nullptr);
    return utf8;
}
#endif

bool same_file(const std::string& a, const std::string& b) {
    FileIdentity x, y;
    return file_identity(a, x) && file_identity(b, y) && x.volume == y.volume && x.index == y.index;
}

std::unique_ptr<ByteSource> open_input(const std::string& path) {
    std::FILE* file = open_input_file(path);
    if (!file) throw DocumentError(path, 0, "cannot be opened: " + system_reason());
    return std::unique_ptr<ByteSource>(new FileSource(file, path));
}

OutputFile::OutputFile(const std::string& path) : m_path(path) {
    static unsigned long created = 0;
    for (unsigned attempt = 0; attempt < 1000; ++attempt) {
        m_temporary = path + ".~" + std::to_string(process_id()) + "-" + std::to_string(++created) + ".part";
        bool exists = false;
        m_file = create_new_file(m_temporary, exists);
        if (m_file) return;
        if (!exists) break;
    }
    throw DocumentError(m_temporary, 0, "cannot be created: " + system_reason());
}

OutputFile::~OutputFile() {
    if (!m_file) return;
    std::fclose(m_file);
    remove_file(m_temporary);
}

void OutputFile::write(const std::string& bytes) {
    if (std::fwrite(bytes.data(), 1, bytes.size(), m_file) != bytes.size())
        throw DocumentError(m_temporary, 0, "cannot be written: " + system_reason());
}

void OutputFile::flush() {
    if (std::fflush(m_file) != 0) throw DocumentError(m_temporary, 0, "cannot be written: " + system_reason());
}

void OutputFile::append_file(const std::string& path) {
    std::unique_ptr<ByteSource> input = open_input(path);
    std::string block(1u << 16, '\0');
    for (size_t got; (got = input->read(&block[0], block.size())) != 0;) write(block.substr(0, got));
}

void OutputFile::commit() {
    const bool flushed = std::fflush(m_file) == 0;
    const bool closed = std::fclose(m_file) == 0;
    m_file = nullptr;
    bool moved = false;
    if (flushed && closed) {
#ifdef _WIN32
        moved = ::MoveFileExW(wide_of(m_temporary).c_str(), wide_of(m_path).c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
#else
        moved = std::rename(m_temporary.c_str(), m_path.c_str()) == 0;
#endif
    }
    if (!moved) {
        const std::string reason = system_reason();
        remove_file(m_temporary);
        throw DocumentError(m_path, 0, "cannot be written: " + reason);
    }
}

} // namespace passport
