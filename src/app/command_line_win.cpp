#include "command_line.h"

#include <windows.h>

namespace pupdate {

CommandLine processCommandLine(int, const char* const*) {
    // The UTF-16 line as the program was started with it; as UTF-8 no byte of a
    // multi-byte character can be taken for a blank or a quote.
    const wchar_t* line = ::GetCommandLineW();
    const std::u16string_view wide =
        line == nullptr ? std::u16string_view() : reinterpret_cast<const char16_t*>(line);
    return commandLineFromRaw(utf16ToUtf8(wide), TextEncoding::Utf8);
}

std::vector<std::string> processArguments(int, const char* const*) {
    const wchar_t* line = ::GetCommandLineW();
    const std::u16string_view wide =
        line == nullptr ? std::u16string_view() : reinterpret_cast<const char16_t*>(line);
    std::vector<std::string> arguments = splitCommandLine(utf16ToUtf8(wide), TextEncoding::Utf8);
    if (!arguments.empty()) {
        arguments.erase(arguments.begin()); // the program's own name
    }
    return arguments;
}

} // namespace pupdate
