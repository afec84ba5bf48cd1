#pragma once
// A small pull parser for the documents this tool reads: UTF-8, elements,
// attributes, text, character and the five predefined entity references,
// CDATA, comments and processing instructions. Document type declarations
// are refused, so no entity can expand. Reads through a fixed buffer and
// bounds every token, so memory stays flat whatever the input.
#include "document_error.h"

#include <cstdio>
#include <string>
#include <vector>

namespace passport {

// Bytes of one file, read in blocks.
class ByteSource {
public:
    virtual ~ByteSource() = default;
    // Up to size bytes into buffer; 0 at the end. Raises on a read error.
    virtual size_t read(char* buffer, size_t size) = 0;
};

class XmlPullParser {
public:
    enum Event { StartElement, EndElement, Text, EndOfDocument };

    // name is the document's name in error messages.
    XmlPullParser(ByteSource& source, std::string name);

    // The next event; adjacent text and CDATA come as one Text event.
    Event next();
    const std::string& name() const { return m_name; }   // of a start or end tag
    const std::string& text() const { return m_text; }   // of a Text event
    // The line the current event starts on, counted from 1.
    unsigned long long line() const { return m_eventLine; }
    unsigned depth() const { return static_cast<unsigned>(m_open.size()); }

    [[noreturn]] void fail(const std::string& reason) const;
    [[noreturn]] void fail_at(unsigned long long line, const std::string& reason) const;

    // Longest name, value or text accepted, and deepest nesting.
    static constexpr size_t kMaxToken = 1u << 20;
    static constexpr unsigned kMaxDepth = 32;
    // Attributes of one tag, and the bytes of their names together: the
    // names are kept to find one given twice.
    static constexpr size_t kMaxAttributes = 64;
    static constexpr size_t kMaxAttributeNames = 1u << 16;

private:
    int peek();
    int get();
    void expect(const char* literal, const char* what);
    void skip_space();
    bool at_space();
    void read_name(std::string& out);
    void read_reference(std::string& out);
    void read_attribute_value(std::string& out);
    void read_start_tag();
    void read_end_tag();
    void read_comment();
    void read_processing_instruction(bool prolog);
    void read_cdata(std::string& out);
    void append(std::string& out, char c);
    void take_plain_run(std::string& out);
    void check_utf8(const std::string& value, unsigned long long line, size_t from = 0, bool countBreaks = true) const;
    void start_document();

    ByteSource& m_source;
    std::string m_document;
    std::vector<char> m_buffer;
    size_t m_pos = 0, m_end = 0;
    bool m_eof = false;
    unsigned long long m_line = 1;
    bool m_afterCR = false;

    unsigned long long m_eventLine = 1;
    std::string m_name, m_text, m_attrName, m_attrValue;
    std::vector<std::string> m_open;
    std::vector<std::string> m_attrNames;  // of the tag being read; storage kept
    bool m_started = false, m_rootSeen = false, m_rootClosed = false;
    bool m_pendingEnd = false;
    // A '<' was read and its markup waits for the next call.
    bool m_tagPending = false;
    unsigned long long m_tagLine = 0;
};

} // namespace passport
