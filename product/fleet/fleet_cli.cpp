#include "fleet_cli.h"

#include "fleet_store.h"
#include "ses_reader.h"
#include "text_escape.h"

#include <cstdio>
#include <exception>
#include <map>
#include <new>

namespace fleet {

namespace {

const char kUsage[] =
    "Usage: vrfleet COMMAND DB ... [--json | --csv]\n"
    "DB is an SQLite file, or a postgresql:// address for a server.\n"
    "  init DB\n"
    "  import DB --host NAME [--group G] [--allow-older] PASSPORT.xml...\n"
    "      one round per passport, each in one transaction; the same passport\n"
    "      twice changes nothing\n"
    "  hosts-with DB (--checksum X | --name FILENAME [--version V])\n"
    "  changes DB HOST [--since ROUND|DATE]     since the host's first round by default\n"
    "  history DB HOST PATH                     every version of one file, and its approvals\n"
    "  golden DB GROUP --from HOST [--round R]  the group's approved passport\n"
    "  deviations DB GROUP [--host H]           added, removed, changed against it, less approvals\n"
    "  approve DB GROUP --host H (--path P | --all) --by WHO --reason TEXT\n"
    "Exit codes: 0 done, 1 deviations or changes found, 2 trouble.\n";

class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct Options {
    std::string command, db;
    std::vector<std::string> positional;
    std::map<std::string, std::string> values;
    std::map<std::string, bool> flags;
    Report::Format format = Report::Text;

    std::string value(const std::string& name) const {
        const auto f = values.find(name);
        return f == values.end() ? std::string() : f->second;
    }
    bool has(const std::string& name) const { return values.count(name) || flags.count(name); }
};

// Options each command takes: with a value, or a flag.
struct CommandForm {
    const char* name;
    unsigned minPositional, maxPositional;  // after DB
    std::vector<std::string> valued, flags;
};

const std::vector<CommandForm>& commands() {
    static const std::vector<CommandForm> table = {
        {"init", 0, 0, {}, {}},
        {"import", 1, ~0u, {"--host", "--group"}, {"--allow-older"}},
        {"hosts-with", 0, 0, {"--checksum", "--name", "--version"}, {}},
        {"changes", 1, 1, {"--since"}, {}},
        {"history", 2, 2, {}, {}},
        {"golden", 1, 1, {"--from", "--round"}, {}},
        {"deviations", 1, 1, {"--host"}, {}},
        {"approve", 1, 1, {"--host", "--path", "--by", "--reason"}, {"--all"}},
    };
    return table;
}

Options parse(const std::vector<std::string>& args) {
    Options o;
    if (args.empty()) throw UsageError("no command given");
    o.command = args[0];
    const CommandForm* form = nullptr;
    for (const CommandForm& c : commands())
        if (o.command == c.name) form = &c;
    if (!form) throw UsageError("unknown command " + passport::terminal_text(o.command));
    bool onlyFiles = false;
    for (size_t i = 1; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (!onlyFiles && a == "--") {
            onlyFiles = true;
        } else if (!onlyFiles && (a == "--json" || a == "--csv")) {
            o.format = a == "--json" ? Report::Json : Report::Csv;
        } else if (!onlyFiles && a.size() > 1 && a[0] == '-') {
            bool known = false;
            for (const std::string& v : form->valued)
                if (a == v) {
                    if (i + 1 >= args.size()) throw UsageError(a + " needs a value");
                    if (o.values.count(a)) throw UsageError(a + " given twice");
                    o.values[a] = args[++i];
                    known = true;
                }
            for (const std::string& f : form->flags)
                if (a == f) o.flags[a] = known = true;
            if (!known) throw UsageError(o.command + " takes no option " + passport::terminal_text(a));
        } else if (o.db.empty()) {
            o.db = a;
        } else {
            o.positional.push_back(a);
        }
    }
    if (o.db.empty()) throw UsageError(o.command + " needs the store (DB)");
    if (o.positional.size() < form->minPositional || o.positional.size() > form->maxPositional)
        throw UsageError("wrong number of arguments for " + o.command);
    return o;
}

void require(const Options& o, const std::string& name) {
    if (o.value(name).empty()) throw UsageError(o.command + " needs " + name);
}

long long number_of(const std::string& option, const std::string& text) {
    if (text.empty() || text.size() > 15 || text.find_first_not_of("0123456789") != std::string::npos)
        throw UsageError(option + " takes a round number");
    return std::stoll(text);
}

int import(const Options& o, Report& report) {
    require(o, "--host");
    FleetStore store(o.db);
    ImportOptions options;
    options.host = o.value("--host");
    options.group = o.value("--group");
    options.allowOlder = o.has("--allow-older");
    report.table("imported", {"passport", "host", "round", "entries", "rows_opened", "rows_closed", "result"});
    // Passports one by one, each its own transaction: one refused stops
    // the run and leaves those before it imported.
    for (const std::string& file : o.positional) {
        options.progress = [&](unsigned long long n) {
            std::fprintf(stderr, "vrfleet: %s: %llu entries read\n", passport::terminal_text(file).c_str(), n);
        };
        passport::SesReader reader(file);
        const ImportResult r = store.import(reader, options);
        if (r.alreadyImported)
            report.note(passport::terminal_text(file) + ": already imported as round " + std::to_string(r.round) +
                        " of host " + passport::terminal_text(options.host) + "; nothing changed");
        else
            report.note(passport::terminal_text(file) + ": round " + std::to_string(r.round) + " of host " +
                        passport::terminal_text(options.host) + ", " + std::to_string(r.entries) + " entries, " +
                        std::to_string(r.opened) + " rows written (new or changed files), " + std::to_string(r.closed) +
                        " rows closed (changed or gone files)");
        report.row({file, options.host, std::to_string(r.round), std::to_string(r.entries), std::to_string(r.opened),
                    std::to_string(r.closed), r.alreadyImported ? "already imported" : "imported"});
    }
    return 0;
}

int dispatch(const Options& o, Report& report) {
    if (o.command == "init") {
        FleetStore::create(o.db);
        // A server address may carry a password: never echoed.
        report.note("the store " + (is_server_address(o.db) ? std::string("on the server") : passport::terminal_text(o.db)) +
                    " is ready (schema version " +
                    std::to_string(schema_version()) + ")");
        return 0;
    }
    if (o.command == "import") return import(o, report);
    if (o.command == "hosts-with") {
        const bool byChecksum = !o.value("--checksum").empty(), byName = !o.value("--name").empty();
        if (byChecksum == byName) throw UsageError("hosts-with needs one of --checksum and --name");
        if (byChecksum && o.has("--version")) throw UsageError("--version goes with --name");
        FleetStore store(o.db);
        if (byChecksum) {
            // The scan service writes checksums in upper case, and a value
            // pasted from elsewhere may carry white space.
            std::string checksum = o.value("--checksum");
            checksum.erase(0, checksum.find_first_not_of(" \t\r\n"));
            checksum.erase(checksum.find_last_not_of(" \t\r\n") + 1);
            for (char& c : checksum)
                if (c >= 'a' && c <= 'f') c = static_cast<char>(c - 'a' + 'A');
            store.hosts_with_checksum(checksum, report);
        } else {
            store.hosts_with_name(o.value("--name"), o.value("--version"), report);
        }
        return 0;
    }
    if (o.command == "changes") {
        FleetStore store(o.db);
        return store.changes(o.positional[0], o.value("--since"), report) ? 1 : 0;
    }
    if (o.command == "history") {
        FleetStore store(o.db);
        store.history(o.positional[0], o.positional[1], report);
        return 0;
    }
    if (o.command == "golden") {
        require(o, "--from");
        FleetStore store(o.db);
        store.golden(o.positional[0], o.value("--from"), o.has("--round") ? number_of("--round", o.value("--round")) : 0,
                     report);
        return 0;
    }
    if (o.command == "deviations") {
        FleetStore store(o.db);
        return store.deviations(o.positional[0], o.value("--host"), report) ? 1 : 0;
    }
    // approve
    require(o, "--host");
    require(o, "--by");
    require(o, "--reason");
    if (o.has("--all") == o.has("--path")) throw UsageError("approve needs one of --path and --all");
    FleetStore store(o.db);
    store.approve(o.positional[0], o.value("--host"), o.value("--path"), o.value("--by"), o.value("--reason"), report);
    return 0;
}

} // namespace

int run_cli(const std::vector<std::string>& args) {
    if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h")) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    try {
        const Options o = parse(args);
        std::unique_ptr<Report> report = make_report(o.format, stdout);
        int rc = 2;
        try {
            rc = dispatch(o, *report);
        } catch (...) {
            report->finish();
            std::fflush(stdout);
            throw;
        }
        report->finish();
        if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
            std::fputs("vrfleet: the answer could not be written out\n", stderr);
            return 2;
        }
        return rc;
    } catch (const UsageError& e) {
        std::fprintf(stderr, "vrfleet: %s\n\n%s", e.what(), kUsage);
    } catch (const passport::DocumentError& e) {
        std::fprintf(stderr, "vrfleet: refused, the store is as it was: %s\n", passport::terminal_text(e.what()).c_str());
    } catch (const StoreError& e) {
        std::fprintf(stderr, "vrfleet: %s\n", passport::terminal_text(e.what()).c_str());
    } catch (const std::bad_alloc&) {
        std::fputs("vrfleet: out of memory\n", stderr);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "vrfleet: %s\n", passport::terminal_text(e.what()).c_str());
    }
    return 2;
}

} // namespace fleet
