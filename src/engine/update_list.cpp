// Splitting the update list into its entries.

#include "update_list.h"

#include "text.h"

namespace pupdate {

std::vector<std::string> splitUpdateList(std::string_view list) {
    // A zero byte ends the text, as it ends a value of the settings file.
    list = list.substr(0, list.find('\0'));
    // The list is UTF-8: bytes of multi-byte characters are all 0x80 or above, so they can
    // never be taken for a blank, a comma or a quote.
    std::vector<std::string> items;
    const std::size_t size = list.size();
    std::size_t pos = 0;
    auto skipBlanks = [&] {
        while (pos < size && isBlank(list[pos])) {
            ++pos;
        }
    };

    skipBlanks();
    while (pos < size) {
        std::string item;
        if (list[pos] == '"') {
            // Quoted: up to the next quote that is not doubled; an unclosed quote takes
            // the rest of the value.
            ++pos;
            while (pos < size) {
                const std::size_t quote = list.find('"', pos);
                if (quote == std::string_view::npos) {
                    item.append(list.substr(pos));
                    pos = size;
                    break;
                }
                item.append(list.substr(pos, quote - pos));
                if (quote + 1 < size && list[quote + 1] == '"') {
                    item.push_back('"');
                    pos = quote + 2;
                } else {
                    pos = quote + 1;
                    break;
                }
            }
        } else {
            const std::size_t start = pos;
            while (pos < size && !isBlank(list[pos]) && list[pos] != ',') {
                ++pos;
            }
            item.assign(list.substr(start, pos - start));
        }
        items.push_back(std::move(item));

        skipBlanks();
        if (pos < size && list[pos] == ',') {
            if (pos + 1 == size) {
                items.emplace_back(); // a comma as the last byte adds one more, empty item
            }
            ++pos;
            skipBlanks();
        }
    }
    return items;
}

UpdateEntry splitEntry(std::string_view item) {
    const std::size_t colon = item.find(':');
    if (colon == std::string_view::npos) {
        return {std::string(), std::string(item)};
    }
    return {std::string(item.substr(0, colon)), std::string(item.substr(colon + 1))};
}

} // namespace pupdate
