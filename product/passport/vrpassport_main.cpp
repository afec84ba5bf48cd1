// vrpassport: reads software state documents; see passport_cli.cpp.
#include "passport_cli.h"

#include <iostream>

#ifdef _WIN32
#include "file_access.h"

#include <windows.h>

namespace {

// A console shows the UTF-8 the tool writes only with its code page set
// to UTF-8; the page it had is given back at exit.
class ConsoleUtf8 {
public:
    ConsoleUtf8() : m_previous(::GetConsoleOutputCP()) {
        if (m_previous) ::SetConsoleOutputCP(CP_UTF8);
    }
    ~ConsoleUtf8() {
        if (m_previous) ::SetConsoleOutputCP(m_previous);
    }
    ConsoleUtf8(const ConsoleUtf8&) = delete;
    ConsoleUtf8& operator=(const ConsoleUtf8&) = delete;

private:
    UINT m_previous;
};

} // namespace

int wmain(int argc, wchar_t** argv) {
    ConsoleUtf8 console;
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) args.push_back(passport::utf8_of(argv[i]));
    return passport::run_passport(args, std::cout, std::cerr);
}
#else
int main(int argc, char** argv) {
    return passport::run_passport(std::vector<std::string>(argv + 1, argv + argc), std::cout, std::cerr);
}
#endif
