// The command line: installation folder and database name, split the way the Windows
// start-up code splits a program's command line.

#include "command_line.h"

#include "text.h"

namespace pupdate {

namespace {

// Bytes of the character at `pos`: a GBK lead byte takes its second byte with it, so that
// a second byte is never examined on its own.
std::size_t characterLength(std::string_view text, std::size_t pos, TextEncoding encoding) {
    const auto byte = static_cast<unsigned char>(text[pos]);
    if (encoding == TextEncoding::Gbk && byte >= 0x81 && byte <= 0xFE && pos + 1 < text.size()) {
        return 2;
    }
    return 1;
}

// Skips the pairs of double quotes that open an argument, repeatedly, and (when
// `skipBlanks`) the blanks between them.
std::size_t skipArgumentStart(std::string_view text, std::size_t pos, bool skipBlanks) {
    for (;;) {
        while (skipBlanks && pos < text.size() && isBlank(text[pos])) {
            ++pos;
        }
        if (pos + 1 < text.size() && text[pos] == '"' && text[pos + 1] == '"') {
            pos += 2;
        } else {
            return pos;
        }
    }
}

std::string toEngineText(const std::string& argument, TextEncoding encoding) {
    if (encoding == TextEncoding::Utf8) {
        return argument;
    }
    try {
        return gbkToUtf8(argument);
    } catch (const CodePageError&) {
        return argument;
    }
}

CommandLine fromArguments(const std::vector<std::string>& arguments) {
    CommandLine commandLine;
    if (!arguments.empty()) {
        commandLine.installFolder = arguments[0];
        commandLine.hasInstallFolder = !arguments[0].empty();
    }
    if (arguments.size() > 1) {
        commandLine.database = arguments[1];
        commandLine.hasDatabase = !arguments[1].empty();
    }
    return commandLine;
}

} // namespace

std::vector<std::string> splitCommandLine(std::string_view raw) {
    return splitCommandLine(raw, TextEncoding::Gbk);
}

std::vector<std::string> splitCommandLine(std::string_view raw, TextEncoding encoding) {
    raw = raw.substr(0, raw.find('\0')); // the line ends at a zero byte
    std::vector<std::string> arguments;
    std::size_t pos = 0;
    for (;;) {
        pos = skipArgumentStart(raw, pos, true);
        std::string argument;
        while (pos < raw.size() && !isBlank(raw[pos])) {
            if (raw[pos] == '"') {
                ++pos;
                while (pos < raw.size() && raw[pos] != '"') {
                    const std::size_t length = characterLength(raw, pos, encoding);
                    argument.append(raw.substr(pos, length));
                    pos += length;
                }
                if (pos < raw.size()) {
                    ++pos; // the closing quote
                }
            } else {
                const std::size_t length = characterLength(raw, pos, encoding);
                argument.append(raw.substr(pos, length));
                pos += length;
            }
        }
        // An empty argument ends the list: the end of the line, or a lone quote at its end.
        if (argument.empty()) {
            return arguments;
        }
        arguments.push_back(std::move(argument));
    }
}

CommandLine commandLineFromRaw(std::string_view raw) {
    return commandLineFromRaw(raw, TextEncoding::Gbk);
}

CommandLine commandLineFromRaw(std::string_view raw, TextEncoding encoding) {
    const std::vector<std::string> split = splitCommandLine(raw, encoding);
    std::vector<std::string> arguments;
    for (std::size_t i = 1; i < split.size() && i <= 2; ++i) {
        arguments.push_back(toEngineText(split[i], encoding));
    }
    return fromArguments(arguments);
}

CommandLine commandLineFromArgv(int argc, const char* const* argv) {
    std::vector<std::string> arguments;
    for (int i = 1; i < argc && arguments.size() < 2; ++i) {
        if (argv[i] == nullptr) {
            continue;
        }
        const std::string_view given(argv[i]);
        // Blanks inside an argument the shell has split are part of it; only the opening
        // pairs of quotes are skipped, and the remaining quotes are removed.
        const std::string_view rest = given.substr(skipArgumentStart(given, 0, false));
        std::string argument;
        for (const char c : rest) {
            if (c != '"') {
                argument.push_back(c);
            }
        }
        if (!argument.empty()) {
            arguments.push_back(std::move(argument));
        }
    }
    return fromArguments(arguments);
}

} // namespace pupdate
