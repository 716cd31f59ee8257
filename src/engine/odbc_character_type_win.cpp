#include "odbc_character_type.h"

namespace pupdate::odbc {

// Windows' driver manager converts for drivers without wide entry points by the ANSI code
// page; there is no per-thread setting to make.
struct Utf8CharacterType::Locales {};

Utf8CharacterType::Utf8CharacterType() = default;
Utf8CharacterType::~Utf8CharacterType() = default;

} // namespace pupdate::odbc
