#pragma once
// The one failure of this tool: a document that cannot be read as a
// software state document, or a file that cannot be opened or written.
#include <stdexcept>
#include <string>

namespace passport {

class DocumentError : public std::runtime_error {
public:
    // line 0: the failure has no line (opening, reading, writing).
    DocumentError(const std::string& file, unsigned long long line, const std::string& reason)
        : std::runtime_error(compose(file, line, reason)), m_line(line) {}
    unsigned long long line() const { return m_line; }

private:
    static std::string compose(const std::string& file, unsigned long long line, const std::string& reason) {
        return line ? file + ":" + std::to_string(line) + ": " + reason : file + ": " + reason;
    }
    unsigned long long m_line;
};

} // namespace passport
