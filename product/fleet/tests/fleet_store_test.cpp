// vrfleet driven as an officer drives it, against each engine: SQLite in a
// temporary file, PostgreSQL in a throwaway cluster (with_postgres.sh).
// The store is read back through the same engine layer to check what the
// tool wrote, and what it must not have.
#include "database.h"
#include "ses_text.h"

#include <gtest/gtest.h>
#include <libpq-fe.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using sestest::Item;

struct Outcome {
    int rc = -1;
    std::string out, err;
};

std::string shell_quoted(const std::string& arg) {
    std::string q = "'";
    for (char c : arg) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void write_file(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

const char* const kTables[] = {"fleet_meta", "host_group", "host", "round", "folder", "path",
                               "content", "host_file", "golden", "approval"};

enum class Engine { Sqlite, Postgres };

class FleetTest : public ::testing::TestWithParam<Engine> {
protected:
    void SetUp() override {
        char dir[] = "/tmp/vrfleet-test.XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        m_dir = dir;
        if (GetParam() == Engine::Sqlite) {
            m_db = m_dir + "/fleet.db";
        } else {
            const char* server = std::getenv("VRFLEET_PG_ADDRESS");
            if (!server) GTEST_SKIP() << "no PostgreSQL cluster: run through with_postgres.sh";
            static int serial = 0;
            const std::string name = "fleet_test_" + std::to_string(getpid()) + "_" + std::to_string(++serial);
            PGconn* conn = PQconnectdb(server);
            ASSERT_EQ(PQstatus(conn), CONNECTION_OK) << PQerrorMessage(conn);
            PGresult* r = PQexec(conn, ("CREATE DATABASE " + name).c_str());
            ASSERT_EQ(PQresultStatus(r), PGRES_COMMAND_OK) << PQerrorMessage(conn);
            PQclear(r);
            PQfinish(conn);
            std::string address = server;
            address.replace(address.find("/postgres?"), 10, "/" + name + "?");
            m_db = address;
        }
        ASSERT_EQ(vrfleet({"init", m_db}).rc, 0);
    }
    void TearDown() override {
        if (!m_dir.empty()) std::system(("rm -rf " + shell_quoted(m_dir)).c_str());
    }

    Outcome vrfleet(const std::vector<std::string>& args) {
        std::string command = shell_quoted(VRFLEET_EXE);
        for (const std::string& a : args) command += " " + shell_quoted(a);
        const std::string err = m_dir + "/stderr";
        command += " 2>" + shell_quoted(err);
        Outcome o;
        FILE* pipe = popen(command.c_str(), "r");
        char buffer[4096];
        size_t n;
        while ((n = fread(buffer, 1, sizeof(buffer), pipe)) > 0) o.out.append(buffer, n);
        const int status = pclose(pipe);
        o.rc = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        o.err = read_file(err);
        return o;
    }

    std::string passport(const std::string& name, const std::vector<Item>& items, const std::string& uniqueId,
                         const std::string& date) {
        const std::string path = m_dir + "/" + name;
        write_file(path, sestest::document(items, uniqueId, date));
        return path;
    }

    Outcome import(const std::string& host, const std::string& group, const std::string& file) {
        return vrfleet({"import", m_db, "--host", host, "--group", group, "--csv", file});
    }

    // Every row of every table, as the engine gives them back.
    std::map<std::string, std::multiset<std::string>> rows() {
        std::unique_ptr<fleet::Database> db = fleet::open_database(m_db, false);
        std::map<std::string, std::multiset<std::string>> all;
        for (const char* table : kTables) {
            db->prepare(std::string("dump_") + table, std::string("SELECT * FROM ") + table);
            db->run(std::string("dump_") + table, {}, [&](const fleet::Row& row) {
                std::string line;
                for (int c = 0; c < row.columns(); ++c) line += (row.null(c) ? std::string("NULL") : row.text(c)) + "|";
                all[table].insert(line);
            });
        }
        return all;
    }
    size_t count(const std::string& table) { return rows()[table].size(); }

    // What a refused import must leave: the SQLite file byte for byte,
    // the server's tables row for row.
    std::string snapshot() {
        if (GetParam() == Engine::Sqlite) return read_file(m_db);
        std::string text;
        for (const auto& table : rows())
            for (const std::string& row : table.second) text += table.first + ":" + row + "\n";
        return text;
    }

    std::string m_dir, m_db;
};

std::vector<Item> base_items() {
    std::vector<Item> items;
    for (const char* path : {"C:\\Apps\\a.exe", "C:\\Apps\\b.dll", "C:\\Apps\\c.exe", "C:\\Data\\notes, \"draft\".txt"}) {
        Item i;
        i.path = path;
        items.push_back(i);
    }
    items[0].checksum = std::string(64, 'A');
    items[3].checksum = std::string(64, 'F');
    items[1].checksum = std::string(64, 'B');
    items[2].checksum = std::string(64, 'C');
    return items;
}

bool has_line(const std::string& text, const std::string& line) {
    return ("\n" + text).find("\n" + line + "\r\n") != std::string::npos ||
           ("\n" + text).find("\n" + line + "\n") != std::string::npos;
}

// Two rounds of one host and one of another: what each question answers,
// and what a round costs in rows.
TEST_P(FleetTest, RoundsChangesAndLookupsAcrossHosts) {
    std::vector<Item> first = base_items();
    const std::string r1 = passport("r1.xml", first, "11111111-0000-0000-0000-000000000001", "2026-05-01T10:00:00.000Z");
    ASSERT_EQ(import("ws-1", "office", r1).rc, 0);
    ASSERT_EQ(import("ws-2", "office", r1).rc, 0);
    EXPECT_EQ(count("host_file"), 8u);
    EXPECT_EQ(count("content"), 4u) << "equal contents on two hosts are kept once";
    EXPECT_EQ(count("path"), 4u);

    // The same files in a new round: no file row written or closed.
    const std::string same = passport("same.xml", first, "11111111-0000-0000-0000-000000000002", "2026-05-02T10:00:00.000Z");
    const Outcome unchanged = import("ws-1", "office", same);
    ASSERT_EQ(unchanged.rc, 0) << unchanged.err;
    EXPECT_TRUE(has_line(unchanged.out, same + ",ws-1,2,4,0,0,imported")) << unchanged.out;
    EXPECT_EQ(count("host_file"), 8u);
    EXPECT_EQ(count("round"), 3u);

    // Round 3: b.dll patched, c.exe gone, d.exe new.
    std::vector<Item> third = first;
    third[1].checksum = std::string(64, 'E');
    third[1].fileVersion = "1.2.3.5";
    third.erase(third.begin() + 2);
    Item d;
    d.path = "C:\\Apps\\d.exe";
    d.checksum = std::string(64, 'D');
    third.insert(third.begin() + 2, d);
    const std::string r3 = passport("r3.xml", third, "11111111-0000-0000-0000-000000000003", "2026-05-03T10:00:00.000Z");
    const Outcome imported = import("ws-1", "office", r3);
    ASSERT_EQ(imported.rc, 0) << imported.err;
    EXPECT_TRUE(has_line(imported.out, r3 + ",ws-1,3,4,2,2,imported")) << imported.out;

    // The same passport again: said so, nothing changed.
    const std::string before = snapshot();
    const Outcome again = vrfleet({"import", m_db, "--host", "ws-1", r3});
    EXPECT_EQ(again.rc, 0);
    EXPECT_NE(again.out.find("already imported as round 3"), std::string::npos) << again.out;
    EXPECT_TRUE(snapshot() == before) << "the store changed";

    const Outcome changes = vrfleet({"changes", m_db, "ws-1", "--csv"});
    EXPECT_EQ(changes.rc, 1) << changes.err;
    EXPECT_TRUE(has_line(changes.out, "changed,C:\\Apps\\b.dll,3,2026-05-03T10:00:00.000Z," + std::string(64, 'B') + "," +
                                          std::string(64, 'E') + ",1.2.3.4,1.2.3.5,1024,1024,2026-05-01T10:00:00.000Z,"
                                                                 "2026-05-01T10:00:00.000Z"))
        << changes.out;
    EXPECT_TRUE(has_line(changes.out, "added,C:\\Apps\\d.exe,3,2026-05-03T10:00:00.000Z,," + std::string(64, 'D') +
                                          ",,1.2.3.4,,1024,,2026-05-01T10:00:00.000Z"))
        << changes.out;
    EXPECT_TRUE(has_line(changes.out, "removed,C:\\Apps\\c.exe,3,2026-05-03T10:00:00.000Z," + std::string(64, 'C') +
                                          ",,1.2.3.4,,1024,,,"))
        << changes.out;
    EXPECT_EQ(std::count(changes.out.begin(), changes.out.end(), '\n'), 4) << changes.out;
    // Since round 2 the same three; since round 3, and on the other host, none.
    EXPECT_EQ(vrfleet({"changes", m_db, "ws-1", "--since", "2", "--csv"}).out, changes.out);
    EXPECT_EQ(vrfleet({"changes", m_db, "ws-1", "--since", "3"}).rc, 0);
    EXPECT_EQ(vrfleet({"changes", m_db, "ws-1", "--since", "2026-05-02T12:00:00.000Z", "--csv"}).out, changes.out);
    EXPECT_EQ(vrfleet({"changes", m_db, "ws-2"}).rc, 0);
    EXPECT_EQ(vrfleet({"changes", m_db, "ws-1", "--since", "9"}).rc, 2);

    // Who holds the old b.dll now, and who holds b.dll at all.
    const Outcome byChecksum = vrfleet({"hosts-with", m_db, "--checksum", std::string(64, 'b'), "--csv"});
    EXPECT_EQ(byChecksum.rc, 0);
    EXPECT_NE(byChecksum.out.find("\nws-2,office,C:\\Apps\\b.dll,1024,1.2.3.4,1,"), std::string::npos) << byChecksum.out;
    EXPECT_EQ(byChecksum.out.find("ws-1"), std::string::npos) << byChecksum.out;
    const Outcome byName = vrfleet({"hosts-with", m_db, "--name", "b.dll", "--json"});
    EXPECT_NE(byName.out.find("\"host\": \"ws-1\""), std::string::npos) << byName.out;
    EXPECT_NE(byName.out.find("\"host\": \"ws-2\""), std::string::npos) << byName.out;
    const Outcome byVersion = vrfleet({"hosts-with", m_db, "--name", "b.dll", "--version", "1.2.3.5", "--csv"});
    EXPECT_NE(byVersion.out.find("\nws-1,"), std::string::npos) << byVersion.out;
    EXPECT_EQ(byVersion.out.find("ws-2"), std::string::npos) << byVersion.out;
    // A value with a comma and quotes goes out as one CSV field.
    const Outcome notes = vrfleet({"hosts-with", m_db, "--name", "notes, \"draft\".txt", "--csv"});
    EXPECT_NE(notes.out.find("\nws-1,office,\"C:\\Data\\notes, \"\"draft\"\".txt\",1024,"), std::string::npos) << notes.out;

    const Outcome history = vrfleet({"history", m_db, "ws-1", "C:\\Apps\\b.dll", "--csv"});
    EXPECT_EQ(history.rc, 0);
    EXPECT_TRUE(has_line(history.out, "C:\\Apps\\b.dll,1,2026-05-01T10:00:00.000Z,3,2026-05-03T10:00:00.000Z," +
                                          std::string(64, 'B') + ",1024,1.2.3.4,2026-05-01T10:00:00.000Z"))
        << history.out;
    EXPECT_TRUE(has_line(history.out, "C:\\Apps\\b.dll,3,2026-05-03T10:00:00.000Z,,," + std::string(64, 'E') +
                                          ",1024,1.2.3.5,2026-05-01T10:00:00.000Z"))
        << history.out;
}

// A passport refused anywhere, even after many entries were loaded,
// leaves the store exactly as it was, and says where and why.
TEST_P(FleetTest, RefusedPassportLeavesTheStoreAsItWas) {
    std::vector<Item> items;
    for (int i = 0; i < 3000; ++i) {
        Item it;
        char path[64];
        std::snprintf(path, sizeof(path), "C:\\Big\\file%05d.bin", i);
        it.path = path;
        char checksum[72];
        std::snprintf(checksum, sizeof(checksum), "%064d", i);
        it.checksum = checksum;
        items.push_back(it);
    }
    ASSERT_EQ(import("ws-1", "office", passport("ok.xml", items, "22222222-0000-0000-0000-000000000001",
                                                "2026-05-01T10:00:00.000Z")).rc, 0);
    const std::string before = snapshot();

    // Out of order near the end: entries 0..2899 were already loaded.
    std::vector<Item> disorder = items;
    disorder[2900].path = "C:\\Big\\file00000.bin";
    disorder[2900].checksum = std::string(64, 'F');
    const std::string late = passport("disorder.xml", disorder, "22222222-0000-0000-0000-000000000002",
                                      "2026-05-02T10:00:00.000Z");
    Outcome o = import("ws-1", "office", late);
    EXPECT_EQ(o.rc, 2);
    EXPECT_NE(o.err.find(":" + std::to_string(sestest::entry_line(2900)) + ":"), std::string::npos) << o.err;
    EXPECT_NE(o.err.find("not in the order"), std::string::npos) << o.err;
    EXPECT_TRUE(snapshot() == before) << "the store changed";

    // Cut short in the middle of an entry, and for a host not yet known.
    std::string document = sestest::document(items, "22222222-0000-0000-0000-000000000003", "2026-05-02T10:00:00.000Z");
    document.resize(document.size() * 3 / 4);
    write_file(m_dir + "/cut.xml", document);
    o = import("ws-9", "lab", m_dir + "/cut.xml");
    EXPECT_EQ(o.rc, 2);
    EXPECT_NE(o.err.find("cut.xml:"), std::string::npos) << o.err;
    EXPECT_TRUE(snapshot() == before) << "the store changed";

    // A size no file can have, which one engine would refuse and the
    // other clamp: refused with its line on both.
    std::vector<Item> huge = items;
    huge[10].size = "18446744073709551615";
    o = import("ws-1", "office", passport("huge.xml", huge, "22222222-0000-0000-0000-000000000006",
                                          "2026-05-02T10:00:00.000Z"));
    EXPECT_EQ(o.rc, 2);
    EXPECT_NE(o.err.find(":" + std::to_string(sestest::entry_line(10)) + ": the size"), std::string::npos) << o.err;
    EXPECT_TRUE(snapshot() == before) << "the store changed";

    // Not XML at all.
    write_file(m_dir + "/junk.xml", "<RarudodaVaridide><UniqueId>x</UniqueId><Software><SI><P>a</P></SI");
    EXPECT_EQ(import("ws-1", "office", m_dir + "/junk.xml").rc, 2);
    EXPECT_TRUE(snapshot() == before) << "the store changed";

    // Older than the host's last round: refused unless asked for.
    const std::string older = passport("older.xml", items, "22222222-0000-0000-0000-000000000004", "2026-04-01T10:00:00.000Z");
    o = import("ws-1", "office", older);
    EXPECT_EQ(o.rc, 2);
    EXPECT_NE(o.err.find("--allow-older"), std::string::npos) << o.err;
    EXPECT_TRUE(snapshot() == before) << "the store changed";
    EXPECT_EQ(vrfleet({"import", m_db, "--host", "ws-1", "--allow-older", older}).rc, 0);
    EXPECT_EQ(count("round"), 2u);

    // A host stays in its group.
    const std::string next = passport("next.xml", items, "22222222-0000-0000-0000-000000000005", "2026-06-01T10:00:00.000Z");
    o = import("ws-1", "lab", next);
    EXPECT_EQ(o.rc, 2);
    EXPECT_NE(o.err.find("is in group office"), std::string::npos) << o.err;
}

// Names the scan service wrote with U+FFFD may repeat and stand out of
// order: kept apart, paired by name in the order they come.
TEST_P(FleetTest, RepeatedReplacedNamesAreKeptApart) {
    const std::string fffd = "\xEF\xBF\xBD";
    // b.txt between the two: out of order, as the service may write them.
    std::vector<Item> items(4);
    items[0].path = "C:\\Odd\\a.txt";
    items[1].path = "C:\\Odd\\" + fffd + ".txt";
    items[1].checksum = std::string(64, '1');
    items[2].path = "C:\\Odd\\b.txt";
    items[3].path = "C:\\Odd\\" + fffd + ".txt";
    items[3].checksum = std::string(64, '2');
    const std::string r1 = passport("odd1.xml", items, "33333333-0000-0000-0000-000000000001", "2026-05-01T10:00:00.000Z");
    const Outcome first = import("ws-1", "office", r1);
    ASSERT_EQ(first.rc, 0) << first.err;
    EXPECT_EQ(count("host_file"), 4u);

    // Again in a new round: nothing written; then the second of the two changed.
    EXPECT_TRUE(has_line(import("ws-1", "office", passport("odd2.xml", items, "33333333-0000-0000-0000-000000000002",
                                                           "2026-05-02T10:00:00.000Z")).out,
                         m_dir + "/odd2.xml,ws-1,2,4,0,0,imported"));
    items[3].checksum = std::string(64, '3');
    const std::string r3 = passport("odd3.xml", items, "33333333-0000-0000-0000-000000000003", "2026-05-03T10:00:00.000Z");
    EXPECT_TRUE(has_line(import("ws-1", "office", r3).out, r3 + ",ws-1,3,4,1,1,imported"));
    const Outcome changes = vrfleet({"changes", m_db, "ws-1", "--csv"});
    EXPECT_EQ(changes.rc, 1);
    EXPECT_NE(changes.out.find("\nchanged,C:\\Odd\\" + fffd + ".txt (#2),3,"), std::string::npos) << changes.out;
    EXPECT_EQ(std::count(changes.out.begin(), changes.out.end(), '\n'), 2) << changes.out;
}

// The group's golden passport, what deviates from it, and approvals that
// take a deviation off the list for as long as the host keeps it.
TEST_P(FleetTest, DeviationsAgainstTheGoldenPassportAndApprovals) {
    const std::vector<Item> golden = base_items();
    ASSERT_EQ(import("ref", "office", passport("ref.xml", golden, "44444444-0000-0000-0000-000000000001",
                                                "2026-05-01T10:00:00.000Z")).rc, 0);
    std::vector<Item> drifted = golden;
    drifted[0].checksum = std::string(64, '9');  // a.exe changed
    drifted.erase(drifted.begin() + 1);          // b.dll removed
    Item extra;
    extra.path = "C:\\Apps\\tool.exe";
    drifted.insert(drifted.begin() + 2, extra);  // tool.exe added
    ASSERT_EQ(import("ws-1", "office", passport("ws1.xml", drifted, "44444444-0000-0000-0000-000000000002",
                                                 "2026-05-02T10:00:00.000Z")).rc, 0);
    ASSERT_EQ(import("ws-2", "office", passport("ws2.xml", golden, "44444444-0000-0000-0000-000000000003",
                                                 "2026-05-02T10:00:00.000Z")).rc, 0);

    EXPECT_EQ(vrfleet({"deviations", m_db, "office"}).rc, 2) << "no golden passport yet";
    EXPECT_EQ(vrfleet({"golden", m_db, "office", "--from", "ref"}).rc, 0);
    Outcome d = vrfleet({"deviations", m_db, "office", "--csv"});
    EXPECT_EQ(d.rc, 1);
    EXPECT_TRUE(has_line(d.out, "ws-1,changed,C:\\Apps\\a.exe," + golden[0].checksum + "," + std::string(64, '9') +
                                    ",1.2.3.4,1.2.3.4"))
        << d.out;
    EXPECT_TRUE(has_line(d.out, "ws-1,added,C:\\Apps\\tool.exe,," + extra.checksum + ",,1.2.3.4")) << d.out;
    EXPECT_TRUE(has_line(d.out, "ws-1,removed,C:\\Apps\\b.dll," + golden[1].checksum + ",,1.2.3.4,")) << d.out;
    EXPECT_EQ(std::count(d.out.begin(), d.out.end(), '\n'), 4) << d.out;
    EXPECT_EQ(vrfleet({"deviations", m_db, "office", "--host", "ws-2"}).rc, 0);

    EXPECT_EQ(vrfleet({"approve", m_db, "office", "--host", "ws-1", "--path", "C:\\Apps\\nothing.exe", "--by", "x",
                       "--reason", "y"}).rc, 2);
    const Outcome approved = vrfleet({"approve", m_db, "office", "--host", "ws-1", "--path", "C:\\Apps\\tool.exe", "--by",
                                      "I. Petrova", "--reason", "ticket 4711"});
    ASSERT_EQ(approved.rc, 0) << approved.err;
    d = vrfleet({"deviations", m_db, "office", "--csv"});
    EXPECT_EQ(d.out.find("tool.exe"), std::string::npos) << d.out;
    EXPECT_EQ(std::count(d.out.begin(), d.out.end(), '\n'), 3) << d.out;
    const Outcome history = vrfleet({"history", m_db, "ws-1", "C:\\Apps\\tool.exe", "--json"});
    EXPECT_NE(history.out.find("\"approved_by\": \"I. Petrova\""), std::string::npos) << history.out;
    EXPECT_NE(history.out.find("\"reason\": \"ticket 4711\""), std::string::npos) << history.out;
    EXPECT_NE(history.out.find("\"deviation\": \"added\""), std::string::npos) << history.out;

    // The approved file changes again: the approval no longer covers it.
    std::vector<Item> later = drifted;
    later[2].checksum = std::string(64, '7');
    ASSERT_EQ(import("ws-1", "office", passport("ws1b.xml", later, "44444444-0000-0000-0000-000000000004",
                                                 "2026-05-03T10:00:00.000Z")).rc, 0);
    d = vrfleet({"deviations", m_db, "office", "--host", "ws-1", "--csv"});
    EXPECT_TRUE(has_line(d.out, "ws-1,added,C:\\Apps\\tool.exe,," + std::string(64, '7') + ",,1.2.3.4")) << d.out;

    // Everything else approved, removal included: nothing left.
    EXPECT_EQ(vrfleet({"approve", m_db, "office", "--host", "ws-1", "--all", "--by", "I. Petrova", "--reason", "rollout"}).rc, 0);
    d = vrfleet({"deviations", m_db, "office"});
    EXPECT_EQ(d.rc, 0) << d.out;

    // A new golden passport taken from an earlier round of another host.
    EXPECT_EQ(vrfleet({"golden", m_db, "office", "--from", "ws-1", "--round", "1"}).rc, 0);
    d = vrfleet({"deviations", m_db, "office", "--host", "ws-2", "--csv"});
    EXPECT_EQ(d.rc, 1);
    EXPECT_TRUE(has_line(d.out, "ws-2,added,C:\\Apps\\b.dll,," + golden[1].checksum + ",,1.2.3.4")) << d.out;
}

// A store of another schema version is refused with both versions named;
// arguments that make no sense are trouble, not an empty answer.
// Version texts come from the files themselves and approvals from whoever
// approves: a spreadsheet opening the CSV must see them as text, never as
// formulas.
TEST_P(FleetTest, CsvValuesASpreadsheetWouldRunStayText) {
    std::vector<Item> items = base_items();
    items[1].fileVersion = "=HYPERLINK(\"http://x\",\"1.0\")";
    items[2].fileVersion = "@SUM(1)";
    ASSERT_EQ(import("ws-1", "office", passport("f1.xml", items, "33333333-0000-0000-0000-000000000001",
                                                "2026-05-01T10:00:00.000Z")).rc, 0);
    Outcome o = vrfleet({"hosts-with", m_db, "--name", "b.dll", "--csv"});
    EXPECT_EQ(o.rc, 0) << o.err;
    EXPECT_NE(o.out.find(",\"'=HYPERLINK(\"\"http://x\"\",\"\"1.0\"\")\","), std::string::npos) << o.out;
    o = vrfleet({"history", m_db, "ws-1", "C:\\Apps\\c.exe", "--csv"});
    EXPECT_NE(o.out.find(",'@SUM(1),"), std::string::npos) << o.out;

    ASSERT_EQ(vrfleet({"golden", m_db, "office", "--from", "ws-1"}).rc, 0);
    items[0].checksum = std::string(64, '9');
    ASSERT_EQ(import("ws-1", "office", passport("f2.xml", items, "33333333-0000-0000-0000-000000000002",
                                                "2026-05-02T10:00:00.000Z")).rc, 0);
    o = vrfleet({"approve", m_db, "office", "--host", "ws-1", "--all", "--by", "+alice", "--reason", "-2+3", "--csv"});
    EXPECT_EQ(o.rc, 0) << o.err;
    EXPECT_NE(o.out.find(",'+alice,"), std::string::npos) << o.out;
    EXPECT_NE(o.out.find(",'-2+3\n"), std::string::npos) << o.out;
}

// A name that cannot be squeezed: letters of two scripts in no pattern.
std::string incompressible_name(size_t characters) {
    static const char* const letters[] = {"a", "Q", "7", "z", "K", "\xD0\x96", "\xD1\x8F", "\xD0\x81", "\xD1\x91", "m", "_",
                                          "\xD0\xAF", "\xD0\xB6", "B", "3", "x"};
    std::string name;
    unsigned long long state = 88172645463325252ULL;
    for (size_t i = 0; i < characters; ++i) {
        state ^= state << 13, state ^= state >> 7, state ^= state << 17;
        name += letters[state % 16];
    }
    return name + ".bin";
}

// File names are found as Windows compares them, whatever their case, and
// a name as long as a Windows path may be is kept and found like any other.
TEST_P(FleetTest, FileNamesMatchAsWindowsComparesThemAndMayBeLong) {
    const std::string longName = incompressible_name(9000);
    std::vector<Item> items(3);
    items[0].path = "C:\\Apps\\Notepad.EXE";
    items[1].path = "C:\\Docs\\\xD0\x9E\xD1\x82\xD1\x87\xD1\x91\xD1\x82.DOCX";  // "Отчёт.DOCX"
    items[2].path = "C:\\Long\\" + longName;
    items[2].checksum = std::string(64, 'D');
    Outcome o = import("ws-1", "office", passport("one.xml", items, "44444444-0000-0000-0000-000000000001",
                                                   "2026-05-01T10:00:00.000Z"));
    ASSERT_EQ(o.rc, 0) << o.err;
    std::vector<Item> other(1);
    other[0].path = "C:\\Other\\NOTEPAD.exe";
    ASSERT_EQ(import("ws-2", "office", passport("two.xml", other, "44444444-0000-0000-0000-000000000002",
                                                "2026-05-01T10:00:00.000Z")).rc, 0);

    const auto hosts = [&](const std::string& name) {
        const Outcome found = vrfleet({"hosts-with", m_db, "--name", name, "--csv"});
        EXPECT_EQ(found.rc, 0) << found.err;
        return found.out;
    };
    std::string out = hosts("notepad.exe");
    EXPECT_NE(out.find("\nws-1,office,C:\\Apps\\Notepad.EXE,"), std::string::npos) << out;
    EXPECT_NE(out.find("\nws-2,office,C:\\Other\\NOTEPAD.exe,"), std::string::npos) << out;
    out = hosts("\xD0\xBE\xD0\xA2\xD0\xA7\xD0\x81\xD1\x82.docx");  // "оТЧЁт.docx"
    EXPECT_NE(out.find("\nws-1,office,C:\\Docs\\"), std::string::npos) << out;
    out = hosts("notepad.ex");
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1) << out;
    out = hosts(longName);
    EXPECT_NE(out.find("\nws-1,office,C:\\Long\\" + longName + ","), std::string::npos) << out.substr(0, 200);
    o = vrfleet({"history", m_db, "ws-1", "C:\\Long\\" + longName, "--csv"});
    EXPECT_EQ(o.rc, 0) << o.err;
    EXPECT_NE(o.out.find(std::string(64, 'D')), std::string::npos);

    // The same files again in a later round: found by their keys, nothing written.
    EXPECT_TRUE(has_line(import("ws-1", "office", passport("again.xml", items, "44444444-0000-0000-0000-000000000003",
                                                           "2026-05-02T10:00:00.000Z")).out,
                         m_dir + "/again.xml,ws-1,2,3,0,0,imported"));
    EXPECT_EQ(count("path"), 4u);

    // A store of the schema before keyed paths is brought to this one by
    // init: its paths keyed and its file rows indexed anew, then found by
    // name and by checksum as above.
    {
        std::unique_ptr<fleet::Database> db = fleet::open_database(m_db, false);
        db->execute("DROP INDEX path_by_key");
        db->execute("DROP INDEX path_by_folded");
        db->execute("ALTER TABLE path DROP COLUMN name_digest");
        db->execute("ALTER TABLE path DROP COLUMN folded_digest");
        if (GetParam() == Engine::Postgres) {
            // That schema could not hold the long name on this engine.
            db->execute("UPDATE path SET name = 'short.bin' WHERE length(name) > 1000");
            db->execute("ALTER TABLE path ADD CONSTRAINT path_folder_id_name_key UNIQUE (folder_id, name)");
        }
        db->execute("CREATE INDEX path_by_name ON path (name)");
        db->execute("DROP INDEX host_file_by_host_content");
        db->execute("CREATE INDEX host_file_by_content ON host_file (content_id) WHERE closed_round IS NULL");
        db->execute("CREATE INDEX host_file_by_path ON host_file (path_id) WHERE closed_round IS NULL");
        db->execute("UPDATE fleet_meta SET value = '1' WHERE name = 'schema_version'");
    }
    EXPECT_EQ(vrfleet({"hosts-with", m_db, "--name", "notepad.exe"}).rc, 2) << "the old schema is refused until init";
    o = vrfleet({"init", m_db});
    ASSERT_EQ(o.rc, 0) << o.err;
    out = hosts("NOTEPAD.EXE");
    EXPECT_NE(out.find("\nws-1,office,C:\\Apps\\Notepad.EXE,"), std::string::npos) << out;
    EXPECT_NE(out.find("\nws-2,office,C:\\Other\\NOTEPAD.exe,"), std::string::npos) << out;
    o = vrfleet({"hosts-with", m_db, "--checksum", std::string(64, 'D'), "--csv"});
    EXPECT_EQ(o.rc, 0) << o.err;
    EXPECT_EQ(std::count(o.out.begin(), o.out.end(), '\n'), 2) << o.out.substr(0, 200);
    EXPECT_NE(o.out.find("\nws-1,office,C:\\Long\\"), std::string::npos) << o.out.substr(0, 200);
    EXPECT_TRUE(has_line(import("ws-2", "office", passport("two-again.xml", other, "44444444-0000-0000-0000-000000000004",
                                                           "2026-05-02T10:00:00.000Z")).out,
                         m_dir + "/two-again.xml,ws-2,2,1,0,0,imported"));
    EXPECT_EQ(count("path"), 4u);
}

// A store of the earlier schema as large as a fleet's is brought to this
// one by init: in one transaction, its two file row indexes dropped (tens
// of MB of pages freed) and the new one built in their pages.
TEST_P(FleetTest, LargeStoreOfTheEarlierSchemaIsUpgraded) {
    if (GetParam() != Engine::Sqlite) return;
    ASSERT_EQ(import("ws-1", "office", passport("r1.xml", base_items(), "66666666-0000-0000-0000-000000000001",
                                                "2026-05-01T10:00:00.000Z")).rc, 0);
    {
        std::unique_ptr<fleet::Database> db = fleet::open_database(m_db, false);
        fleet::Transaction tx(*db);
        db->execute("INSERT INTO host (id, name, group_id) SELECT 2, 'ws-big', group_id FROM host WHERE name = 'ws-1'");
        db->execute("DROP INDEX host_file_by_host_content");
        db->execute("CREATE INDEX host_file_by_content ON host_file (content_id) WHERE closed_round IS NULL");
        db->execute("CREATE INDEX host_file_by_path ON host_file (path_id) WHERE closed_round IS NULL");
        db->execute("WITH RECURSIVE n(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM n WHERE x < 2000000) "
                    "INSERT INTO host_file SELECT 2, 100000 + x, 0, 1, NULL, 100000 + x, '2026-05-01T10:00:00.000Z' FROM n");
        db->execute("UPDATE fleet_meta SET value = '2' WHERE name = 'schema_version'");
        tx.commit();
    }
    Outcome o = vrfleet({"init", m_db});
    ASSERT_EQ(o.rc, 0) << o.err;
    o = vrfleet({"hosts-with", m_db, "--checksum", std::string(64, 'B'), "--csv"});
    EXPECT_EQ(o.rc, 0) << o.err;
    EXPECT_NE(o.out.find("\nws-1,office,C:\\Apps\\b.dll,"), std::string::npos) << o.out;
}

// Two imports at once both land: on SQLite the second waits for the
// first's transaction, on the server they run side by side. A store held
// longer than an import waits is refused with the reason, unchanged.
TEST_P(FleetTest, ImportsAtTheSameTime) {
    std::vector<Item> items;
    for (int i = 0; i < 20000; ++i) {
        Item it;
        char path[64];
        std::snprintf(path, sizeof(path), "C:\\Many\\file%05d.bin", i);
        it.path = path;
        items.push_back(it);
    }
    const std::string a = passport("a.xml", items, "55555555-0000-0000-0000-000000000001", "2026-05-01T10:00:00.000Z");
    const std::string b = passport("b.xml", items, "55555555-0000-0000-0000-000000000002", "2026-05-01T10:00:00.000Z");
    FILE* first = popen((shell_quoted(VRFLEET_EXE) + " import " + shell_quoted(m_db) + " --host ws-a " + shell_quoted(a) +
                         " >/dev/null 2>" + shell_quoted(m_dir + "/a.err")).c_str(), "r");
    FILE* second = popen((shell_quoted(VRFLEET_EXE) + " import " + shell_quoted(m_db) + " --host ws-b " + shell_quoted(b) +
                          " >/dev/null 2>" + shell_quoted(m_dir + "/b.err")).c_str(), "r");
    ASSERT_TRUE(first && second);
    EXPECT_EQ(pclose(first), 0) << read_file(m_dir + "/a.err");
    EXPECT_EQ(pclose(second), 0) << read_file(m_dir + "/b.err");
    EXPECT_EQ(count("round"), 2u);
    EXPECT_EQ(count("host_file"), 40000u);
    EXPECT_EQ(count("path"), 20000u);

    if (GetParam() != Engine::Sqlite) return;
    const std::string before = snapshot();
    {
        std::unique_ptr<fleet::Database> holder = fleet::open_database(m_db, false);
        fleet::Transaction held(*holder);
        const Outcome o = import("ws-c", "office", b);
        EXPECT_EQ(o.rc, 2);
        EXPECT_NE(o.err.find("another import (or another change) holds the store"), std::string::npos) << o.err;
        EXPECT_NE(o.err.find("nothing was changed"), std::string::npos) << o.err;
    }
    EXPECT_TRUE(snapshot() == before) << "the store changed";
    EXPECT_EQ(import("ws-c", "office", b).rc, 0);
}

TEST_P(FleetTest, ForeignSchemaVersionAndBadArguments) {
    {
        std::unique_ptr<fleet::Database> db = fleet::open_database(m_db, false);
        db->execute("UPDATE fleet_meta SET value = '7' WHERE name = 'schema_version'");
    }
    Outcome o = vrfleet({"hosts-with", m_db, "--name", "a.exe"});
    EXPECT_EQ(o.rc, 2);
    EXPECT_NE(o.err.find("schema version 7"), std::string::npos) << o.err;
    EXPECT_NE(o.err.find("reads version 3"), std::string::npos) << o.err;
    EXPECT_EQ(vrfleet({"init", m_db}).rc, 2);
    EXPECT_EQ(vrfleet({"hosts-with", m_db}).rc, 2);
    EXPECT_EQ(vrfleet({"hosts-with", m_db, "--name", "a", "--checksum", "b"}).rc, 2);
    EXPECT_EQ(vrfleet({"approve", m_db, "g", "--host", "h", "--all", "--path", "p", "--by", "x", "--reason", "y"}).rc, 2);
    EXPECT_EQ(vrfleet({"frobnicate", m_db}).rc, 2);
    if (GetParam() == Engine::Sqlite) {
        o = vrfleet({"changes", m_dir + "/missing.db", "h"});
        EXPECT_EQ(o.rc, 2);
        EXPECT_NE(o.err.find("vrfleet init"), std::string::npos) << o.err;
        EXPECT_FALSE(std::ifstream(m_dir + "/missing.db").good()) << "a store is made by init only";
    }
}

INSTANTIATE_TEST_SUITE_P(Engines, FleetTest, ::testing::Values(Engine::Sqlite, Engine::Postgres),
                         [](const ::testing::TestParamInfo<Engine>& info) {
                             return info.param == Engine::Sqlite ? "SQLite" : "PostgreSQL";
                         });

} // namespace
