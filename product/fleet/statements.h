#pragma once
// Every statement the store runs, by name. One text serves both engines;
// {{word}} is put in by the engine (see Database::schema_word).
namespace fleet {

struct NamedStatement {
    const char* name;
    const char* sql;
};

// Null-terminated table.
extern const NamedStatement kStatements[];

} // namespace fleet
