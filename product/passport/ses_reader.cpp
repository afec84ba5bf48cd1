#include "ses_reader.h"

#include "file_access.h"

namespace passport {

namespace {

const char kRoot[] = "RarudodaVaridide";
const char kSoftware[] = "Software";
const char kEntry[] = "SI";
const size_t kMaxComputerValues = 64;

bool all_space(const std::string& text) { return text.find_first_not_of(" \t\n\r") == std::string::npos; }

bool parse_size(const std::string& text, unsigned long long& value) {
    if (text.empty() || text.size() > 20) return false;
    value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        const unsigned digit = static_cast<unsigned>(c - '0');
        if (value > (~0ULL - digit) / 10) return false;
        value = value * 10 + digit;
    }
    return true;
}

} // namespace

const std::vector<EntryField>& entry_fields() {
    static const std::vector<EntryField> fields = {
        {"P", "folder", "folder", &Entry::folder},
        {"N", "name", "name", &Entry::name},
        {"D", "description", "description", &Entry::description},
        {"T", "type", "type", &Entry::type},
        {"V", "file version", "fileVersion", &Entry::fileVersion},
        {"MN", "company", "company", &Entry::company},
        {"PN", "product name", "productName", &Entry::product},
        {"PV", "product version", "productVersion", &Entry::productVersion},
        {"S", "size", "size", &Entry::size},
        {"CD", "change time", "changeTime", &Entry::changeTime},
        {"CS", "checksum", "checksum", &Entry::checksum},
    };
    return fields;
}

void append_utf16(const std::string& utf8, std::u16string& out) {
    // The parser has checked the bytes are well-formed UTF-8.
    for (size_t i = 0; i < utf8.size();) {
        const unsigned char c = static_cast<unsigned char>(utf8[i]);
        unsigned long cp;
        size_t len;
        if (c < 0x80) cp = c, len = 1;
        else if (c < 0xE0) cp = c & 0x1F, len = 2;
        else if (c < 0xF0) cp = c & 0x0F, len = 3;
        else cp = c & 0x07, len = 4;
        for (size_t k = 1; k < len && i + k < utf8.size(); ++k)
            cp = (cp << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
        i += len;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (cp >> 10));
            out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
        } else {
            out += static_cast<char16_t>(cp);
        }
    }
}

SesReader::SesReader(const std::string& path) : SesReader(open_input(path), path) {}

SesReader::SesReader(std::unique_ptr<ByteSource> source, const std::string& name)
    : m_name(name), m_source(std::move(source)), m_parser(*m_source, name) {
    read_header();
}

// The next start or end tag; text between elements must be white space.
XmlPullParser::Event SesReader::next_markup() {
    for (;;) {
        const XmlPullParser::Event event = m_parser.next();
        if (event != XmlPullParser::Text) return event;
        if (!all_space(m_parser.text())) m_parser.fail_at(m_parser.line(), "text where only elements belong");
    }
}

// The text of an element whose start tag was just read, up to its end tag;
// value keeps its storage from one entry to the next.
void SesReader::read_leaf(const std::string& element, std::string& value) {
    value.clear();
    for (;;) {
        switch (m_parser.next()) {
        case XmlPullParser::Text: value += m_parser.text(); break;
        case XmlPullParser::EndElement: return;
        case XmlPullParser::StartElement:
            m_parser.fail_at(m_parser.line(), "element <" + m_parser.name() + "> inside <" + element + ">, which holds only text");
        case XmlPullParser::EndOfDocument: m_parser.fail("the document ends early");
        }
    }
}

void SesReader::read_header() {
    if (next_markup() != XmlPullParser::StartElement || m_parser.name() != kRoot)
        m_parser.fail("the root element is <" + m_parser.name() + ">, not <" + kRoot + ">: not a software state document");
    static const struct {
        const char* tag;
        std::string Identity::*member;
    } kIdentity[] = {{"UniqueId", &Identity::uniqueId}, {"DateGenerated", &Identity::dateGenerated}, {"SID", &Identity::sid}};
    std::vector<std::string> seen;
    for (;;) {
        const XmlPullParser::Event event = next_markup();
        if (event == XmlPullParser::EndElement) m_parser.fail(std::string("the document has no <") + kSoftware + "> element");
        const std::string tag = m_parser.name();
        for (const std::string& s : seen)
            if (s == tag) m_parser.fail("<" + tag + "> appears twice");
        seen.push_back(tag);
        if (tag == kSoftware) return;
        bool known = false;
        for (const auto& id : kIdentity)
            if (tag == id.tag) {
                read_leaf(tag, m_identity.*id.member);
                known = true;
            }
        if (known) continue;
        if (tag != "Computer") m_parser.fail("unexpected element <" + tag + "> in the document's identity");
        while (next_markup() == XmlPullParser::StartElement) {
            if (m_identity.computer.size() >= kMaxComputerValues) m_parser.fail("too many values in <Computer>");
            m_identity.computer.emplace_back(m_parser.name(), std::string());
            read_leaf(m_identity.computer.back().first, m_identity.computer.back().second);
        }
    }
}

bool SesReader::next(Entry& entry) {
    if (m_done) return false;
    const XmlPullParser::Event event = next_markup();
    if (event == XmlPullParser::EndElement) {
        // </Software>: only the end of the root may follow.
        if (next_markup() != XmlPullParser::EndElement)
            m_parser.fail("element <" + m_parser.name() + "> after <" + kSoftware + ">");
        if (m_parser.next() != XmlPullParser::EndOfDocument) m_parser.fail("content after the root element");
        m_done = true;
        return false;
    }
    if (m_parser.name() != kEntry) m_parser.fail("unexpected element <" + m_parser.name() + "> in <Software>");
    entry.line = m_parser.line();
    const std::vector<EntryField>& fields = entry_fields();
    unsigned found = 0;
    while (next_markup() == XmlPullParser::StartElement) {
        const std::string& tag = m_parser.name();
        size_t i = 0;
        while (i < fields.size() && tag != fields[i].tag) ++i;
        if (i == fields.size()) m_parser.fail("unexpected element <" + tag + "> in an entry");
        if (found & (1u << i)) m_parser.fail("<" + tag + "> appears twice in one entry");
        found |= 1u << i;
        read_leaf(fields[i].tag, entry.*fields[i].member);
    }
    for (size_t i = 0; i < fields.size(); ++i)
        if (!(found & (1u << i))) m_parser.fail(std::string("the entry that starts on line ") + std::to_string(entry.line) +
                                                " has no <" + fields[i].tag + ">");
    if (!parse_size(entry.size, entry.sizeValue))
        m_parser.fail_at(entry.line, "the size \"" + entry.size + "\" is not an unsigned decimal number");

    entry.key.clear();
    append_utf16(entry.folder, entry.key);
    entry.key += u'\\';
    append_utf16(entry.name, entry.key);
    if (entry.replaced()) return true;
    if (m_havePrevious && !(m_previous < entry.key)) {
        const std::string path = entry.path();
        if (m_previous == entry.key) m_parser.fail_at(entry.line, "the entry " + path + " appears twice");
        m_parser.fail_at(entry.line, "the entry " + path + " comes after " + m_previousPath +
                                         ": entries are not in the order the scan service writes them "
                                         "(ascending code units of the full path), so they cannot be compared");
    }
    m_previous = entry.key;
    m_previousPath.assign(entry.folder).append("\\").append(entry.name);
    m_havePrevious = true;
    return true;
}

} // namespace passport
