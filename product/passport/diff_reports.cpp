#include "diff_reports.h"

#include "entry_json.h"
#include "text_escape.h"

namespace passport {

namespace {

const char kSameVersionNewChecksum[] = "checksum changed, version texts unchanged";

class TextReport : public DiffSink {
public:
    explicit TextReport(std::ostream& out) : m_out(out) {}
    void begin(const SesReader& older, const SesReader& newer) override {
        identity("old", older);
        identity("new", newer);
    }
    void added(const Entry& entry) override { m_out << "added    " << plain_text(entry.path()) << '\n'; }
    void removed(const Entry& entry) override { m_out << "removed  " << plain_text(entry.path()) << '\n'; }
    void changed(const Entry& before, const Entry&, const std::vector<FieldChange>& changes, bool flagged) override {
        m_out << "changed  " << plain_text(before.path()) << '\n';
        for (const FieldChange& c : changes)
            m_out << "         " << c.field->label << ": " << quoted_text(*c.before) << " -> " << quoted_text(*c.after)
                  << '\n';
        if (flagged) m_out << "         ! " << kSameVersionNewChecksum << '\n';
    }
    void end(const DiffCounts& counts) override {
        m_out << "added " << counts.added << ", removed " << counts.removed << ", changed " << counts.changed
              << " (" << kSameVersionNewChecksum << ": " << counts.sameVersionNewChecksum << ")\n";
        m_out.flush();
    }

private:
    void identity(const char* which, const SesReader& reader) {
        const Identity& id = reader.identity();
        m_out << which << "  " << plain_text(reader.name()) << ": UniqueId " << plain_text(id.uniqueId) << ", generated "
              << plain_text(id.dateGenerated) << ", SID " << plain_text(id.sid) << '\n';
    }
    std::ostream& m_out;
};

class JsonReport : public DiffSink {
public:
    explicit JsonReport(std::ostream& out) : m_out(out) {}
    void begin(const SesReader& older, const SesReader& newer) override {
        m_out << "{\"old\":" << json_identity(older) << ",\n\"new\":" << json_identity(newer) << ",\n\"changes\":[";
    }
    void added(const Entry& entry) override { change("added", entry) << ",\"entry\":" << json_entry(entry) << "}"; }
    void removed(const Entry& entry) override { change("removed", entry) << ",\"entry\":" << json_entry(entry) << "}"; }
    void changed(const Entry& before, const Entry& after, const std::vector<FieldChange>& changes, bool flagged) override {
        change("changed", before) << ",\"fields\":[";
        for (size_t i = 0; i < changes.size(); ++i)
            m_out << (i ? "," : "") << "{\"field\":\"" << changes[i].field->key
                  << "\",\"old\":" << json_field(*changes[i].field, before)
                  << ",\"new\":" << json_field(*changes[i].field, after) << "}";
        m_out << "],\"checksumChangedVersionTextsUnchanged\":" << (flagged ? "true" : "false") << "}";
    }
    void end(const DiffCounts& counts) override {
        m_out << (m_first ? "" : "\n") << "],\n\"counts\":{\"added\":" << counts.added << ",\"removed\":" << counts.removed
              << ",\"changed\":" << counts.changed
              << ",\"checksumChangedVersionTextsUnchanged\":" << counts.sameVersionNewChecksum << "}}\n";
        m_out.flush();
    }

private:
    std::ostream& change(const char* kind, const Entry& entry) {
        m_out << (m_first ? "\n" : ",\n") << "{\"kind\":\"" << kind << "\",\"path\":" << json_string(entry.path());
        m_first = false;
        return m_out;
    }
    std::ostream& m_out;
    bool m_first = true;
};

} // namespace

std::unique_ptr<DiffSink> text_report(std::ostream& out) { return std::unique_ptr<DiffSink>(new TextReport(out)); }
std::unique_ptr<DiffSink> json_report(std::ostream& out) { return std::unique_ptr<DiffSink>(new JsonReport(out)); }

} // namespace passport
