#pragma once
// Where the program itself lies.

#include <filesystem>

namespace pupdate {

// The running executable.
std::filesystem::path programFile();
// Folder of the running executable.
std::filesystem::path programFolder();

} // namespace pupdate
