// Reading the update package: the settings file with its update list, the splitting of
// the list into entries, and the line-by-line reading of line-mode scripts.

#include "update_package.h"

#include "path_resolve.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iterator>
#include <system_error>

namespace pupdate {

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kChunkSize = 64 * 1024;
constexpr char kCtrlZ = '\x1A';

bool isBlank(char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte >= 0x01 && byte <= 0x20;
}

std::string foldName(std::string_view name) {
    std::string folded(name);
    for (char& c : folded) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return folded;
}

[[noreturn]] void throwFileError(int error, const fs::path& file, const char* action) {
    throw std::system_error(error, std::generic_category(),
                            std::string("cannot ") + action + " " + file.string());
}

// Reads up to `size` bytes; fewer only at the end of the file.
std::size_t readChunk(std::ifstream& in, const fs::path& file, char* target, std::size_t size) {
    in.read(target, static_cast<std::streamsize>(size));
    if (in.bad()) {
        throwFileError(errno != 0 ? errno : EIO, file, "read");
    }
    return static_cast<std::size_t>(in.gcount());
}

void openForReading(std::ifstream& in, const fs::path& file) {
    errno = 0;
    in.open(file, std::ios::binary);
    if (!in.is_open()) {
        throwFileError(errno != 0 ? errno : ENOENT, file, "open");
    }
}

// Where a text list would start its lines: CR, LF and CR LF end a line.
struct LineCountState {
    bool atLineStart = true;
    bool afterCr = false; // the previous byte was a CR that ended a line
};

// Position of the first `c` in data[from, size), or `size`.
std::size_t findByte(const char* data, std::size_t from, std::size_t size, char c) {
    const void* found = std::memchr(data + from, c, size - from);
    return found == nullptr ? size
                            : static_cast<std::size_t>(static_cast<const char*>(found) - data);
}

// Counts the lines that start in `chunk`. Returns false when a zero byte ended the text.
// The plain bytes between line breaks are skipped with memchr; the next position of each
// special byte is remembered, so that every byte is scanned a bounded number of times.
bool countLines(std::string_view chunk, LineCountState& state, std::int64_t& count) {
    const char* data = chunk.data();
    const std::size_t size = chunk.size();
    std::size_t nextLf = findByte(data, 0, size, '\n');
    std::size_t nextCr = findByte(data, 0, size, '\r');
    std::size_t nextNul = findByte(data, 0, size, '\0');
    std::size_t i = 0;
    while (i < size) {
        const char c = data[i];
        if (c == '\0') {
            return false;
        }
        if (state.afterCr) {
            state.afterCr = false;
            if (c == '\n') {
                ++i; // the LF of a CR LF pair
                continue;
            }
        }
        if (state.atLineStart) {
            ++count;
            state.atLineStart = false;
        }
        if (c == '\r' || c == '\n') {
            state.atLineStart = true;
            state.afterCr = c == '\r';
            ++i;
            continue;
        }
        ++i;
        if (nextLf < i) {
            nextLf = findByte(data, i, size, '\n');
        }
        if (nextCr < i) {
            nextCr = findByte(data, i, size, '\r');
        }
        if (nextNul < i) {
            nextNul = findByte(data, i, size, '\0');
        }
        i = std::min({nextLf, nextCr, nextNul});
    }
    return true;
}

} // namespace

std::string_view trimBlanks(std::string_view text) {
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && isBlank(text[begin])) {
        ++begin;
    }
    while (end > begin && isBlank(text[end - 1])) {
        --end;
    }
    return text.substr(begin, end - begin);
}

// ---------------------------------------------------------------- settings file

SettingsFile SettingsFile::load(const fs::path& file) {
    // Like the platform's profile reader, a file that cannot be opened has no values.
    std::ifstream in(file, std::ios::binary);
    if (!in.is_open()) {
        return SettingsFile();
    }
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) {
        return SettingsFile();
    }
    try {
        return parse(decodePackageText(bytes));
    } catch (const CodePageError& error) {
        throw CodePageError(file.string() + ": " + error.what());
    }
}

SettingsFile SettingsFile::parse(std::string_view utf8Text) {
    SettingsFile settings;
    std::map<std::string, std::string>* section = nullptr;
    std::size_t pos = 0;
    while (pos < utf8Text.size()) {
        std::size_t end = utf8Text.find_first_of("\r\n", pos);
        if (end == std::string_view::npos) {
            end = utf8Text.size();
        }
        const std::string_view line = trimBlanks(utf8Text.substr(pos, end - pos));
        pos = end + 1;

        if (line.empty() || line.front() == ';') {
            continue;
        }
        if (line.front() == '[') {
            const std::size_t close = line.find(']');
            const std::string_view name = trimBlanks(
                line.substr(1, close == std::string_view::npos ? line.size() - 1 : close - 1));
            section = &settings.m_sections[foldName(name)];
            continue;
        }
        const std::size_t equals = line.find('=');
        if (section == nullptr || equals == std::string_view::npos) {
            continue; // a value outside any section, or a line that is no assignment
        }
        const std::string key = foldName(trimBlanks(line.substr(0, equals)));
        // The first occurrence of a key wins, as with the platform's reader.
        section->try_emplace(key, trimBlanks(line.substr(equals + 1)));
    }
    return settings;
}

std::optional<std::string> SettingsFile::value(std::string_view section,
                                               std::string_view key) const {
    const auto foundSection = m_sections.find(foldName(section));
    if (foundSection == m_sections.end()) {
        return std::nullopt;
    }
    const auto foundKey = foundSection->second.find(foldName(key));
    if (foundKey == foundSection->second.end()) {
        return std::nullopt;
    }
    return foundKey->second;
}

std::string readUpdateList(const fs::path& programFolder) {
    const fs::path file = resolveCaseInsensitive(programFolder, kSettingsFileName);
    return SettingsFile::load(file).value(kUpdateListSection, kUpdateListKey).value_or("");
}

// ---------------------------------------------------------------- update list

std::vector<std::string> splitUpdateList(std::string_view list) {
    // A zero byte ends the text, as it ends a value of the settings file.
    list = list.substr(0, list.find('\0'));
    // The list is UTF-8: bytes of multi-byte characters are all 0x80 or above, so they can
    // never be taken for a blank, a comma or a quote.
    std::vector<std::string> items;
    const std::size_t size = list.size();
    std::size_t pos = 0;
    auto skipBlanks = [&] {
        while (pos < size && isBlank(list[pos])) {
            ++pos;
        }
    };

    skipBlanks();
    while (pos < size) {
        std::string item;
        if (list[pos] == '"') {
            // Quoted: up to the next quote that is not doubled; an unclosed quote takes
            // the rest of the value.
            ++pos;
            while (pos < size) {
                const std::size_t quote = list.find('"', pos);
                if (quote == std::string_view::npos) {
                    item.append(list.substr(pos));
                    pos = size;
                    break;
                }
                item.append(list.substr(pos, quote - pos));
                if (quote + 1 < size && list[quote + 1] == '"') {
                    item.push_back('"');
                    pos = quote + 2;
                } else {
                    pos = quote + 1;
                    break;
                }
            }
        } else {
            const std::size_t start = pos;
            while (pos < size && !isBlank(list[pos]) && list[pos] != ',') {
                ++pos;
            }
            item.assign(list.substr(start, pos - start));
        }
        items.push_back(std::move(item));

        skipBlanks();
        if (pos < size && list[pos] == ',') {
            if (pos + 1 == size) {
                items.emplace_back(); // a comma as the last byte adds one more, empty item
            }
            ++pos;
            skipBlanks();
        }
    }
    return items;
}

UpdateEntry splitEntry(std::string_view item) {
    const std::size_t colon = item.find(':');
    if (colon == std::string_view::npos) {
        return {std::string(), std::string(item)};
    }
    return {std::string(item.substr(0, colon)), std::string(item.substr(colon + 1))};
}

// ---------------------------------------------------------------- line-mode scripts

ScriptLineReader::ScriptLineReader(const fs::path& file) : m_path(file), m_buffer(kChunkSize) {
    openForReading(m_in, m_path);
}

bool ScriptLineReader::fill() {
    if (m_eof) {
        return false;
    }
    m_pos = 0;
    m_end = readChunk(m_in, m_path, m_buffer.data(), m_buffer.size());
    if (m_first) {
        m_first = false;
        // Make sure a byte-order mark cut by a short read is still seen whole.
        while (m_end < 3) {
            const std::size_t more =
                readChunk(m_in, m_path, m_buffer.data() + m_end, m_buffer.size() - m_end);
            if (more == 0) {
                break;
            }
            m_end += more;
        }
        if (startsWithUtf8Bom(std::string_view(m_buffer.data(), m_end))) {
            m_pos = 3;
        }
    }
    if (m_end == 0) {
        m_eof = true;
        return false;
    }
    // Ctrl-Z ends the file: nothing after it is read.
    if (const void* stop = std::memchr(m_buffer.data() + m_pos, kCtrlZ, m_end - m_pos)) {
        m_end = static_cast<std::size_t>(static_cast<const char*>(stop) - m_buffer.data());
        m_eof = true;
    }
    return true;
}

bool ScriptLineReader::next(std::string& line) {
    line.clear();
    bool started = false; // some byte of this line has been consumed
    for (;;) {
        if (m_pos >= m_end && !fill()) {
            return started;
        }
        if (m_pos >= m_end) {
            continue; // a chunk that held nothing but the byte-order mark
        }
        started = true;
        const char* begin = m_buffer.data() + m_pos;
        const std::size_t available = m_end - m_pos;
        const void* feed = std::memchr(begin, '\n', available);
        const std::size_t length =
            feed == nullptr ? available : static_cast<const char*>(feed) - begin;

        // Every CR is dropped: one before the LF belongs to the line break, a lone one is
        // dropped and the line goes on.
        const char* piece = begin;
        const char* const pieceEnd = begin + length;
        while (piece < pieceEnd) {
            const void* cr = std::memchr(piece, '\r', static_cast<std::size_t>(pieceEnd - piece));
            const char* stop = cr == nullptr ? pieceEnd : static_cast<const char*>(cr);
            line.append(piece, static_cast<std::size_t>(stop - piece));
            piece = cr == nullptr ? pieceEnd : stop + 1;
        }

        if (feed != nullptr) {
            m_pos += length + 1;
            return true;
        }
        m_pos = m_end;
    }
}

ScriptSurvey surveyScript(const fs::path& file) {
    std::ifstream in;
    openForReading(in, file);
    std::vector<char> buffer(kChunkSize);

    ScriptSurvey survey;
    Utf8Validator validator;
    bool bom = false;
    bool first = true;
    bool textEnded = false;  // a zero byte ends the text for counting
    bool beforeCtrlZ = true; // the encoding looks only at bytes before Ctrl-Z
    LineCountState state;

    for (;;) {
        std::size_t size = readChunk(in, file, buffer.data(), buffer.size());
        if (first) {
            first = false;
            while (size > 0 && size < 3) {
                const std::size_t more =
                    readChunk(in, file, buffer.data() + size, buffer.size() - size);
                if (more == 0) {
                    break;
                }
                size += more;
            }
            bom = startsWithUtf8Bom(std::string_view(buffer.data(), size));
        }
        if (size == 0) {
            break;
        }
        const char* data = buffer.data();

        if (beforeCtrlZ && !bom) {
            const void* stop = std::memchr(data, kCtrlZ, size);
            const std::size_t upTo = stop == nullptr ? size : static_cast<const char*>(stop) - data;
            validator.feed(std::string_view(data, upTo));
            beforeCtrlZ = stop == nullptr;
        }

        if (!textEnded) {
            textEnded = !countLines(std::string_view(data, size), state, survey.lineCount);
        }

        if (textEnded && (!beforeCtrlZ || bom)) {
            break; // nothing more to learn from the rest of the file
        }
    }
    const bool utf8 = bom || (validator.finish() && validator.sawNonAscii());
    survey.encoding = utf8 ? TextEncoding::Utf8 : TextEncoding::Gbk;
    return survey;
}

} // namespace pupdate
