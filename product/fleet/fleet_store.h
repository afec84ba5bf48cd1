#pragma once
// The fleet's passports in one store: imports and the questions asked of
// them, over either engine.
#include "database.h"
#include "report.h"

#include <functional>
#include <memory>
#include <set>
#include <unordered_set>
#include <string>

namespace passport {
class SesReader;
}

namespace fleet {
class PassportFeed;
}

namespace fleet {

// The schema this build reads and writes: the number of its migrations.
int schema_version();

struct ImportOptions {
    std::string host;
    std::string group;  // empty: the host's group, or "default" for a new host
    bool allowOlder = false;
    // Called now and then with the entries read so far.
    std::function<void(unsigned long long)> progress;
};

struct ImportResult {
    bool alreadyImported = false;
    long long round = 0;  // the host's round number
    unsigned long long entries = 0;
    long long opened = 0;  // rows written: files new or changed
    long long closed = 0;  // rows closed: files changed or gone
};

struct RoundRef {
    long long seq = 0, id = 0;
    std::string generated;
};

class FleetStore {
public:
    // Makes a new store (or completes one), then opens it.
    static std::unique_ptr<FleetStore> create(const std::string& address);
    // Opens a store of this build's schema; any other version is refused.
    explicit FleetStore(const std::string& address);

    ImportResult import(passport::SesReader& reader, const ImportOptions& options);

    // Each writes its answer and returns the number of rows.
    long long hosts_with_checksum(const std::string& checksum, Report& report);
    long long hosts_with_name(const std::string& name, const std::string& version, Report& report);
    // since: a round number, a date (YYYY-MM-DD...), or empty: the host's first round.
    long long changes(const std::string& host, const std::string& since, Report& report);
    long long history(const std::string& host, const std::string& path, Report& report);
    // round 0: the host's last.
    void golden(const std::string& group, const std::string& host, long long round, Report& report);
    long long deviations(const std::string& group, const std::string& host, Report& report);
    // path empty: every deviation of the host.
    long long approve(const std::string& group, const std::string& host, const std::string& path, const std::string& by,
                      const std::string& reason, Report& report);

    Database& database() { return *m_db; }

private:
    FleetStore(std::unique_ptr<Database> db);
    void check_version();
    void key_paths();
    long long run(const char* name, const std::vector<Value>& params, const RowHandler& each = nullptr);
    struct HostRef {
        long long id = 0, groupId = 0;
        std::string group;
    };
    bool find_host(const std::string& name, HostRef& host);
    HostRef host_or_fail(const std::string& name);
    long long group_or_fail(const std::string& name);
    RoundRef round_of(long long hostId, const std::string& since, const std::string& host);
    long long deviation_rows(long long groupId, long long hostId, const std::function<void(const Row&)>& each);
    long long deviation_rows_by_merge(long long groupId, long long hostId, const std::function<void(const Row&)>& each);
    void prepare_scratch();
    void merge_by_load(PassportFeed& feed, long long hostId, long long roundId, const ImportOptions& options,
                       ImportResult& result);
    void merge_by_lookup(PassportFeed& feed, long long hostId, long long roundId, bool newHost,
                         const ImportOptions& options, ImportResult& result);

    std::unique_ptr<Database> m_db;
    std::unordered_set<std::string> m_prepared;
    bool m_scratch = false;
};

// The current UTC time in the documents' form.
std::string now_text();

} // namespace fleet
