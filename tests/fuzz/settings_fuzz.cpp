// The settings reader on arbitrary bytes, read the way a settings file is loaded.

#include "code_page.h"
#include "fuzz_check.h"
#include "settings_file.h"
#include "text.h"
#include "update_list.h"
#include "update_package.h"

#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace pupdate;
    using fuzz::check;
    const std::string_view input = fuzz::asText(data, size);

    // The whole input as a file: a value is one trimmed line of text, or not text at all.
    try {
        const SettingsFile settings = SettingsFile::parse(input);
        if (const auto value = settings.value(kUpdateListSection, kUpdateListKey)) {
            check(isValidUtf8(*value), "a value is UTF-8");
            check(value->find_first_of("\r\n") == std::string::npos, "a value is one line");
            check(trimBlanks(*value) == *value, "a value is trimmed");
            splitUpdateList(*value);
        }
    } catch (const CodePageError&) {
    }

    // The first line is the update list, the rest arbitrary bytes after it, in a file
    // marked as UTF-8: the first occurrence of the key wins, so the value comes back
    // trimmed whatever follows, or raises when it is not UTF-8.
    const std::size_t feed = input.find('\n');
    std::string value(input.substr(0, feed));
    std::erase(value, '\r');
    const std::string_view rest =
        feed == std::string_view::npos ? std::string_view() : input.substr(feed + 1);
    std::string text = "\xEF\xBB\xBF[updateFILE]\n顺序=";
    text += value;
    text += '\n';
    text += rest;
    const SettingsFile settings = SettingsFile::parse(text);
    try {
        const auto found = settings.value(kUpdateListSection, kUpdateListKey);
        check(isValidUtf8(value), "only a value that is UTF-8 comes back");
        check(found.has_value(), "the key is found");
        check(*found == trimBlanks(value), "the first value wins, trimmed");
    } catch (const CodePageError&) {
        check(!isValidUtf8(value), "a value that is UTF-8 is read");
    }
    return 0;
}
