#include "report.h"

#include "text_escape.h"

namespace fleet {

namespace {

class TextReport : public Report {
public:
    explicit TextReport(std::FILE* out) : m_out(out) {}
    void table(const std::string& name, const std::vector<std::string>& columns) override {
        std::string line;
        for (const std::string& c : columns) line += (line.empty() ? "" : "  ") + c;
        std::fprintf(m_out, "%s== %s\n%s\n", m_tables++ ? "\n" : "", name.c_str(), line.c_str());
    }
    void row(const std::vector<Cell>& cells) override {
        std::string line;
        for (size_t i = 0; i < cells.size(); ++i)
            line += (i ? "  " : "") + (cells[i].null ? std::string("-") : cells[i].text.empty() ? std::string("\"\"")
                                                                                              : passport::plain_text(cells[i].text));
        std::fprintf(m_out, "%s\n", line.c_str());
    }
    void note(const std::string& text) override { std::fprintf(m_out, "%s\n", text.c_str()); }
    void finish() override {}

private:
    std::FILE* m_out;
    int m_tables = 0;
};

class JsonReport : public Report {
public:
    explicit JsonReport(std::FILE* out) : m_out(out) {}
    void table(const std::string& name, const std::vector<std::string>& columns) override {
        close_table();
        std::fprintf(m_out, "%s%s: [", m_tables++ ? ",\n " : "{", passport::json_string(name).c_str());
        m_columns = columns;
        m_rows = 0;
    }
    void row(const std::vector<Cell>& cells) override {
        std::string line = m_rows++ ? ",\n  {" : "\n  {";
        for (size_t i = 0; i < cells.size() && i < m_columns.size(); ++i)
            line += (i ? ", " : "") + passport::json_string(m_columns[i]) + ": " +
                    (cells[i].null ? std::string("null") : passport::json_string(cells[i].text));
        std::fprintf(m_out, "%s}", line.c_str());
    }
    void note(const std::string&) override {}
    void finish() override {
        close_table();
        std::fprintf(m_out, "%s\n", m_tables ? "}" : "{}");
    }

private:
    void close_table() {
        if (m_tables) std::fprintf(m_out, "%s]", m_rows ? "\n " : "");
    }
    std::FILE* m_out;
    std::vector<std::string> m_columns;
    int m_tables = 0;
    long long m_rows = 0;
};

// RFC 4180 quoting, lines ended by LF alone so shell tools take the last
// field as it is; tables one after another, each with its header, with a
// blank line between them.
class CsvReport : public Report {
public:
    explicit CsvReport(std::FILE* out) : m_out(out) {}
    void table(const std::string&, const std::vector<std::string>& columns) override {
        std::string line;
        for (size_t i = 0; i < columns.size(); ++i) line += (i ? "," : "") + passport::csv_cell(columns[i]);
        std::fprintf(m_out, "%s%s\n", m_tables++ ? "\n" : "", line.c_str());
    }
    void row(const std::vector<Cell>& cells) override {
        std::string line;
        for (size_t i = 0; i < cells.size(); ++i) line += (i ? "," : "") + passport::csv_cell(cells[i].text);
        std::fprintf(m_out, "%s\n", line.c_str());
    }
    void note(const std::string&) override {}
    void finish() override {}

private:
    std::FILE* m_out;
    int m_tables = 0;
};

} // namespace

std::unique_ptr<Report> make_report(Report::Format format, std::FILE* out) {
    switch (format) {
    case Report::Json: return std::unique_ptr<Report>(new JsonReport(out));
    case Report::Csv: return std::unique_ptr<Report>(new CsvReport(out));
    default: return std::unique_ptr<Report>(new TextReport(out));
    }
}

} // namespace fleet
