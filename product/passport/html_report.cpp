#include "diff_reports.h"

#include "file_access.h"
#include "text_escape.h"

namespace passport {

namespace {

// Nothing may load from elsewhere: the page is read on machines without a
// network and must show the same everywhere.
const char kHead[] = R"(<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8">
<meta http-equiv="Content-Security-Policy" content="default-src 'none'; style-src 'unsafe-inline'; script-src 'unsafe-inline'">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>Software passport: what changed</title>
<style>
body{font-family:system-ui,sans-serif;margin:1.5em;color:#222}
h1{font-size:1.4em}h2{font-size:1.15em;margin-top:1.6em}
table{border-collapse:collapse;width:100%;font-size:.9em}
th,td{border:1px solid #ccc;padding:.25em .5em;text-align:left;vertical-align:top;overflow-wrap:anywhere}
th{background:#eee}
td.num{white-space:nowrap;overflow-wrap:normal;text-align:right;font-variant-numeric:tabular-nums}
.ids th{width:9em}
.counts{display:flex;gap:1em;flex-wrap:wrap;list-style:none;padding:0}
.counts li{border:1px solid #bbb;border-radius:.4em;padding:.5em 1em}
.counts b{font-size:1.6em;display:block}
.flag{background:#fff1c2}
input[type=search]{width:24em;max-width:100%;margin:.3em 0}
.fields div{white-space:pre-wrap}
</style></head><body>
<h1>Software passport: what changed</h1>
)";

const char kScript[] = R"(<script>
document.querySelectorAll("section").forEach(function (section) {
  var input = section.querySelector("input"), rows = section.querySelectorAll("tbody tr");
  var shown = section.querySelector(".shown");
  input.addEventListener("input", function () {
    var q = input.value.toLowerCase(), n = 0;
    rows.forEach(function (row) {
      var hit = !q || row.textContent.toLowerCase().indexOf(q) >= 0;
      row.hidden = !hit;
      if (hit) ++n;
    });
    shown.textContent = q ? n + " of " + rows.length + " shown" : "";
  });
});
// A link may carry a filter: page.html#filter=text fills every box.
if (location.hash.indexOf("#filter=") === 0) {
  var q = decodeURIComponent(location.hash.slice(8));
  document.querySelectorAll("section input").forEach(function (input) {
    input.value = q;
    input.dispatchEvent(new Event("input"));
  });
}
</script>
</body></html>
)";

std::string cell(const std::string& text) { return "<td>" + html_text(text) + "</td>"; }
// A number is never broken across lines and lines up with the others.
std::string number_cell(const std::string& text) { return "<td class=\"num\">" + html_text(text) + "</td>"; }

struct Kind {
    const char* id;
    const char* title;
    const char* columns;
};
const Kind kKinds[] = {
    {"added", "Added", "<th>Path</th><th>Description</th><th>Type</th><th>File version</th><th>Size</th><th>Change time</th><th>Checksum</th>"},
    {"removed", "Removed", "<th>Path</th><th>Description</th><th>Type</th><th>File version</th><th>Size</th><th>Change time</th><th>Checksum</th>"},
    {"changed", "Changed", "<th>Path</th><th>What changed</th><th>Note</th>"},
};

// Rows go to a file per kind while the merge runs; the page is put
// together at the end, when the counts for its top are known.
class HtmlReport : public DiffSink {
public:
    explicit HtmlReport(const std::string& path)
        : m_page(path), m_rows{OutputFile(path + ".added"), OutputFile(path + ".removed"), OutputFile(path + ".changed")} {}

    void begin(const SesReader& older, const SesReader& newer) override {
        m_page.write(kHead);
        m_page.write("<table class=\"ids\"><tr><th></th><th>File</th><th>UniqueId</th><th>DateGenerated</th><th>SID</th></tr>" +
                     identity("Old", older) + identity("New", newer) + "</table>\n");
    }
    void added(const Entry& entry) override { m_rows[0].write(entry_row(entry)); }
    void removed(const Entry& entry) override { m_rows[1].write(entry_row(entry)); }
    void changed(const Entry& before, const Entry&, const std::vector<FieldChange>& changes, bool flagged) override {
        std::string row = flagged ? "<tr class=\"flag\">" : "<tr>";
        row += cell(before.path()) + "<td class=\"fields\">";
        for (const FieldChange& c : changes)
            row += "<div>" + html_text(c.field->label) + ": " + html_text(*c.before) + " \xE2\x86\x92 " + html_text(*c.after) +
                   "</div>";
        row += "</td>" + cell(flagged ? "checksum changed, version texts unchanged" : "") + "</tr>\n";
        m_rows[2].write(row);
    }
    void end(const DiffCounts& counts) override {
        const unsigned long long values[] = {counts.added, counts.removed, counts.changed};
        m_page.write("<ul class=\"counts\">");
        for (size_t i = 0; i < 3; ++i)
            m_page.write("<li id=\"count-" + std::string(kKinds[i].id) + "\"><b>" + std::to_string(values[i]) + "</b>" +
                         kKinds[i].id + "</li>");
        m_page.write("<li id=\"count-flagged\"><b>" + std::to_string(counts.sameVersionNewChecksum) +
                     "</b>checksum changed, version texts unchanged</li></ul>\n");
        for (size_t i = 0; i < 3; ++i) {
            const std::string id = kKinds[i].id;
            m_page.write("<section id=\"" + id + "\"><h2>" + kKinds[i].title + " (" + std::to_string(values[i]) +
                         ")</h2>\n<input type=\"search\" placeholder=\"Type to filter\" aria-label=\"Filter " + id +
                         "\"> <span class=\"shown\"></span>\n<table><thead><tr>" + kKinds[i].columns +
                         "</tr></thead><tbody>\n");
            m_rows[i].flush();
            m_page.append_file(m_rows[i].temporary_path());
            m_page.write("</tbody></table></section>\n");
        }
        m_page.write(kScript);
        m_page.commit();
    }

private:
    static std::string identity(const char* which, const SesReader& reader) {
        const Identity& id = reader.identity();
        return std::string("<tr><th>") + which + "</th>" + cell(reader.name()) + cell(id.uniqueId) + cell(id.dateGenerated) +
               cell(id.sid) + "</tr>";
    }
    static std::string entry_row(const Entry& e) {
        return "<tr>" + cell(e.path()) + cell(e.description) + cell(e.type) + cell(e.fileVersion) + number_cell(e.size) + number_cell(e.changeTime) +
               cell(e.checksum) + "</tr>\n";
    }
    OutputFile m_page;
    OutputFile m_rows[3];
};

} // namespace

std::unique_ptr<DiffSink> html_report(const std::string& path) { return std::unique_ptr<DiffSink>(new HtmlReport(path)); }

} // namespace passport
