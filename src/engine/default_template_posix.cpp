#include "connections.h"

namespace pupdate {

std::string_view defaultOdbcTemplate() {
    // FreeTDS, given UTF-8 as the program's texts are.
    return "Driver={FreeTDS};Server=%SERVER%;Database=%DATABASE%;UID=%USER%;PWD=%PASSWORD%;"
           "ClientCharset=UTF-8";
}

} // namespace pupdate
