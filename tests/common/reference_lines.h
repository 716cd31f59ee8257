#pragma once
// The line rules of line-mode scripts, applied to a whole text in memory one byte at a
// time: the plain reference that the streaming reader and survey are checked against
// (by the tests and by the fuzz target).

#include "code_page.h"

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace pupdate::testing {

// Lines by the reading rules: LF or CR LF end a line, a lone CR is dropped, Ctrl-Z ends
// the text, a last line without a break counts; a byte-order mark at the file's start
// is not part of the first line.
inline std::vector<std::string> referenceLines(std::string text, bool atFileStart = true) {
    if (atFileStart && startsWithUtf8Bom(text)) {
        text.erase(0, 3);
    }
    text.resize(std::min(text.size(), text.find('\x1A')));
    std::vector<std::string> lines;
    std::string line;
    bool started = false;
    for (const char c : text) {
        started = true;
        if (c == '\n') {
            lines.push_back(line);
            line.clear();
            started = false;
        } else if (c != '\r') {
            line.push_back(c);
        }
    }
    if (started) {
        lines.push_back(line);
    }
    return lines;
}

// Lines as a text list counts them: CR, LF or CR LF end a line, a zero byte ends the text.
inline std::int64_t referenceCount(const std::string& bytes) {
    std::int64_t count = 0;
    std::size_t i = 0;
    const std::size_t end = std::min(bytes.size(), bytes.find('\0'));
    while (i < end) {
        ++count;
        while (i < end && bytes[i] != '\r' && bytes[i] != '\n') {
            ++i;
        }
        if (i < end && bytes[i] == '\r') {
            ++i;
        }
        if (i < end && bytes[i] == '\n') {
            ++i;
        }
    }
    return count;
}

} // namespace pupdate::testing
