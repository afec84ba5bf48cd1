#pragma once
// Software state documents as the scan service lays them out, written by
// the tests so every value and every byte is theirs to choose.
#include <string>
#include <vector>

namespace sestest {

struct Item {
    std::string path;  // full path; split at its last backslash
    std::string checksum = "0123456789ABCDEF0123456789ABCDEF0123456789ABCDEF0123456789ABCDEF";
    std::string size = "1024";
    std::string changeTime = "2026-05-01T10:00:00.000Z";
    std::string type = "Application";
    std::string description = "Sample tool";
    std::string fileVersion = "1.2.3.4";
    std::string company = "Example & Co";
    std::string product = "Sample";
    std::string productVersion = "1.2";
};

inline std::string escaped(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '&') out += "&amp;";
        else if (c == '<') out += "&lt;";
        else if (c == '>') out += "&gt;";
        else out += c;
    }
    return out;
}

inline std::string document(const std::vector<Item>& items, const std::string& uniqueId = "6F9619FF-8B86-D011-B42D-00C04FC964FF",
                            const std::string& date = "2026-12-07T03:32:39.000Z") {
    std::string out = "\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n"
                      "<RarudodaVaridide xmlns:dt=\"urn:schemas-microsoft-com:datatypes\">\r\n";
    out += "  <UniqueId>" + uniqueId + "</UniqueId>\r\n  <DateGenerated>" + date +
           "</DateGenerated>\r\n  <SID>S-1-5-21-0-0-0</SID>\r\n  <Computer>\r\n";
    for (const char* name : {"SerialNumber", "Type", "ResponsibleEmployee", "Department", "NetworkName", "NetworkAddress",
                             "AutomationSystem", "OperatingSystem", "DBMS", "Location"})
        out += std::string("    <") + name + ">" + (std::string(name) == "NetworkName" ? "WS-17" : "") + "</" + name + ">\r\n";
    out += "  </Computer>\r\n  <Software>\r\n";
    for (const Item& i : items) {
        const size_t slash = i.path.rfind('\\');
        const std::string values[] = {i.path.substr(0, slash), i.path.substr(slash + 1), i.description, i.type,
                                      i.fileVersion, i.company, i.product, i.productVersion, i.size, i.changeTime,
                                      i.checksum};
        const char* tags[] = {"P", "N", "D", "T", "V", "MN", "PN", "PV", "S", "CD", "CS"};
        out += "    <SI>\r\n";
        for (int k = 0; k < 11; ++k) {
            const char* type = k == 8 ? "i8" : k == 9 ? "dateTime.tz" : "string";
            out += std::string("      <") + tags[k] + " dt:dt=\"" + type + "\">" + escaped(values[k]) + "</" + tags[k] +
                   ">\r\n";
        }
        out += "    </SI>\r\n";
    }
    return out + "  </Software>\r\n</RarudodaVaridide>\r\n";
}

// Line (from 1) of the n-th <SI> (from 0) of a document of this layout.
inline unsigned entry_line(unsigned n) { return 19 + 13 * n; }

} // namespace sestest
