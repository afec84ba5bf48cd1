// The embedded engine: one file, no server.
#include "database.h"

#include <sqlite3.h>

#include <unordered_map>
#include <sys/stat.h>

namespace fleet {

namespace {

// Pages kept in memory per connection (negative: KiB): an import touches
// the file-row indexes all over, by path and by content, and a large
// fleet's indexes run to hundreds of MB. A constant, whatever the passport.
const char kCacheSize[] = "-262144";
const int kBusyMilliseconds = 10000;
// Pages of log between checkpoints. A passport dirties pages all over the
// content indexes (new contents fall anywhere in them), and the next
// passports dirty most of the same pages again: copied back once for
// several commits, not after each. After a checkpoint the log file is cut
// back to kLogKeptBytes, so the disk holds no more than that between imports.
const int kCheckpointPages = 65536;
const long long kLogKeptBytes = 64LL << 20;

struct StatementClose {
    void operator()(sqlite3_stmt* s) const { sqlite3_finalize(s); }
};
using Statement = std::unique_ptr<sqlite3_stmt, StatementClose>;

class SqliteRow : public Row {
public:
    explicit SqliteRow(sqlite3_stmt* s) : m_s(s) {}
    int columns() const override { return sqlite3_column_count(m_s); }
    bool null(int column) const override { return sqlite3_column_type(m_s, column) == SQLITE_NULL; }
    std::string text(int column) const override {
        const unsigned char* t = sqlite3_column_text(m_s, column);
        return t ? std::string(reinterpret_cast<const char*>(t), sqlite3_column_bytes(m_s, column)) : std::string();
    }

    long long number(int column) const override { return sqlite3_column_int64(m_s, column); }

private:
    sqlite3_stmt* m_s;
};

class SqliteDatabase : public Database {
public:
    SqliteDatabase(const std::string& path, bool create) : m_path(path) {
        struct stat st;
        if (!create && ::stat(path.c_str(), &st) != 0)
            throw StoreError("no store at " + path + ": make one with 'vrfleet init " + path + "'");
        // Memory statistics cost a global lock on every allocation; nothing
        // here reads them.
        static const int configured = sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0);
        (void)configured;
        const int flags = SQLITE_OPEN_READWRITE | (create ? SQLITE_OPEN_CREATE : 0) | SQLITE_OPEN_NOMUTEX;
        if (sqlite3_open_v2(path.c_str(), &m_db, flags, nullptr) != SQLITE_OK) fail("cannot open the store");
        sqlite3_busy_timeout(m_db, kBusyMilliseconds);
        // WAL: readers go on while a passport is imported, and a commit is
        // one append; NORMAL is durable up to the last checkpoint in WAL mode.
        execute("PRAGMA journal_mode=WAL");
        execute("PRAGMA synchronous=NORMAL");
        execute(std::string("PRAGMA cache_size=") + kCacheSize);
        execute("PRAGMA wal_autocheckpoint=" + std::to_string(kCheckpointPages));
        execute("PRAGMA journal_size_limit=" + std::to_string(kLogKeptBytes));
    }
    ~SqliteDatabase() override {
        m_statements.clear();
        m_load.reset();
        sqlite3_close(m_db);
    }

    bool in_process() const override { return true; }
    std::string engine() const override { return "SQLite"; }

    std::string schema_word(const std::string& word) const override {
        // An INTEGER PRIMARY KEY is the row id itself: no second index.
        if (word == "id") return "INTEGER PRIMARY KEY";
        // The per-host file rows are read and written by their key only:
        // stored in key order they need no row id and no separate key index.
        if (word == "clustered") return "WITHOUT ROWID";
        if (word == "binary") return "BINARY";
        // Without statistics the planner takes a host's whole key range
        // over its index by content: named here, a seek per host.
        if (word == "by_host_content") return "INDEXED BY host_file_by_host_content";
        // Dropping a table's own UNIQUE means rebuilding the table here;
        // the engine has no limit on an index entry, so it stays.
        if (word == "drop_path_name_unique") return "";
        throw StoreError("unknown schema word " + word);
    }

    void execute(const std::string& sql) override {
        char* message = nullptr;
        if (sqlite3_exec(m_db, sql.c_str(), nullptr, nullptr, &message) != SQLITE_OK) {
            const std::string text = message ? message : "error";
            sqlite3_free(message);
            throw StoreError(m_path + ": " + text);
        }
    }

    void prepare(const std::string& name, const std::string& sql) override {
        m_statements[name] = compile(sql);
    }

    long long run(const std::string& name, const std::vector<Value>& params, const RowHandler& each) override {
        const auto found = m_statements.find(name);
        if (found == m_statements.end()) throw StoreError("statement " + name + " was not prepared");
        sqlite3_stmt* s = found->second.get();
        sqlite3_reset(s);
        sqlite3_clear_bindings(s);
        for (size_t i = 0; i < params.size(); ++i)
            if (params[i].integer)
                sqlite3_bind_int64(s, static_cast<int>(i + 1), params[i].number);
            else if (!params[i].null)
                sqlite3_bind_text(s, static_cast<int>(i + 1), params[i].text.data(), static_cast<int>(params[i].text.size()),
                                  SQLITE_STATIC);
        SqliteRow row(s);
        for (;;) {
            const int rc = sqlite3_step(s);
            if (rc == SQLITE_DONE) break;
            if (rc != SQLITE_ROW) {
                sqlite3_reset(s);
                fail(name);
            }
            if (each) each(row);
        }
        sqlite3_reset(s);
        return sqlite3_changes(m_db);
    }

    void load_begin(const std::string& table, const std::vector<std::string>& columns) override {
        std::string sql = "INSERT INTO " + table + " (", marks;
        for (size_t i = 0; i < columns.size(); ++i) {
            sql += (i ? ", " : "") + columns[i];
            marks += (i ? ", ?" : "?") + std::to_string(i + 1);
        }
        m_load = compile(sql + ") VALUES (" + marks + ")");
    }
    void load_row(const std::vector<const std::string*>& values) override {
        sqlite3_stmt* s = m_load.get();
        for (size_t i = 0; i < values.size(); ++i)
            sqlite3_bind_text(s, static_cast<int>(i + 1), values[i]->data(), static_cast<int>(values[i]->size()),
                              SQLITE_STATIC);
        const int rc = sqlite3_step(s);
        sqlite3_reset(s);
        if (rc != SQLITE_DONE) fail("loading rows");
    }
    void load_end() override { m_load.reset(); }
    // A DELETE without WHERE drops the table's pages whole.
    void clear(const std::string& table) override { execute("DELETE FROM " + table); }
    void loaded(const std::string&) override {}

    // The write lock is taken here, at the start, so a transaction never
    // finds it taken halfway through.
    void begin() override {
        const int rc = sqlite3_exec(m_db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
        if ((rc & 0xFF) == SQLITE_BUSY)
            throw StoreError(m_path + ": another import (or another change) holds the store and did not finish within " +
                             std::to_string(kBusyMilliseconds / 1000) +
                             " s; nothing was changed: try again when it has finished");
        if (rc != SQLITE_OK) fail("starting a transaction");
    }
    // Without it every statement takes and drops the file's lock itself.
    void begin_read() override { execute("BEGIN DEFERRED"); }
    void commit() override { execute("COMMIT"); }
    void rollback() override { execute("ROLLBACK"); }

    long long size_in_bytes() override {
        long long total = 0;
        for (const char* suffix : {"", "-wal"}) {
            struct stat st;
            if (::stat((m_path + suffix).c_str(), &st) == 0) total += st.st_size;
        }
        return total;
    }

private:
    Statement compile(const std::string& sql) {
        sqlite3_stmt* s = nullptr;
        if (sqlite3_prepare_v3(m_db, sql.c_str(), static_cast<int>(sql.size()), SQLITE_PREPARE_PERSISTENT, &s, nullptr) !=
            SQLITE_OK)
            fail("preparing: " + sql.substr(0, 80));
        return Statement(s);
    }
    [[noreturn]] void fail(const std::string& what) const {
        throw StoreError(m_path + ": " + what + ": " + sqlite3_errmsg(m_db));
    }

    std::string m_path;
    sqlite3* m_db = nullptr;
    std::unordered_map<std::string, Statement> m_statements;
    Statement m_load;
};

} // namespace

std::unique_ptr<Database> open_sqlite(const std::string& path, bool create) {
    return std::unique_ptr<Database>(new SqliteDatabase(path, create));
}

} // namespace fleet
