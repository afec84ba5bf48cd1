#include "passport_cli.h"

#include "diff_reports.h"
#include "file_access.h"
#include "passport_list.h"
#include "passport_summary.h"
#include "text_escape.h"

#include <exception>
#include <new>

namespace passport {

namespace {

const char kUsage[] =
    "Usage:\n"
    "  vrpassport summary FILE\n"
    "      identity, entries, total size, counts by type, the ten largest files\n"
    "      and the entries without checksum of one software state document\n"
    "  vrpassport diff [--json | --html OUT] OLD NEW\n"
    "      added, removed and changed entries between two documents, each change\n"
    "      field by field; text by default, JSON with --json, one HTML page with --html\n"
    "  vrpassport list [--csv | --json] FILE\n"
    "      every entry of one document as it is read: checksum (- when none), size\n"
    "      and path per line; every field as CSV with a header row, or as JSON\n"
    "  vrpassport --help\n"
    "Exit codes: 0 no change (summary, list: done), 1 changes, 2 trouble (a bad\n"
    "document or argument, a report that could not be written).\n"
    "Documents are read in one pass and never changed.\n";

class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct Options {
    std::string command;
    std::vector<std::string> files;
    bool json = false;
    bool csv = false;
    std::string html;
};

Options parse(const std::vector<std::string>& args) {
    Options o;
    if (args.empty()) throw UsageError("no command given");
    o.command = args[0];
    if (o.command != "summary" && o.command != "diff" && o.command != "list") throw UsageError("unknown command: " + o.command);
    bool options = true;
    for (size_t i = 1; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (!options) {
            o.files.push_back(a);
        } else if (a == "--") {
            options = false;
        } else if ((o.command == "diff" || o.command == "list") && a == "--json") {
            o.json = true;
        } else if (o.command == "list" && a == "--csv") {
            o.csv = true;
        } else if (o.command == "diff" && a == "--html") {
            if (++i == args.size() || args[i].empty()) throw UsageError("--html needs the path of the page to write");
            o.html = args[i];
        } else if (a.size() > 1 && a[0] == '-') {
            throw UsageError("unknown option for " + o.command + ": " + a);
        } else {
            o.files.push_back(a);
        }
    }
    if (o.json && !o.html.empty()) throw UsageError("--json and --html exclude each other");
    if (o.json && o.csv) throw UsageError("--json and --csv exclude each other");
    const size_t needed = o.command == "diff" ? 2 : 1;
    if (o.files.size() < needed) throw UsageError(o.command + " needs " + (needed == 2 ? "OLD and NEW" : "FILE"));
    if (o.files.size() > needed) throw UsageError("unexpected argument: " + o.files[needed]);
    return o;
}

int diff(const Options& o, std::ostream& out) {
    // By identity, not spelling: another spelling, a link or a hard link of
    // a document must not be replaced by the page.
    if (!o.html.empty())
        for (const std::string& file : o.files)
            if (same_file(file, o.html)) throw UsageError("--html " + o.html + " would overwrite a document it reads: " + file);
    SesReader older(o.files[0]);
    SesReader newer(o.files[1]);
    std::unique_ptr<DiffSink> sink = o.json ? json_report(out) : !o.html.empty() ? html_report(o.html) : text_report(out);
    const DiffCounts counts = diff_documents(older, newer, *sink);
    if (!o.html.empty())
        out << "added " << counts.added << ", removed " << counts.removed << ", changed " << counts.changed
            << "; the page is " << o.html << '\n';
    return counts.total() ? kChanges : kNoChange;
}

} // namespace

int run_passport(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h" || args[0] == "/?")) {
        out << kUsage;
        return kNoChange;
    }
    // Messages quote documents and arguments: nothing of theirs reaches
    // the terminal raw.
    try {
        const Options o = parse(args);
        int code = kNoChange;
        if (o.command == "summary") print_summary(o.files[0], out);
        else if (o.command == "list") print_list(o.files[0], o.csv ? ListForm::Csv : o.json ? ListForm::Json : ListForm::Text, out);
        else code = diff(o, out);
        // A report that did not reach its reader is no answer.
        if (!out.flush()) throw DocumentError("the standard output", 0, "cannot be written; the report is incomplete");
        return code;
    } catch (const UsageError& e) {
        err << "vrpassport: " << terminal_text(e.what()) << " (vrpassport --help shows the usage)\n";
    } catch (const DocumentError& e) {
        err << "vrpassport: " << terminal_text(e.what()) << '\n';
    } catch (const std::bad_alloc&) {
        err << "vrpassport: out of memory\n";
    } catch (const std::exception& e) {
        err << "vrpassport: " << terminal_text(e.what()) << '\n';
    }
    err.flush();
    return kTrouble;
}

} // namespace passport
