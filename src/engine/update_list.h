#pragma once
// The update list: comma-separated entries, each a script's file name and its kind
// joined by a colon.

#include <string>
#include <string_view>
#include <vector>

namespace pupdate {

// Splits an update list into items: quoted items with doubled quotes, items cut at the
// first blank (0x01-0x20) or comma, empty items kept, a trailing comma adding one empty item.
std::vector<std::string> splitUpdateList(std::string_view list);

struct UpdateEntry {
    std::string file; // before the first colon; empty when there is no colon
    std::string kind; // everything after the first colon, or the whole item
};
UpdateEntry splitEntry(std::string_view item);

} // namespace pupdate
