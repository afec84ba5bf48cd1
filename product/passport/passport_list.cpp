#include "passport_list.h"

#include "entry_json.h"
#include "ses_reader.h"
#include "text_escape.h"

namespace passport {

namespace {

const char kNoChecksum[] = "-";

} // namespace

unsigned long long print_list(const std::string& path, ListForm form, std::ostream& out) {
    SesReader reader(path);
    const std::vector<EntryField>& fields = entry_fields();
    if (form == ListForm::Csv) {
        out << "path";
        for (const EntryField& field : fields) out << ',' << field.key;
        out << '\n';
    } else if (form == ListForm::Json) {
        out << "{\"document\":" << json_identity(reader) << ",\n\"entries\":[";
    }
    unsigned long long count = 0;
    Entry entry;
    while (reader.next(entry)) {
        switch (form) {
        case ListForm::Text:
            out << (entry.checksum.empty() ? kNoChecksum : plain_text(entry.checksum)) << "  " << entry.sizeValue << "  "
                << plain_text(entry.path()) << '\n';
            break;
        case ListForm::Csv:
            // Lines end as the platform's text files do (CRLF on Windows, as
            // RFC 4180 has them).
            out << csv_cell(entry.path());
            for (const EntryField& field : fields)
                out << ',' << (field.member == &Entry::size ? std::to_string(entry.sizeValue) : csv_cell(entry.*field.member));
            out << '\n';
            break;
        case ListForm::Json:
            out << (count ? ",\n" : "\n") << "{\"path\":" << json_string(entry.path()) << ","
                << json_entry(entry).substr(1);
            break;
        }
        ++count;
    }
    if (form == ListForm::Json) out << (count ? "\n" : "") << "],\n\"count\":" << count << "}\n";
    out.flush();
    return count;
}

} // namespace passport
