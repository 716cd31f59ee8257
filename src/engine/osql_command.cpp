#include "osql_command.h"

#include "code_page.h"
#include "text.h"

#include <stdexcept>

namespace pupdate {

namespace {

// What the server's command shell acts on inside double quotes: the quote that would end
// them, variables (%...%, and !...! where delayed expansion is on at the site) and control
// characters. '&', '|', '<', '>', '^', '(' and ')' are taken literally there.
bool isQuotedShellSafe(std::string_view value) {
    for (const unsigned char c : value) {
        if (c < 0x20 || c == 0x7F || c == '"' || c == '%' || c == '!') {
            return false;
        }
    }
    return true;
}

// Outside double quotes the shell also acts on its operators and escape character.
bool isShellSafe(std::string_view value) {
    for (const unsigned char c : value) {
        switch (c) {
        case '&':
        case '|':
        case '<':
        case '>':
        case '^':
            return false;
        default:
            break;
        }
    }
    return isQuotedShellSafe(value);
}

// A refused name or path as it was written, where it is text.
std::string shownAsWritten(std::string_view value) {
    return isValidUtf8(value) ? shownLine(value) : printable(value, TextEncoding::Utf8);
}

// A database name that osql can only take for a name: no blank that would end it and
// start an option, no separator, and no leading character that makes it an option.
bool isPlainName(std::string_view name) {
    if (name.empty() || name.front() == '-' || name.front() == '/') {
        return false;
    }
    for (const unsigned char c : name) {
        if (c <= 0x20 || c == ';' || c == ',') {
            return false;
        }
    }
    return true;
}

} // namespace

std::string buildOsqlCommand(std::string_view database, std::string_view path) {
    // The command runs in the database server's shell: refuse anything that shell would
    // act on rather than pass to osql.
    if (!isValidUtf8(database) || !isShellSafe(database) || !isPlainName(database)) {
        throw std::invalid_argument("数据库名含有不能交给服务器命令行的字符: " +
                                    shownAsWritten(database));
    }
    // The path stands inside double quotes.
    if (!isValidUtf8(path) || !isQuotedShellSafe(path)) {
        throw std::invalid_argument("脚本路径含有不能交给服务器命令行的字符: " +
                                    shownAsWritten(path));
    }
    std::string command = "osql -E  -S (local) -d ";
    command += database;
    command += " -i \"";
    command += path;
    command += "\" ";
    return command;
}

} // namespace pupdate
