#pragma once
// The one interface over the database engines. Statements are prepared
// once under a name and run with parameters bound, never spliced into the
// text; their text numbers parameters ?1, ?2... as both engines can be
// given them. Rows are handed over one at a time, so a large answer never
// sits in memory whole.
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace fleet {

// A store that cannot be opened or read, or a statement the engine refused.
class StoreError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct Value {
    bool null = true;
    bool integer = false;  // bound as a number where the engine tells them apart
    long long number = 0;
    std::string text;
    Value() = default;
    Value(const std::string& t) : null(false), text(t) {}
    Value(const char* t) : null(false), text(t) {}
    // A number's text is made only by an engine that binds text (the server).
    Value(long long n) : null(false), integer(true), number(n) {}
    static Value none() { return Value(); }
};

class Row {
public:
    virtual ~Row() = default;
    virtual int columns() const = 0;
    virtual bool null(int column) const = 0;
    virtual std::string text(int column) const = 0;
    virtual long long number(int column) const { return null(column) ? 0 : std::stoll(text(column)); }
};

using RowHandler = std::function<void(const Row&)>;

class Database {
public:
    virtual ~Database() = default;
    virtual std::string engine() const = 0;
    // A statement runs inside this process: many small ones cost no round
    // trip each.
    virtual bool in_process() const = 0;

    // Schema text with the engine's words put in (see schema.sql).
    virtual std::string schema_word(const std::string& word) const = 0;
    // Statements without parameters (schema, transactions).
    virtual void execute(const std::string& sql) = 0;
    virtual void prepare(const std::string& name, const std::string& sql) = 0;
    // Runs a prepared statement; returns the rows it changed.
    virtual long long run(const std::string& name, const std::vector<Value>& params, const RowHandler& each = nullptr) = 0;

    // Many rows into one table in one stream (COPY where the engine has it).
    virtual void load_begin(const std::string& table, const std::vector<std::string>& columns) = 0;
    virtual void load_row(const std::vector<const std::string*>& values) = 0;
    virtual void load_end() = 0;
    // Empties a scratch table, its space with it.
    virtual void clear(const std::string& table) = 0;
    // After a load into a scratch table, before statements that join it.
    virtual void loaded(const std::string& table) = 0;

    virtual void begin() = 0;
    // A consistent view for an answer of many statements; takes no lock
    // a writer waits for.
    virtual void begin_read() = 0;
    virtual void commit() = 0;
    virtual void rollback() = 0;

    // Bytes the store takes on disk.
    virtual long long size_in_bytes() = 0;
};

// "postgresql://..." or "postgres://..." reaches a server; anything else
// names an SQLite file. create: the file may be made (init only).
std::unique_ptr<Database> open_database(const std::string& address, bool create);
bool is_server_address(const std::string& address);

// A transaction rolled back unless committed.
class Transaction {
public:
    enum Kind { Write, Read };
    explicit Transaction(Database& db, Kind kind = Write) : m_db(db) {
        if (kind == Read) m_db.begin_read();
        else m_db.begin();
    }
    ~Transaction() {
        if (m_open) try {
                m_db.rollback();
            } catch (const StoreError&) {
                // The connection is gone; the server has dropped the transaction with it.
            }
    }
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;
    void commit() {
        m_db.commit();
        m_open = false;
    }

private:
    Database& m_db;
    bool m_open = true;
};

} // namespace fleet
