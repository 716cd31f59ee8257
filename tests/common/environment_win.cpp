#include "environment.h"

#include <cstdlib>

namespace pupdate::testing {

void setEnvironment(const std::string& name, const std::optional<std::string>& value) {
    // An empty value removes the variable; std::getenv then gives null, as after unsetenv.
    ::_putenv_s(name.c_str(), value ? value->c_str() : "");
}

} // namespace pupdate::testing
