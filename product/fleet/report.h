#pragma once
// Answers as text for a person, JSON or CSV for programs. Rows are written
// as they come, so an answer of any length goes out in constant memory.
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace fleet {

struct Cell {
    bool null = false;
    std::string text;
    Cell(const std::string& t) : text(t) {}
    Cell(const char* t) : text(t) {}
    static Cell none() {
        Cell c("");
        c.null = true;
        return c;
    }
};

class Report {
public:
    enum Format { Text, Json, Csv };
    virtual ~Report() = default;
    // One table per answer; history has two.
    virtual void table(const std::string& name, const std::vector<std::string>& columns) = 0;
    virtual void row(const std::vector<Cell>& cells) = 0;
    // A sentence for a person (text only; the programs' formats carry the
    // same in their tables).
    virtual void note(const std::string& text) = 0;
    virtual void finish() = 0;
};

std::unique_ptr<Report> make_report(Report::Format format, std::FILE* out);

} // namespace fleet
