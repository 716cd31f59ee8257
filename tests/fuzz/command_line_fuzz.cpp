// The command-line splitter on arbitrary raw lines, in both encodings, and the argument
// reader on arbitrary argv vectors.

#include "command_line.h"
#include "fuzz_check.h"

#include <string>
#include <vector>

namespace pupdate::fuzz {
namespace {

bool isBlank(char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte >= 0x01 && byte <= 0x20;
}

// Every argument written in double quotes, one blank between them.
std::string quoteAll(const std::vector<std::string>& arguments) {
    std::string line;
    for (const std::string& argument : arguments) {
        line += '"';
        line += argument;
        line += "\" ";
    }
    return line;
}

void checkSplit(std::string_view raw, TextEncoding encoding) {
    const std::vector<std::string> arguments = splitCommandLine(raw, encoding);
    const std::string_view line = raw.substr(0, raw.find('\0'));
    std::size_t bytes = 0;
    for (const std::string& argument : arguments) {
        check(!argument.empty(), "no argument is empty");
        check(argument.find('\0') == std::string::npos, "a zero byte ends the line");
        bytes += argument.size();
    }
    check(bytes <= line.size(), "arguments hold no more bytes than the line");

    // Valid GBK (and any UTF-8 line) is examined in whole characters, so a quote or a
    // blank inside an argument can only have come from quoting: quoting every argument
    // again gives the same arguments back.
    bool wholeCharacters = encoding == TextEncoding::Utf8;
    if (!wholeCharacters) {
        try {
            gbkToUtf8(line);
            wholeCharacters = true;
        } catch (const CodePageError&) {
        }
    }
    if (wholeCharacters) {
        for (const std::string& argument : arguments) {
            check(argument.find('"') == std::string::npos, "quotes are removed");
        }
        check(splitCommandLine(quoteAll(arguments), encoding) == arguments,
              "quoted arguments split back to themselves");
    }

    const CommandLine commandLine = commandLineFromRaw(raw, encoding);
    check(commandLine.hasInstallFolder == (arguments.size() > 1), "argument 1 present");
    check(commandLine.hasDatabase == (arguments.size() > 2), "argument 2 present");
    check(commandLine.hasInstallFolder == !commandLine.installFolder.empty(),
          "a present argument is not empty");
    check(commandLine.hasDatabase == !commandLine.database.empty(),
          "a present argument is not empty");
    if (encoding == TextEncoding::Utf8 && arguments.size() > 2) {
        check(commandLine.installFolder == arguments[1] && commandLine.database == arguments[2],
              "UTF-8 arguments are taken as split");
    }
}

void checkArgv(std::string_view raw) {
    // The input cut at zero bytes, as the shell would hand it over.
    std::vector<std::string> pieces;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = raw.find('\0', start);
        pieces.emplace_back(
            raw.substr(start, end == std::string_view::npos ? raw.npos : end - start));
        if (end == std::string_view::npos) {
            break;
        }
        start = end + 1;
    }
    std::vector<const char*> argv;
    argv.push_back("P_Update");
    for (const std::string& piece : pieces) {
        argv.push_back(piece.c_str());
    }
    const CommandLine commandLine = commandLineFromArgv(static_cast<int>(argv.size()), argv.data());
    check(commandLine.installFolder.find('"') == std::string::npos &&
              commandLine.database.find('"') == std::string::npos,
          "quotes are removed from argv arguments");
    check(commandLine.hasInstallFolder == !commandLine.installFolder.empty() &&
              commandLine.hasDatabase == !commandLine.database.empty(),
          "a present argument is not empty");
    check(!commandLine.hasDatabase || commandLine.hasInstallFolder,
          "argument 2 never without argument 1");
    // Blanks inside an argument the shell has split stay part of it.
    std::size_t blanks = 0;
    for (const std::string& piece : pieces) {
        for (const char c : piece) {
            blanks += isBlank(c) ? 1 : 0;
        }
    }
    std::size_t kept = 0;
    for (const char c : commandLine.installFolder + commandLine.database) {
        kept += isBlank(c) ? 1 : 0;
    }
    check(kept <= blanks, "no blank is invented");
}

} // namespace
} // namespace pupdate::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace pupdate;
    const std::string_view raw = fuzz::asText(data, size);
    fuzz::checkSplit(raw, TextEncoding::Gbk);
    fuzz::checkSplit(raw, TextEncoding::Utf8);
    fuzz::checkArgv(raw);
    return 0;
}
