#pragma once
// The command line read into its two positional arguments, installation folder and
// database name (CommandLine, run_settings.h).

#include "code_page.h"
#include "run_settings.h"

#include <string>
#include <string_view>
#include <vector>

namespace pupdate {

// Splits a raw command line (program name first) the way the Windows start-up code
// does: blanks are bytes 0x01-0x20 outside double quotes, a double quote toggles quoting
// and is removed, an unclosed quote runs to the end, a pair of double quotes at the start
// of an argument is skipped like a blank. Returns every argument, program name included.
// The raw line is taken as GBK (the ANSI code page of the packages' platform): in
// double-byte text only whole characters are examined, a lead byte 0x81-0xFE takes the
// next byte with it. Arguments keep the line's bytes.
std::vector<std::string> splitCommandLine(std::string_view raw);
// The same for a line in the given encoding; UTF-8 is examined byte by byte, since no byte
// of a multi-byte UTF-8 character can be taken for a blank or a quote.
std::vector<std::string> splitCommandLine(std::string_view raw, TextEncoding encoding);

// The arguments from a raw command line; further arguments are ignored.
// A GBK line's arguments are converted to UTF-8; bytes that are not GBK stay as they are.
CommandLine commandLineFromRaw(std::string_view raw);
CommandLine commandLineFromRaw(std::string_view raw, TextEncoding encoding);
// The same rules applied to arguments the shell has already split: an argument that is
// empty or only pairs of double quotes is dropped like a blank, quotes inside an argument
// are removed.
CommandLine commandLineFromArgv(int argc, const char* const* argv);

// The running program's own arguments, as main receives them. On Windows they are taken
// from the UTF-16 command line (GetCommandLineW), not from `argv`, which holds them in
// the ANSI code page, and split by the rules above; elsewhere they are `argv` as the
// shell has split them (commandLineFromArgv).
CommandLine processCommandLine(int argc, const char* const* argv);

// Every argument of the running program after its name, as UTF-8, taken the same way
// (from the UTF-16 command line on Windows, from `argv` elsewhere) but kept as given:
// for a program whose arguments are options and names rather than the two positions.
std::vector<std::string> processArguments(int argc, const char* const* argv);

} // namespace pupdate
