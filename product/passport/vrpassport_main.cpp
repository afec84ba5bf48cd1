// vrpassport: reads software state documents; see passport_cli.cpp.
#include "passport_cli.h"

#include <iostream>

#ifdef _WIN32
#include "file_access.h"
#include "vrbase/tool_cli.h"

#include <streambuf>

namespace {

// The tool's UTF-8 goes out through the one output path of the product's
// tools: a console gets it as wide text, a pipe or file as UTF-8 bytes.
// Only whole UTF-8 sequences leave the buffer.
class ToolStreamBuffer : public std::streambuf {
public:
    explicit ToolStreamBuffer(VrBase::ToolStream stream) : m_stream(stream) {}
    ~ToolStreamBuffer() override { Flush(true); }
    ToolStreamBuffer(const ToolStreamBuffer&) = delete;
    ToolStreamBuffer& operator=(const ToolStreamBuffer&) = delete;

protected:
    // A write that fails (a full disk, a closed pipe) fails the stream, so
    // the tool can tell that its report did not get out.
    int_type overflow(int_type c) override {
        if (c != traits_type::eof()) {
            m_pending.push_back(static_cast<char>(c));
            if ((c == '\n' || m_pending.size() >= kFlushBytes) && !Flush(false)) return traits_type::eof();
        }
        return traits_type::not_eof(c);
    }
    std::streamsize xsputn(const char* s, std::streamsize n) override {
        m_pending.append(s, static_cast<size_t>(n));
        if ((m_pending.size() >= kFlushBytes || (n > 0 && s[n - 1] == '\n')) && !Flush(false)) return 0;
        return n;
    }
    int sync() override { return Flush(false) ? 0 : -1; }

private:
    static constexpr size_t kFlushBytes = 64 * 1024;

    // The length of the text without a UTF-8 sequence cut short at its end.
    static size_t WholeLength(const std::string& text) {
        const size_t n = text.size();
        for (size_t back = 1; back <= 4 && back <= n; ++back) {
            const unsigned char c = static_cast<unsigned char>(text[n - back]);
            if ((c & 0xC0) == 0x80) continue;
            const size_t length = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
            return length > back ? n - back : n;
        }
        return n;
    }

    bool Flush(bool all) {
        const size_t whole = all ? m_pending.size() : WholeLength(m_pending);
        if (whole == 0) return true;
        const bool written = VrBase::ToolWriteUtf8(m_stream, m_pending.substr(0, whole));
        m_pending.erase(0, whole);
        return written;
    }

    VrBase::ToolStream m_stream;
    std::string m_pending;
};

} // namespace

int wmain(int argc, wchar_t** argv) {
    ToolStreamBuffer out(VrBase::ToolStream::Out), err(VrBase::ToolStream::Err);
    std::ostream outStream(&out), errStream(&err);
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) args.push_back(passport::utf8_of(argv[i]));
    const int rc = passport::run_passport(args, outStream, errStream);
    outStream.flush();
    errStream.flush();
    return rc;
}
#else
int main(int argc, char** argv) {
    return passport::run_passport(std::vector<std::string>(argv + 1, argv + argc), std::cout, std::cerr);
}
#endif
