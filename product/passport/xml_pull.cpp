#include "xml_pull.h"

#include <cstring>

namespace passport {

namespace {

bool is_space(int c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

bool is_name_byte(int c) {
    return c >= 0 && !is_space(c) && !std::strchr("/>=<&\"'!?;", c) && c != 0;
}

bool is_xml_char(unsigned long cp) {
    return cp == 0x9 || cp == 0xA || cp == 0xD || (cp >= 0x20 && cp <= 0xD7FF) || (cp >= 0xE000 && cp <= 0xFFFD) ||
           (cp >= 0x10000 && cp <= 0x10FFFF);
}

void put_utf8(std::string& out, unsigned long cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// Offset of the first byte that is not well-formed UTF-8 of an XML
// character, or npos.
size_t bad_utf8_offset(const std::string& s, size_t from) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(s.data());
    const size_t n = s.size();
    for (size_t i = from; i < n;) {
        const unsigned char c = p[i];
        unsigned long cp;
        size_t len;
        if (c < 0x80) {
            cp = c, len = 1;
        } else if (c >= 0xC2 && c <= 0xDF) {
            cp = c & 0x1F, len = 2;
        } else if (c >= 0xE0 && c <= 0xEF) {
            cp = c & 0x0F, len = 3;
        } else if (c >= 0xF0 && c <= 0xF4) {
            cp = c & 0x07, len = 4;
        } else {
            return i;
        }
        if (i + len > n) return i;
        for (size_t k = 1; k < len; ++k) {
            if ((p[i + k] & 0xC0) != 0x80) return i;
            cp = (cp << 6) | (p[i + k] & 0x3F);
        }
        const unsigned long least[] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < least[len] || !is_xml_char(cp)) return i;
        i += len;
    }
    return std::string::npos;
}

} // namespace

XmlPullParser::XmlPullParser(ByteSource& source, std::string name)
    : m_source(source), m_document(std::move(name)), m_buffer(1u << 16) {}

void XmlPullParser::fail(const std::string& reason) const { fail_at(m_line, reason); }

void XmlPullParser::fail_at(unsigned long long line, const std::string& reason) const {
    throw DocumentError(m_document, line, reason);
}

int XmlPullParser::peek() {
    if (m_pos == m_end) {
        if (m_eof) return -1;
        m_pos = 0;
        m_end = m_source.read(m_buffer.data(), m_buffer.size());
        if (m_end == 0) {
            m_eof = true;
            return -1;
        }
    }
    return static_cast<unsigned char>(m_buffer[m_pos]);
}

int XmlPullParser::get() {
    const int c = peek();
    if (c < 0) return c;
    ++m_pos;
    if (c == '\r') {
        ++m_line;
        m_afterCR = true;
    } else {
        if (c == '\n' && !m_afterCR) ++m_line;
        m_afterCR = false;
    }
    return c;
}

void XmlPullParser::expect(const char* literal, const char* what) {
    for (const char* p = literal; *p; ++p)
        if (get() != static_cast<unsigned char>(*p)) {
            if (m_eof) fail(std::string("the document ends inside ") + what + ": it is cut short");
            fail(std::string("malformed ") + what + ": expected \"" + literal + "\"");
        }
}

bool XmlPullParser::at_space() { return is_space(peek()); }

void XmlPullParser::skip_space() {
    while (at_space()) get();
}

void XmlPullParser::append(std::string& out, char c) {
    if (out.size() >= kMaxToken) fail("a name, value or text longer than 1 MiB");
    out += c;
}

// Most of a document is plain text between tags: taken from the buffer a
// run at a time rather than byte by byte.
void XmlPullParser::take_plain_run(std::string& out) {
    const char* begin = m_buffer.data() + m_pos;
    const char* end = m_buffer.data() + m_end;
    const char* p = begin;
    while (p != end && *p != '<' && *p != '&' && *p != '\r' && *p != '\n') ++p;
    const size_t n = static_cast<size_t>(p - begin);
    if (out.size() + n > kMaxToken) fail("a name, value or text longer than 1 MiB");
    out.append(begin, n);
    m_pos += n;
    m_afterCR = false;
}

// From offset from on; countBreaks when each '\n' of value was a line break.
void XmlPullParser::check_utf8(const std::string& value, unsigned long long line, size_t from, bool countBreaks) const {
    const size_t bad = bad_utf8_offset(value, from);
    if (bad == std::string::npos) return;
    unsigned long long at = line;
    for (size_t i = from; countBreaks && i < bad; ++i)
        if (value[i] == '\n') ++at;
    fail_at(at, "bytes that are not UTF-8 text of XML characters");
}

void XmlPullParser::read_name(std::string& out) {
    out.clear();
    const int first = peek();
    if (!is_name_byte(first) || (first >= '0' && first <= '9') || first == '-' || first == '.')
        fail(first < 0 ? "the document ends inside a tag: it is cut short" : "a tag or attribute without a valid name");
    while (is_name_byte(peek())) append(out, static_cast<char>(get()));
    check_utf8(out, m_line);
}

void XmlPullParser::read_reference(std::string& out) {
    std::string ref;
    for (int c = get(); c != ';'; c = get()) {
        if (c < 0) fail("the document ends inside a reference: it is cut short");
        if (ref.size() > 10 || is_space(c) || c == '<' || c == '&') fail("a malformed entity reference");
        ref += static_cast<char>(c);
    }
    static const struct {
        const char* name;
        char value;
    } kPredefined[] = {{"lt", '<'}, {"gt", '>'}, {"amp", '&'}, {"quot", '"'}, {"apos", '\''}};
    for (const auto& p : kPredefined)
        if (ref == p.name) return append(out, p.value);
    if (ref.size() < 2 || ref[0] != '#') fail("an unknown entity reference &" + ref + ";");
    const bool hex = ref[1] == 'x';
    const size_t start = hex ? 2 : 1;
    if (start >= ref.size()) fail("a malformed character reference &" + ref + ";");
    unsigned long cp = 0;
    for (size_t i = start; i < ref.size(); ++i) {
        const char c = ref[i];
        int digit;
        if (c >= '0' && c <= '9') digit = c - '0';
        else if (hex && c >= 'a' && c <= 'f') digit = c - 'a' + 10;
        else if (hex && c >= 'A' && c <= 'F') digit = c - 'A' + 10;
        else fail("a malformed character reference &" + ref + ";");
        cp = cp * (hex ? 16 : 10) + digit;
        if (cp > 0x10FFFF) break;
    }
    if (!is_xml_char(cp)) fail("a character reference &" + ref + "; to a character XML does not allow");
    if (out.size() + 4 > kMaxToken) fail("a name, value or text longer than 1 MiB");
    put_utf8(out, cp);
}

void XmlPullParser::read_attribute_value(std::string& out) {
    out.clear();
    const int quote = get();
    if (quote != '"' && quote != '\'') fail("an attribute value without quotes");
    // Line breaks become spaces: each line is checked as it ends, so a bad
    // byte is named with its own line.
    unsigned long long line = m_line;
    size_t lineStart = 0;
    for (int c = get(); c != quote; c = get()) {
        if (c < 0) fail("the document ends inside an attribute value: it is cut short");
        if (c == '<') fail("a '<' inside an attribute value");
        if (c == '&') read_reference(out);
        else if (is_space(c)) {
            if (c == '\r' || c == '\n') {
                if (c == '\r' && peek() == '\n') get();
                check_utf8(out, line, lineStart, false);
                line = m_line;
                lineStart = out.size() + 1;
            }
            append(out, ' ');
        } else append(out, static_cast<char>(c));
    }
    check_utf8(out, line, lineStart, false);
}

void XmlPullParser::read_start_tag() {
    if (m_rootClosed) fail("a second root element");
    if (m_open.size() >= kMaxDepth) fail("elements nested deeper than " + std::to_string(kMaxDepth));
    read_name(m_name);
    size_t attributes = 0, nameBytes = 0;
    for (;;) {
        const bool spaced = at_space();
        skip_space();
        const int c = peek();
        if (c == '>') {
            get();
            break;
        }
        if (c == '/') {
            get();
            expect(">", "a tag");
            m_pendingEnd = true;
            break;
        }
        if (c < 0) fail("the document ends inside a tag: it is cut short");
        if (!spaced) fail("attributes of <" + m_name + "> not separated by white space");
        if (attributes == kMaxAttributes)
            fail("more than " + std::to_string(kMaxAttributes) + " attributes on <" + m_name + ">");
        read_name(m_attrName);
        nameBytes += m_attrName.size();
        if (nameBytes > kMaxAttributeNames) fail("attribute names of <" + m_name + "> longer than 64 KiB together");
        for (size_t i = 0; i < attributes; ++i)
            if (m_attrNames[i] == m_attrName) fail("attribute " + m_attrName + " given twice on <" + m_name + ">");
        if (attributes == m_attrNames.size()) m_attrNames.emplace_back();
        m_attrNames[attributes++] = m_attrName;
        skip_space();
        expect("=", "an attribute");
        skip_space();
        read_attribute_value(m_attrValue);
    }
    m_open.push_back(m_name);
    m_rootSeen = true;
}

void XmlPullParser::read_end_tag() {
    read_name(m_name);
    skip_space();
    expect(">", "an end tag");
    if (m_open.empty()) fail("end tag </" + m_name + "> without a start tag");
    if (m_open.back() != m_name) fail("end tag </" + m_name + "> where </" + m_open.back() + "> was expected");
    m_open.pop_back();
    if (m_open.empty()) m_rootClosed = true;
}

void XmlPullParser::read_comment() {
    int dashes = 0;
    for (int c = get();; c = get()) {
        if (c < 0) fail("the document ends inside a comment: it is cut short");
        if (c == '>' && dashes >= 2) return;
        dashes = c == '-' ? dashes + 1 : 0;
    }
}

void XmlPullParser::read_processing_instruction(bool prolog) {
    std::string content;
    bool question = false;
    for (int c = get();; c = get()) {
        if (c < 0) fail("the document ends inside a processing instruction: it is cut short");
        if (c == '>' && question) break;
        question = c == '?';
        if (content.size() < 4096) content += static_cast<char>(c);
    }
    const bool declaration = content.compare(0, 3, "xml") == 0 && (content.size() == 4 || is_space(content[3]));
    if (declaration && !prolog) fail("an XML declaration that is not at the start of the document");
    if (!declaration) return;
    const size_t at = content.find("encoding");
    if (at == std::string::npos) return;
    size_t q = content.find_first_of("\"'", at);
    if (q == std::string::npos) fail("a malformed XML declaration");
    const size_t end = content.find(content[q], q + 1);
    if (end == std::string::npos) fail("a malformed XML declaration");
    std::string encoding = content.substr(q + 1, end - q - 1);
    for (char& ch : encoding)
        if (ch >= 'a' && ch <= 'z') ch = static_cast<char>(ch - 'a' + 'A');
    if (encoding != "UTF-8" && encoding != "UTF8")
        fail("the document is in " + content.substr(q + 1, end - q - 1) + "; only UTF-8 documents are read");
}

void XmlPullParser::read_cdata(std::string& out) {
    int brackets = 0;
    for (int c = get();; c = get()) {
        if (c < 0) fail("the document ends inside a CDATA section: it is cut short");
        if (c == '>' && brackets >= 2) {
            out.resize(out.size() - 2);
            return;
        }
        brackets = c == ']' ? brackets + 1 : 0;
        if (c == '\r') {
            if (peek() == '\n') get();
            c = '\n';
        }
        append(out, static_cast<char>(c));
    }
}

void XmlPullParser::start_document() {
    m_started = true;
    const int first = peek();
    if (first == 0xFE || first == 0xFF) fail("the document is UTF-16 text; only UTF-8 documents are read");
    if (first == 0xEF) expect("\xEF\xBB\xBF", "the byte-order mark");
    if (peek() != '<') return;
    // A declaration is only allowed here, before anything else.
    get();
    if (peek() == '?') {
        get();
        read_processing_instruction(true);
    } else {
        m_eventLine = m_line;
        m_tagPending = true;
    }
}

XmlPullParser::Event XmlPullParser::next() {
    if (m_pendingEnd) {
        m_pendingEnd = false;
        m_name = m_open.back();
        m_open.pop_back();
        if (m_open.empty()) m_rootClosed = true;
        return EndElement;
    }
    if (!m_started) start_document();
    m_text.clear();
    unsigned long long textLine = m_line;
    for (;;) {
        if (!m_tagPending) {
            const int c = peek();
            if (c < 0) {
                if (!m_open.empty()) fail("the document ends inside <" + m_open.back() + ">: it is cut short");
                if (!m_rootSeen) fail("the document holds no element");
                return EndOfDocument;
            }
            if (c != '<') {
                if (!m_open.empty() && c != '&' && c != '\r' && c != '\n') {
                    if (m_text.empty()) textLine = m_line;
                    take_plain_run(m_text);
                    continue;
                }
                get();
                if (m_open.empty()) {
                    if (!is_space(c)) fail("text outside the root element");
                    continue;
                }
                if (m_text.empty()) textLine = m_line;
                if (c == '&') read_reference(m_text);
                else if (c == '\r') {
                    if (peek() == '\n') get();
                    append(m_text, '\n');
                } else append(m_text, static_cast<char>(c));
                continue;
            }
            get();
            m_eventLine = m_line;
        }
        m_tagPending = false;
        const int c = peek();
        if (c == '!') {
            get();
            if (peek() == '-') {
                expect("--", "a comment");
                read_comment();
                continue;
            }
            if (peek() == '[') {
                if (m_open.empty()) fail("a CDATA section outside the root element");
                expect("[CDATA[", "a CDATA section");
                if (m_text.empty()) textLine = m_eventLine;
                read_cdata(m_text);
                continue;
            }
            if (peek() == 'D') fail("a document type declaration; they are not accepted");
            fail("unknown markup after \"<!\"");
        }
        if (c == '?') {
            get();
            read_processing_instruction(false);
            continue;
        }
        if (!m_text.empty()) {
            // The tag comes with the next call; first the text before it.
            m_tagPending = true;
            const unsigned long long tagLine = m_eventLine;
            check_utf8(m_text, textLine);
            m_eventLine = textLine;
            m_tagLine = tagLine;
            return Text;
        }
        if (m_tagLine) {
            m_eventLine = m_tagLine;
            m_tagLine = 0;
        }
        if (c == '/') {
            get();
            read_end_tag();
            return EndElement;
        }
        read_start_tag();
        return StartElement;
    }
}

} // namespace passport
