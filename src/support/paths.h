#pragma once
// Where the program itself lies.

#include <filesystem>

namespace pupdate {

// Folder of the running executable.
std::filesystem::path programFolder();

} // namespace pupdate
