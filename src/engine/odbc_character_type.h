#pragma once
// The character type the driver manager converts texts by, set while a connection handle
// is allocated.

#include <memory>

namespace pupdate::odbc {

// unixODBC converts wide texts for a driver without wide entry points (the SQLite driver
// is one) into the code set of the locale in force when the connection handle is
// allocated, and keeps that choice for the handle's life. Texts of this layer are UTF-8,
// so the handle is made under a UTF-8 character type, for this thread only, while an
// object of this class lives. (The driver manager converts through UCS-2, so such drivers
// get no characters beyond U+FFFF.) Windows' driver manager converts by the ANSI code page
// and has no such setting: there nothing is switched.
class Utf8CharacterType {
public:
    Utf8CharacterType();
    ~Utf8CharacterType();
    Utf8CharacterType(const Utf8CharacterType&) = delete;
    Utf8CharacterType& operator=(const Utf8CharacterType&) = delete;

private:
    struct Locales;
    std::unique_ptr<Locales> m_locales;
};

} // namespace pupdate::odbc
