#pragma once
// The update package: the folder the program runs from, with Update.ini (the update
// list, settings_file.h), UpdatePro (program files, program_copy.h) and UpdateSql
// (scripts, script_file.h). Its names, and the error of a package that cannot be read.

#include <stdexcept>
#include <string_view>

namespace pupdate {

inline constexpr std::string_view kSettingsFileName = "Update.ini";
inline constexpr std::string_view kProgramFilesFolder = "UpdatePro";
inline constexpr std::string_view kScriptFolder = "UpdateSql";
inline constexpr std::string_view kUpdateListSection = "Updatefile";
inline constexpr std::string_view kUpdateListKey = "顺序";
// The two kinds of update entry, compared exactly.
inline constexpr std::string_view kLineMode = "IsAccess";
inline constexpr std::string_view kServerSideMode = "IsSqlserver";

// Raised when the update package cannot be read as it must be; the message, in Chinese,
// names the file and the reason and is shown to the operator as it stands.
class PackageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

} // namespace pupdate
