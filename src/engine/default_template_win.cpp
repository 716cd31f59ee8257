#include "connections.h"

namespace pupdate {

std::string_view defaultOdbcTemplate() {
    // The SQL Server driver that every Windows has.
    return "Driver={SQL Server};Server=%SERVER%;Database=%DATABASE%;UID=%USER%;PWD=%PASSWORD%";
}

} // namespace pupdate
