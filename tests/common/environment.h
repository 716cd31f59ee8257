#pragma once
// Setting and removing an environment variable of the test program.

#include <optional>
#include <string>

namespace pupdate::testing {

// Sets `name` to `value`, or removes it when `value` is empty (nullopt).
void setEnvironment(const std::string& name, const std::optional<std::string>& value);

} // namespace pupdate::testing
