// The update-list splitter and the entry split on arbitrary list values.

#include "fuzz_check.h"
#include "text.h"
#include "update_list.h"

#include <string>
#include <vector>

namespace pupdate::fuzz {
namespace {

bool isBlank(char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte >= 0x01 && byte <= 0x20;
}

// Each item in double quotes with its quotes doubled, joined by commas.
std::string quoteAll(const std::vector<std::string>& items) {
    std::string list;
    for (const std::string& item : items) {
        if (!list.empty()) {
            list += ',';
        }
        list += '"';
        for (const char c : item) {
            list += c;
            if (c == '"') {
                list += '"';
            }
        }
        list += '"';
    }
    return list;
}

bool needsQuotes(const std::string& item) {
    for (const char c : item) {
        if (isBlank(c) || c == ',' || c == '"' || c == '\0') {
            return true;
        }
    }
    return item.empty();
}

void checkEntry(const std::string& item) {
    const UpdateEntry entry = splitEntry(item);
    check(entry.file.find(':') == std::string::npos, "the file name holds no colon");
    if (item.find(':') == std::string::npos) {
        check(entry.file.empty() && entry.kind == item, "no colon: the whole item is the kind");
    } else {
        check(entry.file + ":" + entry.kind == item, "file, colon and kind make the item");
    }
}

} // namespace
} // namespace pupdate::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace pupdate;
    using fuzz::check;
    const std::string_view list = fuzz::asText(data, size);
    const std::vector<std::string> items = splitUpdateList(list);

    std::size_t bytes = 0;
    bool plain = true;
    for (const std::string& item : items) {
        check(item.find('\0') == std::string::npos, "a zero byte ends the list");
        bytes += item.size();
        plain = plain && !fuzz::needsQuotes(item);
        fuzz::checkEntry(item);
    }
    check(bytes <= list.size(), "items hold no more bytes than the list");
    check(items.empty() == trimBlanks(list.substr(0, list.find('\0'))).empty(),
          "a blank list and only a blank list gives no item");

    if (!items.empty()) {
        check(splitUpdateList(fuzz::quoteAll(items)) == items,
              "quoted items split back to themselves");
    }
    if (plain && !items.empty()) {
        std::string joined;
        for (const std::string& item : items) {
            joined += (joined.empty() ? "" : " ,\t") + item;
        }
        check(splitUpdateList(joined) == items, "plain items split back to themselves");
    }
    return 0;
}
