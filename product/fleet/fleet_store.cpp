#include "fleet_store.h"

#include "digest.h"
#include "passport_feed.h"
#include "schema_text.h"
#include "ses_reader.h"
#include "statements.h"

#include <ctime>
#include <map>

namespace fleet {

namespace {

const char kDefaultGroup[] = "default";
const char kMigrationMark[] = "-- migration ";
// Paths keyed at a time when a store of an earlier schema is brought up.
const long long kKeyChunk = 10000;
// Entries between two progress calls of an import.
const unsigned long long kProgressEvery = 1000000;

const char* const kIncomingColumns[] = {"folder", "folder_digest", "name", "name_digest", "folded_digest", "ordinal",
                                        "digest", "checksum", "size", "type", "description", "file_version", "company",
                                        "product", "product_version", "change_time"};

// {{word}} of a schema or statement text put in by the engine.
std::string with_words(const std::string& text, const Database& db) {
    std::string out;
    size_t at = 0;
    for (;;) {
        const size_t open = text.find("{{", at);
        if (open == std::string::npos) break;
        const size_t close = text.find("}}", open);
        out += text.substr(at, open - at) + db.schema_word(text.substr(open + 2, close - open - 2));
        at = close + 2;
    }
    return out + text.substr(at);
}

// The schema's migrations, numbered from 1.
std::vector<std::string> migrations() {
    const std::string text = kSchemaText;
    std::vector<std::string> out;
    size_t at = text.find(kMigrationMark);
    while (at != std::string::npos) {
        const size_t next = text.find(kMigrationMark, at + 1);
        out.push_back(text.substr(at, next == std::string::npos ? std::string::npos : next - at));
        at = next;
    }
    return out;
}

// -1: the store has no schema yet.
int stored_version(Database& db) {
    int version = -1;
    try {
        db.prepare("schema_version_probe", "SELECT value FROM fleet_meta WHERE name = 'schema_version'");
        db.run("schema_version_probe", {}, [&](const Row& row) { version = static_cast<int>(row.number(0)); });
    } catch (const StoreError&) {
        return -1;
    }
    return version < 0 ? 0 : version;
}

std::string path_text(const std::string& folder, const std::string& name, long long ordinal) {
    std::string text = folder + "\\" + name;
    // Names the scan service wrote with U+FFFD may repeat: the n-th of them.
    if (ordinal > 0) text += " (#" + std::to_string(ordinal + 1) + ")";
    return text;
}

Cell cell(const Row& row, int column) { return row.null(column) ? Cell::none() : Cell(row.text(column)); }

bool all_digits(const std::string& text) {
    return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos && text.size() < 18;
}

} // namespace

int schema_version() { return static_cast<int>(migrations().size()); }

std::string now_text() {
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    char text[32];
    std::strftime(text, sizeof(text), "%Y-%m-%dT%H:%M:%S.000Z", &utc);
    return text;
}

FleetStore::FleetStore(std::unique_ptr<Database> db) : m_db(std::move(db)) {}

FleetStore::FleetStore(const std::string& address) : m_db(open_database(address, false)) { check_version(); }

std::unique_ptr<FleetStore> FleetStore::create(const std::string& address) {
    std::unique_ptr<FleetStore> store(new FleetStore(open_database(address, true)));
    Database& db = *store->m_db;
    const int have = stored_version(db), want = schema_version();
    if (have > want)
        throw StoreError("the store has schema version " + std::to_string(have) + ", newer than version " +
                         std::to_string(want) + " of this vrfleet: use a newer vrfleet");
    if (have < want) {
        Transaction tx(db);
        const std::vector<std::string> steps = migrations();
        for (int i = have < 0 ? 0 : have; i < want; ++i) db.execute(with_words(steps[i], db));
        store->key_paths();
        db.execute("DELETE FROM fleet_meta WHERE name = 'schema_version'");
        store->run("schema_version_set", {Value(static_cast<long long>(want))});
        tx.commit();
    }
    return store;
}

// Paths written before they were keyed by digests: keyed now, a chunk at
// a time so memory stays flat however many there are.
void FleetStore::key_paths() {
    for (;;) {
        std::vector<std::pair<long long, std::string>> paths;
        run("paths_unkeyed", {Value(kKeyChunk)}, [&](const Row& row) { paths.push_back({row.number(0), row.text(1)}); });
        for (const auto& p : paths)
            run("path_key_set", {Value(p.first), Value(digest_of({&p.second})), Value(folded_digest(p.second))});
        if (static_cast<long long>(paths.size()) < kKeyChunk) break;
    }
}

void FleetStore::check_version() {
    const int have = stored_version(*m_db), want = schema_version();
    if (have < 0) throw StoreError("not a fleet store (no schema): make one with 'vrfleet init'");
    if (have != want)
        throw StoreError("the store has schema version " + std::to_string(have) + " and this vrfleet reads version " +
                         std::to_string(want) +
                         (have < want ? ": 'vrfleet init' brings the store to this version" : ": use a newer vrfleet"));
}

long long FleetStore::run(const char* name, const std::vector<Value>& params, const RowHandler& each) {
    if (!m_prepared.count(name)) {
        const NamedStatement* s = kStatements;
        while (s->name && std::string(s->name) != name) ++s;
        if (!s->name) throw StoreError(std::string("no statement named ") + name);
        m_db->prepare(name, with_words(s->sql, *m_db));
        m_prepared.insert(name);
    }
    return m_db->run(name, params, each);
}

// The import's scratch tables, private to this connection.
void FleetStore::prepare_scratch() {
    if (m_scratch) return;
    std::string columns;
    for (const char* c : kIncomingColumns)
        columns += std::string(columns.empty() ? "" : ", ") + c + (std::string(c) == "ordinal" ? " INTEGER" : " TEXT");
    m_db->execute("CREATE TEMP TABLE IF NOT EXISTS incoming (" + columns + ")");
    m_db->execute("CREATE TEMP TABLE IF NOT EXISTS resolved (path_id BIGINT NOT NULL, ordinal INTEGER NOT NULL, "
                  "content_id BIGINT NOT NULL, change_time TEXT NOT NULL, PRIMARY KEY (path_id, ordinal))");
    m_scratch = true;
}

bool FleetStore::find_host(const std::string& name, HostRef& host) {
    bool found = false;
    run("host_find", {Value(name)}, [&](const Row& row) {
        host.id = row.number(0), host.groupId = row.number(1), host.group = row.text(2);
        found = true;
    });
    return found;
}

FleetStore::HostRef FleetStore::host_or_fail(const std::string& name) {
    HostRef host;
    if (!find_host(name, host)) throw StoreError("no host named " + std::string(name) + " in the store");
    return host;
}

long long FleetStore::group_or_fail(const std::string& name) {
    long long id = 0;
    run("group_find", {Value(name)}, [&](const Row& row) { id = row.number(0); });
    if (!id) throw StoreError("no group named " + std::string(name) + " in the store");
    return id;
}

ImportResult FleetStore::import(passport::SesReader& reader, const ImportOptions& options) {
    const passport::Identity& identity = reader.identity();
    if (identity.uniqueId.empty())
        throw passport::DocumentError(reader.name(), 0, "the document has no UniqueId, so its round cannot be told apart");
    if (!m_db->in_process()) prepare_scratch();
    ImportResult result;
    Transaction tx(*m_db);

    HostRef host;
    if (!find_host(options.host, host)) {
        const std::string group = options.group.empty() ? kDefaultGroup : options.group;
        long long groupId = 0;
        run("group_find", {Value(group)}, [&](const Row& row) { groupId = row.number(0); });
        if (!groupId) run("group_add", {Value(group)}, [&](const Row& row) { groupId = row.number(0); });
        if (!groupId) run("group_find", {Value(group)}, [&](const Row& row) { groupId = row.number(0); });
        run("host_add", {Value(options.host), Value(groupId)}, [&](const Row& row) { host.id = row.number(0); });
        if (!host.id) find_host(options.host, host);
        else host.groupId = groupId, host.group = group;
    }
    if (!options.group.empty() && options.group != host.group)
        throw StoreError("host " + std::string(options.host) + " is in group " +
                         std::string(host.group) + ", not " + std::string(options.group));
    run("host_lock", {Value(host.id)});

    run("round_same", {Value(host.id), Value(identity.uniqueId)}, [&](const Row& row) {
        result.alreadyImported = true;
        result.round = row.number(0);
    });
    if (result.alreadyImported) return result;  // the transaction rolls back: nothing changed

    RoundRef last;
    run("round_last", {Value(host.id)}, [&](const Row& row) { last.seq = row.number(0), last.generated = row.text(1); });
    if (last.seq && identity.dateGenerated < last.generated && !options.allowOlder)
        throw StoreError(reader.name() + ": generated " + std::string(identity.dateGenerated) +
                         ", before round " + std::to_string(last.seq) + " of host " +
                         std::string(options.host) + " (generated " + last.generated +
                         "): refused; --allow-older imports it as the host's latest round");
    result.round = last.seq + 1;
    long long roundId = 0;
    run("round_add",
        {Value(host.id), Value(result.round), Value(identity.uniqueId), Value(identity.dateGenerated), Value(identity.sid),
         Value(now_text())},
        [&](const Row& row) { roundId = row.number(0); });

    PassportFeed feed(reader);
    if (m_db->in_process())
        merge_by_lookup(feed, host.id, roundId, last.seq == 0, options, result);
    else
        merge_by_load(feed, host.id, roundId, options, result);
    run("round_entries", {Value(roundId), Value(static_cast<long long>(result.entries))});
    tx.commit();
    return result;
}

// The server: every statement is a round trip, so the passport goes over
// in one COPY into a scratch table and is merged by a few set statements.
void FleetStore::merge_by_load(PassportFeed& feed, long long hostId, long long roundId, const ImportOptions& options,
                               ImportResult& result) {
    m_db->clear("incoming");
    m_db->clear("resolved");
    m_db->load_begin("incoming", std::vector<std::string>(std::begin(kIncomingColumns), std::end(kIncomingColumns)));
    std::vector<FeedEntry> batch;
    while (feed.next(batch))
        for (const FeedEntry& f : batch) {
            const passport::Entry& e = f.entry;
            m_db->load_row({&e.folder, &f.folderDigest, &e.name, &f.nameDigest, &f.foldedDigest, &f.ordinal, &f.digest,
                            &e.checksum, &e.size, &e.type, &e.description, &e.fileVersion, &e.company, &e.product,
                            &e.productVersion, &e.changeTime});
            if (++result.entries % kProgressEvery == 0 && options.progress) options.progress(result.entries);
        }
    m_db->load_end();
    m_db->loaded("incoming");
    run("folders_add", {});
    run("paths_add", {});
    run("contents_add", {});
    run("incoming_resolve", {});
    m_db->loaded("resolved");
    result.closed = run("files_close", {Value(hostId), Value(roundId)});
    result.opened = run("files_open", {Value(hostId), Value(roundId)});
}

// The embedded engine: a statement costs no round trip, so each entry is
// looked up against the host's open row for its path as it comes. An
// unchanged file then costs one look-up and no write, and nothing goes
// through a scratch table.
void FleetStore::merge_by_lookup(PassportFeed& feed, long long hostId, long long roundId, bool newHost,
                                 const ImportOptions& options, ImportResult& result) {
    // Paths of open rows the passport still holds, by path id: bounded by
    // the store's paths, not by the passport. Repeated replaced names
    // (ordinal above 0) are few and kept apart.
    std::vector<unsigned long long> seen;
    std::set<std::pair<long long, long long>> seenRepeats;
    const auto mark = [&](long long pathId, long long ordinal) {
        if (ordinal) {
            seenRepeats.insert({pathId, ordinal});
            return;
        }
        const size_t word = static_cast<size_t>(pathId) / 64;
        if (word >= seen.size()) seen.resize(word + 1 + word / 2);
        seen[word] |= 1ULL << (pathId % 64);
    };
    const auto marked = [&](long long pathId, long long ordinal) {
        if (ordinal) return seenRepeats.count({pathId, ordinal}) > 0;
        const size_t word = static_cast<size_t>(pathId) / 64;
        return word < seen.size() && (seen[word] >> (pathId % 64) & 1);
    };

    const Value host(hostId), round(roundId);
    std::string lastFolderDigest;
    long long folderId = 0;
    std::vector<FeedEntry> batch;
    while (feed.next(batch))
        for (const FeedEntry& f : batch) {
            const passport::Entry& e = f.entry;
            if (f.folderDigest != lastFolderDigest) {
                folderId = 0;
                run("folder_find", {Value(f.folderDigest)}, [&](const Row& row) { folderId = row.number(0); });
                if (!folderId)
                    run("folder_add", {Value(f.folderDigest), Value(e.folder)}, [&](const Row& row) { folderId = row.number(0); });
                lastFolderDigest = f.folderDigest;
            }
            const long long ordinal = f.ordinal == "0" ? 0 : std::stoll(f.ordinal);
            long long pathId = 0, openRound = 0;
            bool same = false;
            // A host's first round has no open rows to compare with.
            if (newHost)
                run("path_find", {Value(folderId), Value(f.nameDigest)}, [&](const Row& row) { pathId = row.number(0); });
            else
                run("file_current", {host, Value(folderId), Value(ordinal), Value(f.nameDigest)}, [&](const Row& row) {
                    pathId = row.number(0);
                    if (row.null(1)) return;
                    openRound = row.number(1);
                    same = row.text(3) == f.digest && row.text(4) == e.changeTime;
                });
            if (++result.entries % kProgressEvery == 0 && options.progress) options.progress(result.entries);
            if (!pathId)
                run("path_add", {Value(folderId), Value(e.name), Value(f.nameDigest), Value(f.foldedDigest)}, [&](const Row& row) { pathId = row.number(0); });
            if (openRound) mark(pathId, ordinal);
            if (same) continue;
            long long contentId = 0;
            run("content_find", {Value(f.digest)}, [&](const Row& row) { contentId = row.number(0); });
            if (!contentId)
                run("content_add",
                    {Value(f.digest), Value(e.checksum), Value(static_cast<long long>(e.sizeValue)), Value(e.type),
                     Value(e.description), Value(e.fileVersion), Value(e.company), Value(e.product), Value(e.productVersion)},
                    [&](const Row& row) { contentId = row.number(0); });
            if (openRound) result.closed += run("file_close", {host, Value(pathId), Value(ordinal), Value(openRound), round});
            result.opened += run("file_open", {host, Value(pathId), Value(ordinal), round, Value(contentId), Value(e.changeTime)});
        }
    if (newHost) return;
    // Open rows of earlier rounds the passport no longer holds: the files
    // gone. Collected first, as the rows are being read.
    std::vector<std::pair<std::pair<long long, long long>, long long>> gone;
    run("files_open_before", {host, round}, [&](const Row& row) {
        if (!marked(row.number(0), row.number(1))) gone.push_back({{row.number(0), row.number(1)}, row.number(2)});
    });
    for (const auto& g : gone)
        result.closed += run("file_close", {host, Value(g.first.first), Value(g.first.second), Value(g.second), round});
}

long long FleetStore::hosts_with_checksum(const std::string& checksum, Report& report) {
    report.table("hosts", {"host", "group", "path", "size", "version", "since_round", "generated", "checksum"});
    long long n = 0;
    run("hosts_with_checksum", {Value(checksum)}, [&](const Row& row) {
        report.row({row.text(0), row.text(1), path_text(row.text(2), row.text(3), 0), row.text(4), row.text(5),
                    row.text(6), row.text(7), row.text(8)});
        ++n;
    });
    return n;
}

long long FleetStore::hosts_with_name(const std::string& name, const std::string& version, Report& report) {
    report.table("hosts", {"host", "group", "path", "size", "version", "since_round", "generated", "checksum"});
    long long n = 0;
    run("hosts_with_name", {Value(folded_digest(name)), Value(version)}, [&](const Row& row) {
        report.row({row.text(0), row.text(1), path_text(row.text(2), row.text(3), 0), row.text(4), row.text(5),
                    row.text(6), row.text(7), row.text(8)});
        ++n;
    });
    return n;
}

RoundRef FleetStore::round_of(long long hostId, const std::string& since, const std::string& host) {
    RoundRef round;
    const auto take = [&](const Row& row) { round.seq = row.number(0), round.generated = row.text(1), round.id = row.number(2); };
    if (since.empty()) run("round_first", {Value(hostId)}, take);
    else if (all_digits(since)) {
        run("round_by_seq", {Value(hostId), Value(std::stoll(since))}, take);
        if (!round.id)
            throw StoreError("host " + std::string(host) + " has no round " + std::string(since));
    } else {
        run("round_by_date", {Value(hostId), Value(since)}, take);
    }
    return round;
}

long long FleetStore::changes(const std::string& hostName, const std::string& since, Report& report) {
    const HostRef host = host_or_fail(hostName);
    const RoundRef base = round_of(host.id, since, hostName);
    report.note("host " + std::string(hostName) + ", since " +
                (base.id ? "round " + std::to_string(base.seq) + " (" + base.generated + ")" : std::string("its first passport")));
    report.table("changes", {"change", "path", "round", "generated", "checksum_before", "checksum_after", "version_before",
                             "version_after", "size_before", "size_after", "change_time_before", "change_time_after"});
    long long n = 0;
    run("changes_present", {Value(host.id), Value(base.id)}, [&](const Row& row) {
        const bool added = row.null(5);
        report.row({added ? "added" : "changed", path_text(row.text(0), row.text(1), row.number(2)), row.text(3),
                    row.text(4), cell(row, 5), row.text(6), cell(row, 9), row.text(10), cell(row, 11), row.text(12),
                    cell(row, 7), row.text(8)});
        ++n;
    });
    run("changes_gone", {Value(host.id), Value(base.id)}, [&](const Row& row) {
        report.row({"removed", path_text(row.text(0), row.text(1), row.number(2)), row.text(3), row.text(4), row.text(5),
                    Cell::none(), row.text(6), Cell::none(), row.text(7), Cell::none(), Cell::none(), Cell::none()});
        ++n;
    });
    return n;
}

long long FleetStore::history(const std::string& hostName, const std::string& path, Report& report) {
    const HostRef host = host_or_fail(hostName);
    const size_t slash = path.rfind('\\');
    if (slash == std::string::npos) throw StoreError("the path " + std::string(path) + " has no folder");
    const std::string folder = path.substr(0, slash), name = path.substr(slash + 1);
    const std::string folderDigest = digest_of({&folder}), nameDigest = digest_of({&name});
    long long n = 0;
    report.table("versions", {"path", "from_round", "from_generated", "until_round", "until_generated", "checksum", "size",
                              "version", "change_time"});
    run("history_rows", {Value(host.id), Value(folderDigest), Value(nameDigest)}, [&](const Row& row) {
        report.row({path_text(folder, name, row.number(0)), row.text(1), row.text(2), cell(row, 3), cell(row, 4),
                    row.text(5), row.text(6), row.text(7), row.text(8)});
        ++n;
    });
    report.table("approvals", {"path", "group", "deviation", "approved_checksum", "approved_by", "approved_at", "reason"});
    run("history_approvals", {Value(host.id), Value(folderDigest), Value(nameDigest)}, [&](const Row& row) {
        report.row({path_text(folder, name, row.number(0)), row.text(1), row.text(2), cell(row, 3), row.text(4),
                    row.text(5), row.text(6)});
        ++n;
    });
    return n;
}

void FleetStore::golden(const std::string& group, const std::string& hostName, long long roundSeq, Report& report) {
    const long long groupId = group_or_fail(group);
    const HostRef host = host_or_fail(hostName);
    const RoundRef round = round_of(host.id, roundSeq ? std::to_string(roundSeq) : std::string(), hostName);
    RoundRef last = round;
    if (!roundSeq) run("round_last", {Value(host.id)}, [&](const Row& row) {
            last.seq = row.number(0), last.generated = row.text(1), last.id = row.number(2);
        });
    if (!last.id) throw StoreError("host " + std::string(hostName) + " has no passport yet");
    Transaction tx(*m_db);
    run("golden_clear", {Value(groupId)});
    const long long entries = run("golden_take", {Value(groupId), Value(host.id), Value(last.id)});
    run("golden_mark", {Value(groupId), Value(hostName), Value(last.seq), Value(now_text())});
    tx.commit();
    report.note("the golden passport of group " + std::string(group) + " is now round " +
                std::to_string(last.seq) + " of host " + std::string(hostName) + " (" + last.generated +
                "), " + std::to_string(entries) + " entries");
    report.table("golden", {"group", "host", "round", "generated", "entries"});
    report.row({group, hostName, std::to_string(last.seq), last.generated, std::to_string(entries)});
}

long long FleetStore::deviation_rows(long long groupId, long long hostId, const std::function<void(const Row&)>& each) {
    bool golden = false;
    run("group_golden", {Value(groupId)}, [&](const Row& row) { golden = !row.null(0); });
    if (!golden) throw StoreError("the group has no golden passport yet: set one with 'vrfleet golden DB GROUP --from HOST'");
    if (m_db->in_process()) return deviation_rows_by_merge(groupId, hostId, each);
    long long n = 0;
    const auto counted = [&](const Row& row) {
        each(row);
        ++n;
    };
    run("deviations_present", {Value(groupId), Value(hostId)}, counted);
    run("deviations_absent", {Value(groupId), Value(hostId)}, counted);
    return n;
}

long long FleetStore::deviations(const std::string& group, const std::string& hostName, Report& report) {
    const long long groupId = group_or_fail(group);
    long long hostId = 0;
    if (!hostName.empty()) {
        const HostRef host = host_or_fail(hostName);
        if (host.groupId != groupId)
            throw StoreError("host " + std::string(hostName) + " is in group " +
                             std::string(host.group) + ", not " + std::string(group));
        hostId = host.id;
    }
    report.table("deviations", {"host", "deviation", "path", "golden_checksum", "host_checksum", "golden_version",
                                "host_version"});
    Transaction view(*m_db, Transaction::Read);
    return deviation_rows(groupId, hostId, [&](const Row& row) {
        report.row({row.text(0), row.text(1), path_text(row.text(2), row.text(3), row.number(4)), cell(row, 5),
                    cell(row, 6), cell(row, 7), cell(row, 8)});
    });
}

long long FleetStore::approve(const std::string& group, const std::string& hostName, const std::string& path,
                              const std::string& by, const std::string& reason, Report& report) {
    const long long groupId = group_or_fail(group);
    const HostRef host = host_or_fail(hostName);
    if (host.groupId != groupId)
        throw StoreError("host " + std::string(hostName) + " is in group " +
                         std::string(host.group) + ", not " + std::string(group));
    struct Pick {
        std::string kind, path;
        long long pathId, ordinal, contentId;
        bool absent;
    };
    // Collected first: the engine answers one statement at a time.
    std::vector<Pick> picks;
    Transaction tx(*m_db);
    deviation_rows(groupId, host.id, [&](const Row& row) {
        const std::string shown = path_text(row.text(2), row.text(3), row.number(4));
        if (!path.empty() && row.text(2) + "\\" + row.text(3) != path && shown != path) return;
        picks.push_back(Pick{row.text(1), shown, row.number(10), row.number(4), row.number(11), row.null(11)});
    });
    if (picks.empty())
        throw StoreError("host " + std::string(hostName) + " has no deviation" +
                         (path.empty() ? std::string() : " at " + std::string(path)) + " to approve");
    const std::string at = now_text();
    report.table("approved", {"host", "deviation", "path", "approved_by", "approved_at", "reason"});
    for (const Pick& p : picks) {
        run("approval_add", {Value(groupId), Value(host.id), Value(p.pathId), Value(p.ordinal),
                             p.absent ? Value::none() : Value(p.contentId), Value(p.kind), Value(by), Value(at), Value(reason)});
        report.row({hostName, p.kind, p.path, by, at, reason});
    }
    tx.commit();
    return static_cast<long long>(picks.size());
}

} // namespace fleet
