#include "database.h"

namespace fleet {

std::unique_ptr<Database> open_sqlite(const std::string& path, bool create);
std::unique_ptr<Database> open_postgres(const std::string& address);

bool is_server_address(const std::string& address) {
    return address.rfind("postgresql://", 0) == 0 || address.rfind("postgres://", 0) == 0;
}

std::unique_ptr<Database> open_database(const std::string& address, bool create) {
    return is_server_address(address) ? open_postgres(address) : open_sqlite(address, create);
}

} // namespace fleet
