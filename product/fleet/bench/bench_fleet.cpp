// Two rounds of a generated fleet imported into SQLite and PostgreSQL side
// by side: entries per second of each round, bytes per entry after each,
// and the median times of the questions. Passports are generated as the
// importer reads them, never written to disk. Figures only; nothing here
// fails on time.
#include "fleet_store.h"
#include "ses_reader.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <stdexcept>
#include <string>
#include <sys/resource.h>
#include <vector>

namespace {

struct Scale {
    int hosts = 100, groups = 4;
    long long entries = 100000;
    int runs = 5;
    bool keep = false;  // leave the SQLite store behind to look at
    std::string dir = "/tmp";
};

unsigned long long mix(unsigned long long x) {
    x += 0x9E3779B97F4A7C15ULL;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
    return x ^ (x >> 31);
}

std::string hex64(unsigned long long a, unsigned long long b) {
    char text[80];
    unsigned long long v[4] = {mix(a), mix(a ^ b), mix(b + 1), mix(a + 2 * b)};
    std::snprintf(text, sizeof(text), "%016llX%016llX%016llX%016llX", v[0], v[1], v[2], v[3]);
    return text;
}

// A passport of one host and round, made as it is read. 90% of a group's
// files share their content within the group; about 1% of the files are
// changed, added or removed in round 2.
class GeneratedPassport : public passport::ByteSource {
public:
    GeneratedPassport(const Scale& scale, int host, int round) : m_scale(scale), m_host(host), m_round(round) {
        char head[512];
        std::snprintf(head, sizeof(head),
                      "\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n"
                      "<RarudodaVaridide xmlns:dt=\"urn:schemas-microsoft-com:datatypes\">\r\n"
                      "  <UniqueId>%08X-0000-0000-0000-%012X</UniqueId>\r\n"
                      "  <DateGenerated>2026-0%d-01T10:00:00.000Z</DateGenerated>\r\n  <SID>S-1-5-21-%d</SID>\r\n"
                      "  <Computer><NetworkName>WS-%d</NetworkName></Computer>\r\n  <Software>\r\n",
                      host, round, round, host, host);
        m_pending = head;
    }
    size_t read(char* buffer, size_t size) override {
        size_t done = 0;
        while (done < size) {
            if (m_at == m_pending.size()) {
                m_pending.clear();
                m_at = 0;
                if (!refill()) break;
            }
            const size_t take = std::min(size - done, m_pending.size() - m_at);
            std::memcpy(buffer + done, m_pending.data() + m_at, take);
            m_at += take, done += take;
        }
        return done;
    }

private:
    bool refill() {
        if (m_finished) return false;
        // One hundred entries per refill.
        for (int k = 0; k < 100 && m_index < m_scale.entries; ++m_index) {
            const unsigned long long shape = mix(m_index * 1315423911ULL + static_cast<unsigned long long>(m_host));
            const int change = static_cast<int>(shape % 300);  // 1 added, 2 removed, 3 changed in round 2
            if (change == 1 && m_round == 1) continue;
            if (change == 2 && m_round == 2) continue;
            const int group = m_host % m_scale.groups;
            const bool shared = mix(static_cast<unsigned long long>(m_index) * 7 + static_cast<unsigned long long>(group)) % 10 != 0;
            const bool changed = change == 3 && m_round == 2;
            const unsigned long long owner = shared ? 1000000ULL + static_cast<unsigned long long>(group)
                                                    : static_cast<unsigned long long>(m_host);
            append_entry(hex64(owner * 1000003ULL + (changed ? 7 : 0), static_cast<unsigned long long>(m_index)), changed);
            ++k;
        }
        if (m_index >= m_scale.entries) {
            m_pending += "  </Software>\r\n</RarudodaVaridide>\r\n";
            m_finished = true;
        }
        return !m_pending.empty();
    }
    void append_entry(const std::string& checksum, bool changed) {
        char entry[1400];
        std::snprintf(entry, sizeof(entry),
                      "    <SI>\r\n"
                      "      <P dt:dt=\"string\">C:\\Program Files\\Vendor %03lld\\Product\\bin%03lld</P>\r\n"
                      "      <N dt:dt=\"string\">module%07lld.dll</N>\r\n"
                      "      <D dt:dt=\"string\">Vendor %03lld module</D>\r\n"
                      "      <T dt:dt=\"string\">Application extension</T>\r\n"
                      "      <V dt:dt=\"string\">%d.%lld.0.%d</V>\r\n"
                      "      <MN dt:dt=\"string\">Vendor %03lld Ltd.</MN>\r\n"
                      "      <PN dt:dt=\"string\">Product %03lld</PN>\r\n"
                      "      <PV dt:dt=\"string\">%d.%lld</PV>\r\n"
                      "      <S dt:dt=\"i8\">%llu</S>\r\n"
                      "      <CD dt:dt=\"dateTime.tz\">2026-0%d-0%dT08:00:00.000Z</CD>\r\n"
                      "      <CS dt:dt=\"string\">%s</CS>\r\n"
                      "    </SI>\r\n",
                      m_index / 10000, m_index / 100 % 100, m_index, m_index / 10000, changed ? 2 : 1, m_index % 50,
                      changed ? 1 : 0, m_index / 10000, m_index / 10000, changed ? 2 : 1, m_index % 50,
                      4096 + mix(static_cast<unsigned long long>(m_index)) % 1000000, changed ? 2 : 1, changed ? 2 : 1,
                      checksum.c_str());
        m_pending += entry;
    }

    const Scale& m_scale;
    int m_host, m_round;
    long long m_index = 0;
    std::string m_pending;
    size_t m_at = 0;
    bool m_finished = false;
};

class NullReport : public fleet::Report {
public:
    void table(const std::string&, const std::vector<std::string>&) override {}
    void row(const std::vector<fleet::Cell>&) override {}
    void note(const std::string&) override {}
    void finish() override {}
};

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// This process's processor time: the whole import for SQLite, the
// client's share for PostgreSQL. Unlike the wall time it does not grow
// when other work shares the machine.
double cpu_seconds(int who = RUSAGE_SELF) {
    rusage usage{};
    getrusage(who, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

long peak_kib() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

using Figures = std::vector<std::pair<std::string, std::string>>;

std::string fixed(double v, int digits) {
    char text[64];
    std::snprintf(text, sizeof(text), "%.*f", digits, v);
    return text;
}

template <class F> double median_ms(int runs, F f) {
    std::vector<double> times;
    for (int i = 0; i < runs; ++i) {
        const auto start = std::chrono::steady_clock::now();
        f();
        times.push_back(seconds_since(start) * 1000);
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

// What the generator costs alone, and with the reader over it, in CPU
// seconds per entry: both run on the import's reading thread and share
// the machine's cores with the store.
struct FeedCost {
    double generator = 0, reader = 0;
};

FeedCost feed_cost(const Scale& scale) {
    FeedCost cost;
    double start = cpu_seconds();
    {
        GeneratedPassport source(scale, 0, 1);
        std::vector<char> buffer(1 << 16);
        while (source.read(buffer.data(), buffer.size())) {}
    }
    cost.generator = (cpu_seconds() - start) / scale.entries;
    start = cpu_seconds();
    {
        passport::SesReader reader(std::unique_ptr<passport::ByteSource>(new GeneratedPassport(scale, 0, 1)), "generated");
        passport::Entry e;
        while (reader.next(e)) {}
    }
    cost.reader = (cpu_seconds() - start) / scale.entries - cost.generator;
    return cost;
}

Figures run_engine(const std::string& label, const std::string& address, const Scale& scale, const FeedCost& feed) {
    Figures f;
    std::unique_ptr<fleet::FleetStore> store = fleet::FleetStore::create(address);
    unsigned long long imported = 0;
    for (int round = 1; round <= 2; ++round) {
        const auto start = std::chrono::steady_clock::now();
        const double cpuStart = cpu_seconds(), storeStart = cpu_seconds(RUSAGE_THREAD);
        unsigned long long entries = 0;
        long long written = 0;
        for (int host = 0; host < scale.hosts; ++host) {
            passport::SesReader reader(std::unique_ptr<passport::ByteSource>(new GeneratedPassport(scale, host, round)),
                                       "generated");
            fleet::ImportOptions options;
            options.host = "ws-" + std::to_string(host);
            options.group = "group-" + std::to_string(host % scale.groups);
            const fleet::ImportResult r = store->import(reader, options);
            entries += r.entries;
            written += r.opened + r.closed;
        }
        const double s = seconds_since(start), cpu = cpu_seconds() - cpuStart - entries * feed.generator,
                     storeCpu = cpu_seconds(RUSAGE_THREAD) - storeStart;
        imported += entries;
        const long long bytes = store->database().size_in_bytes();
        std::fprintf(stderr, "%s: round %d: %llu entries in %.1f s\n", label.c_str(), round, entries, s);
        f.emplace_back("round " + std::to_string(round) + " entries/s", fixed(entries / s, 0));
        f.emplace_back("round " + std::to_string(round) + " entries per CPU s of vrfleet", fixed(entries / cpu, 0));
        // The store's thread alone: the import's wall-time bound on an idle
        // machine when the reading thread keeps up.
        f.emplace_back("round " + std::to_string(round) + " entries per CPU s of the store's thread", fixed(entries / storeCpu, 0));
        f.emplace_back("round " + std::to_string(round) + " file rows written or closed", std::to_string(written));
        f.emplace_back("bytes per entry after round " + std::to_string(round), fixed(double(bytes) / imported, 1));
        f.emplace_back("store MB after round " + std::to_string(round), fixed(bytes / 1048576.0, 1));
    }
    // The server's statistics, as autovacuum would have them by the time
    // anyone asks; without them the planner takes the new tables for empty.
    if (store->database().engine() == "PostgreSQL") store->database().execute("ANALYZE");
    NullReport report;
    // A checksum the first group's hosts share: entry 1 is shared content.
    std::string checksum;
    {
        passport::SesReader reader(std::unique_ptr<passport::ByteSource>(new GeneratedPassport(scale, 0, 2)), "generated");
        passport::Entry e;
        for (int i = 0; i < 3 && reader.next(e); ++i) checksum = e.checksum;
    }
    long long rows = 0;
    const double hostsWith = median_ms(scale.runs, [&] { rows = store->hosts_with_checksum(checksum, report); });
    f.emplace_back("hosts-with --checksum ms (median)", fixed(hostsWith, 2));
    f.emplace_back("  hosts found", std::to_string(rows));
    const double changes = median_ms(scale.runs, [&] { rows = store->changes("ws-1", "1", report); });
    f.emplace_back("changes of one host ms (median)", fixed(changes, 1));
    f.emplace_back("  changes found", std::to_string(rows));
    store->golden("group-0", "ws-0", 1, report);
    const double deviations = median_ms(scale.runs, [&] { rows = store->deviations("group-0", "", report); });
    f.emplace_back("deviations of a group ms (median)", fixed(deviations, 1));
    f.emplace_back("  deviations found", std::to_string(rows));
    f.emplace_back("peak resident KiB so far", std::to_string(peak_kib()));
    return f;
}

} // namespace

int main(int argc, char** argv) {
    Scale scale;
    for (int i = 1; i < argc; i += 2) {
        const std::string a = argv[i], v = i + 1 < argc ? argv[i + 1] : "";
        if (a == "--keep") scale.keep = true, --i;
        else if (a == "--hosts") scale.hosts = std::atoi(v.c_str());
        else if (a == "--entries") scale.entries = std::atoll(v.c_str());
        else if (a == "--groups") scale.groups = std::atoi(v.c_str());
        else if (a == "--runs") scale.runs = std::atoi(v.c_str());
        else if (a == "--dir") scale.dir = v;
        else {
            std::fprintf(stderr, "usage: bench_fleet [--hosts N] [--entries N] [--groups N] [--runs N] [--dir DIR] [--keep]\n");
            return 2;
        }
    }
    double load[1] = {0};
    std::FILE* loadavg = std::fopen("/proc/loadavg", "r");
    if (loadavg) {
        if (std::fscanf(loadavg, "%lf", &load[0]) != 1) load[0] = 0;
        std::fclose(loadavg);
    }
    std::printf("== vrfleet: %d hosts x %lld entries in %d groups, two rounds (about 1%% changed); load average %.1f\n",
                scale.hosts, scale.entries, scale.groups, load[0]);
    try {
        const std::string file = scale.dir + "/bench.db";
        for (const char* suffix : {"", "-wal", "-shm"}) std::remove((file + suffix).c_str());
        const FeedCost feed = feed_cost(scale);
        std::printf("generator alone: %.0f entries per CPU s; the reader over it: %.0f entries per CPU s "
                    "(taken out of vrfleet's CPU figures: the generator's share only)\n",
                    1 / feed.generator, 1 / feed.reader);
        // FLEET_ENGINES=sqlite or =postgresql runs one engine alone.
        const char* only = std::getenv("FLEET_ENGINES");
        const std::string engineList = only && *only ? only : "sqlite,postgresql";
        std::vector<std::pair<std::string, Figures>> engines;
        if (engineList.find("sqlite") != std::string::npos)
            engines.emplace_back("SQLite", run_engine("SQLite", file, scale, feed));
        const char* pg = std::getenv("VRFLEET_PG_ADDRESS");
        if (pg && engineList.find("postgresql") != std::string::npos)
            engines.emplace_back("PostgreSQL", run_engine("PostgreSQL", pg, scale, feed));
        if (engines.empty()) throw std::runtime_error("FLEET_ENGINES names no engine: sqlite, postgresql or both");
        std::printf("%-44s", "");
        for (const auto& e : engines) std::printf("%14s", e.first.c_str());
        std::printf("\n");
        for (size_t row = 0; row < engines[0].second.size(); ++row) {
            std::printf("%-44s", engines[0].second[row].first.c_str());
            for (const auto& e : engines) std::printf("%14s", e.second[row].second.c_str());
            std::printf("\n");
        }
        if (!scale.keep)
            for (const char* suffix : {"", "-wal", "-shm"}) std::remove((file + suffix).c_str());
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_fleet: %s\n", e.what());
        return 2;
    }
    return 0;
}
