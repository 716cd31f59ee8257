#include "environment.h"

#include <cstdlib>
#include <stdexcept>

namespace pupdate::testing {

void setEnvironment(const std::string& name, const std::optional<std::string>& value) {
    // An empty value removes the variable; std::getenv then gives null, as after unsetenv.
    ::_putenv_s(name.c_str(), value ? value->c_str() : "");
}

std::string hostServerSetting(const char* name, const char* server) {
    const char* value = std::getenv(name);
    if (value == nullptr || *value == '\0') {
        throw std::runtime_error(std::string(name) +
                                 " is not set: run the Windows tests through "
                                 "scripts/test-windows.sh, which starts " +
                                 server + " on the host");
    }
    return value;
}

} // namespace pupdate::testing
