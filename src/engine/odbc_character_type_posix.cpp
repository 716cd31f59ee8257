#include "odbc_character_type.h"

#include <locale.h>

namespace pupdate::odbc {

struct Utf8CharacterType::Locales {
    locale_t utf8 = static_cast<locale_t>(0);
    locale_t previous = static_cast<locale_t>(0);
};

Utf8CharacterType::Utf8CharacterType() {
    for (const char* name : {"C.UTF-8", "C.utf8", "en_US.UTF-8"}) {
        const locale_t utf8 = newlocale(LC_CTYPE_MASK, name, static_cast<locale_t>(0));
        if (utf8 != static_cast<locale_t>(0)) {
            m_locales = std::make_unique<Locales>();
            m_locales->utf8 = utf8;
            m_locales->previous = uselocale(utf8);
            break;
        }
    }
}

Utf8CharacterType::~Utf8CharacterType() {
    if (m_locales) {
        uselocale(m_locales->previous);
        freelocale(m_locales->utf8);
    }
}

} // namespace pupdate::odbc
