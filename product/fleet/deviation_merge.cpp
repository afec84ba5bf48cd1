// Deviations on the embedded engine: the golden passport is read once and
// each host's open rows are walked against it in key order, a merge of
// two sorted streams. Looking each row up in the golden passport instead
// (the server's join) costs an index descent per file of every host.
#include "fleet_store.h"

#include <algorithm>
#include <cstdint>
#include <tuple>
#include <unordered_map>

namespace fleet {

namespace {

// Details kept while one answer is made, then dropped: bounded by the
// group's contents and folders, not by its hosts.
const size_t kMaxCached = 1000000;

struct GoldenFile {
    long long path, ordinal, content;
};

// A deviation found by the merge, with what the answer shows of it.
struct Found {
    long long path, ordinal, content, golden;  // content 0: the file is gone; golden 0: added
    std::string folder, name;
};

// One answer row, as the server's statements give it (see deviation_rows).
class ListRow : public Row {
public:
    explicit ListRow(std::vector<Value> values) : m_values(std::move(values)) {}
    int columns() const override { return static_cast<int>(m_values.size()); }
    bool null(int column) const override { return m_values[column].null; }
    std::string text(int column) const override {
        const Value& v = m_values[column];
        return v.integer ? std::to_string(v.number) : v.text;
    }
    long long number(int column) const override { return m_values[column].null ? 0 : m_values[column].number; }

private:
    std::vector<Value> m_values;
};

} // namespace

long long FleetStore::deviation_rows_by_merge(long long groupId, long long hostId,
                                              const std::function<void(const Row&)>& each) {
    std::vector<GoldenFile> golden;
    run("golden_files", {Value(groupId)},
        [&](const Row& row) { golden.push_back({row.number(0), row.number(1), row.number(2)}); });
    std::vector<std::pair<long long, std::string>> hosts;
    run("group_hosts", {Value(groupId), Value(hostId)},
        [&](const Row& row) { hosts.push_back({row.number(0), row.text(1)}); });

    std::unordered_map<long long, std::pair<std::string, std::string>> contents;  // checksum, version
    std::unordered_map<long long, std::string> folders;
    // A copy: the next look-up may empty the cache under a reference.
    const auto content = [&](long long id) -> std::pair<std::string, std::string> {
        if (contents.size() > kMaxCached) contents.clear();
        auto found = contents.find(id);
        if (found == contents.end()) {
            std::pair<std::string, std::string> c;
            run("content_detail", {Value(id)}, [&](const Row& row) { c = {row.text(0), row.text(1)}; });
            found = contents.emplace(id, std::move(c)).first;
        }
        return found->second;
    };
    const auto name = [&](Found& f) {
        long long folderId = 0;
        run("path_detail", {Value(f.path)}, [&](const Row& row) { folderId = row.number(0), f.name = row.text(1); });
        if (folders.size() > kMaxCached) folders.clear();
        auto found = folders.find(folderId);
        if (found == folders.end()) {
            std::string folder;
            run("folder_detail", {Value(folderId)}, [&](const Row& row) { folder = row.text(0); });
            found = folders.emplace(folderId, std::move(folder)).first;
        }
        f.folder = found->second;
    };
    const auto by_path = [](const Found& a, const Found& b) {
        return std::tie(a.folder, a.name, a.ordinal) < std::tie(b.folder, b.name, b.ordinal);
    };

    long long n = 0;
    // Added and changed files of every host come first, then the gone ones,
    // kept aside meanwhile as places in the golden passport: four bytes a
    // file even when hosts lost most of their files.
    std::vector<std::vector<uint32_t>> gone(hosts.size());
    for (size_t h = 0; h < hosts.size(); ++h) {
        const long long host = hosts[h].first;
        bool approvals = false;
        run("approval_any", {Value(host), Value(groupId)}, [&](const Row&) { approvals = true; });
        const auto approved = [&](const Found& f) {
            bool yes = false;
            if (approvals)
                run("approval_holds",
                    {Value(host), Value(f.path), Value(f.ordinal), Value(groupId), f.content ? Value(f.content) : Value::none()},
                    [&](const Row&) { yes = true; });
            return yes;
        };
        std::vector<Found> present;
        size_t g = 0;
        const auto golden_before = [&](long long path, long long ordinal) {
            while (g < golden.size() && std::tie(golden[g].path, golden[g].ordinal) < std::tie(path, ordinal)) {
                Found f{golden[g].path, golden[g].ordinal, 0, golden[g].content, {}, {}};
                if (!approved(f)) gone[h].push_back(static_cast<uint32_t>(g));
                ++g;
            }
        };
        std::vector<Found> differing;
        run("host_files", {Value(host)}, [&](const Row& row) {
            const long long path = row.number(0), ordinal = row.number(1), contentId = row.number(2);
            golden_before(path, ordinal);
            long long goldenContent = 0;
            if (g < golden.size() && golden[g].path == path && golden[g].ordinal == ordinal) goldenContent = golden[g++].content;
            if (goldenContent != contentId) differing.push_back({path, ordinal, contentId, goldenContent, {}, {}});
        });
        golden_before(~0ULL >> 1, 0);
        // Looked up once the walk is over: the engine runs one statement at a time here.
        for (Found& f : differing)
            if (!approved(f)) {
                name(f);
                present.push_back(std::move(f));
            }
        std::sort(present.begin(), present.end(), by_path);
        for (const Found& f : present) {
            const auto mine = content(f.content);
            std::vector<Value> row = {hosts[h].second, f.golden ? "changed" : "added", f.folder, f.name, Value(f.ordinal)};
            if (f.golden) {
                const auto theirs = content(f.golden);
                row.insert(row.end(), {theirs.first, mine.first, theirs.second, mine.second});
            } else {
                row.insert(row.end(), {Value::none(), mine.first, Value::none(), mine.second});
            }
            row.insert(row.end(), {Value(host), Value(f.path), Value(f.content)});
            each(ListRow(std::move(row)));
            ++n;
        }
    }
    for (size_t h = 0; h < hosts.size(); ++h) {
        std::vector<Found> removed;
        removed.reserve(gone[h].size());
        for (uint32_t g : gone[h]) {
            removed.push_back({golden[g].path, golden[g].ordinal, 0, golden[g].content, {}, {}});
            name(removed.back());
        }
        std::vector<uint32_t>().swap(gone[h]);
        std::sort(removed.begin(), removed.end(), by_path);
        for (const Found& f : removed) {
            const auto theirs = content(f.golden);
            each(ListRow({hosts[h].second, "removed", f.folder, f.name, Value(f.ordinal), theirs.first, Value::none(),
                          theirs.second, Value::none(), Value(hosts[h].first), Value(f.path), Value::none()}));
            ++n;
        }
    }
    return n;
}

} // namespace fleet
