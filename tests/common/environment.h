#pragma once
// Setting, removing and requiring environment variables of the test program.

#include <optional>
#include <string>

namespace pupdate::testing {

// Sets `name` to `value`, or removes it when `value` is empty (nullopt).
void setEnvironment(const std::string& name, const std::optional<std::string>& value);

// The value of a variable that scripts/test-windows.sh hands to the Windows tests (a port,
// a folder of a server it started on the host); raises naming `server` when it is unset.
std::string hostServerSetting(const char* name, const char* server);

} // namespace pupdate::testing
