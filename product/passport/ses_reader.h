#pragma once
// Reads a software state document entry by entry: the identity first, then
// one entry per call, never more than one entry in memory. Entries must
// come in the order the scan service writes them (ascending UTF-16 code
// units of the full path, case-sensitive); anything else is refused with
// its line, so a merge over two documents is never silently wrong. Entries
// whose path holds U+FFFD are exempt (see Entry::replaced).
#include "xml_pull.h"

#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace passport {

struct Identity {
    std::string uniqueId, dateGenerated, sid;
    std::vector<std::pair<std::string, std::string>> computer;  // in document order
};

struct Entry {
    std::string folder, name, description, type, fileVersion, company, product, productVersion, size, changeTime,
        checksum;
    unsigned long long sizeValue = 0;
    unsigned long long line = 0;  // of its <SI>
    std::u16string key;           // the full path as the writer ordered it

    std::string path() const { return folder + "\\" + name; }
    // The writer puts U+FFFD for what XML cannot carry (U+FFFE, U+FFFF, a
    // lone surrogate) but keeps the order of the original paths: such a
    // key may repeat another or stand out of order, so it is left out of
    // the order check and merged apart.
    bool replaced() const { return key.find(u'\uFFFD') != std::u16string::npos; }
};

// One child element of an entry: its tag and where it is kept.
struct EntryField {
    const char* tag;
    const char* label;  // how the text and HTML reports name it
    const char* key;    // its JSON key, in the style of every other key
    std::string Entry::*member;
};
// The eleven children, in the order the writer puts them.
const std::vector<EntryField>& entry_fields();

// UTF-8 bytes sort in code-point order; the writer's map sorts UTF-16 code
// units, and the two differ above U+FFFF. Keys are therefore UTF-16.
void append_utf16(const std::string& utf8, std::u16string& out);

class SesReader {
public:
    explicit SesReader(const std::string& path);
    // Over bytes already open (tests); name is used in messages.
    SesReader(std::unique_ptr<ByteSource> source, const std::string& name);

    const Identity& identity() const { return m_identity; }
    // The next entry, or false after the last one (the rest of the document
    // has then been checked to its end).
    bool next(Entry& entry);
    const std::string& name() const { return m_name; }

private:
    void read_header();
    void read_leaf(const std::string& element, std::string& value);
    XmlPullParser::Event next_markup();

    std::string m_name;
    std::unique_ptr<ByteSource> m_source;
    XmlPullParser m_parser;
    Identity m_identity;
    std::u16string m_previous;
    std::string m_previousPath;
    bool m_havePrevious = false, m_done = false;
};

} // namespace passport
