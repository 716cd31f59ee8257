// The settings reader on arbitrary text, decoded the way a settings file is loaded.

#include "fuzz_check.h"
#include "update_package.h"

#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace pupdate;
    using fuzz::check;
    const std::string_view input = fuzz::asText(data, size);

    // The whole input as a file would be read: decoded first, then parsed.
    try {
        const std::string text = decodePackageText(input);
        check(isValidUtf8(text), "decoded text is UTF-8");
        const SettingsFile settings = SettingsFile::parse(text);
        if (const auto value = settings.value(kUpdateListSection, kUpdateListKey)) {
            check(value->find_first_of("\r\n") == std::string::npos, "a value is one line");
            check(trimBlanks(*value) == *value, "a value is trimmed");
            splitUpdateList(*value);
        }
    } catch (const CodePageError&) {
    }

    // The first line is the update list, the rest arbitrary text after it: the first
    // occurrence of the key wins, so the value comes back trimmed whatever follows.
    const std::size_t feed = input.find('\n');
    std::string value(input.substr(0, feed));
    std::erase(value, '\r');
    const std::string_view rest =
        feed == std::string_view::npos ? std::string_view() : input.substr(feed + 1);
    std::string text = "[updateFILE]\n顺序=";
    text += value;
    text += '\n';
    text += rest;
    const SettingsFile settings = SettingsFile::parse(text);
    const auto found = settings.value(kUpdateListSection, kUpdateListKey);
    check(found.has_value(), "the key is found");
    check(*found == trimBlanks(value), "the first value wins, trimmed");
    check(!settings.value(kUpdateListSection, "顺序9").has_value() ||
              rest.find("顺序9") != std::string_view::npos,
          "a key that is not in the text has no value");
    return 0;
}
