// Reading the update package: the settings file with its update list, the splitting of
// the list into entries, and the line-by-line reading of line-mode scripts.

#include "update_package.h"

#include "path_resolve.h"
#include "utf8_path.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
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
                            std::string("cannot ") + action + " " + pathToUtf8(file));
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
    bool afterCr = false; // the previous unit was a CR that ended a line

    // Takes the next unit of the text (not a zero), counting the line it starts.
    void take(unsigned unit, std::int64_t& count) {
        if (afterCr) {
            afterCr = false;
            if (unit == '\n') {
                return; // the LF of a CR LF pair
            }
        }
        if (atLineStart) {
            ++count;
            atLineStart = false;
        }
        if (unit == '\r' || unit == '\n') {
            atLineStart = true;
            afterCr = unit == '\r';
        }
    }
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
        state.take(static_cast<unsigned char>(c), count);
        ++i;
        if (c == '\r' || c == '\n') {
            continue;
        }
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

namespace {

// The code units of one raw line of a settings file: bytes, or UTF-16 units.
class RawLine {
public:
    RawLine(std::string_view bytes, TextEncoding encoding)
        : m_bytes(bytes), m_width(isWide(encoding) ? 2 : 1),
          m_bigEndian(encoding == TextEncoding::Utf16Be) {}

    std::size_t size() const { return m_bytes.size() / m_width; }
    unsigned at(std::size_t i) const {
        const char* data = m_bytes.data() + i * m_width;
        return m_width == 1 ? static_cast<unsigned char>(data[0]) : utf16Unit(data, m_bigEndian);
    }
    std::string_view units(std::size_t from, std::size_t to) const {
        return m_bytes.substr(from * m_width, (to - from) * m_width);
    }
    // The first unit that is not a blank (0x01-0x20), or size().
    std::size_t firstNonBlank() const {
        std::size_t i = 0;
        while (i < size() && at(i) >= 0x01 && at(i) <= 0x20) {
            ++i;
        }
        return i;
    }
    std::size_t find(char c) const {
        for (std::size_t i = 0; i < size(); ++i) {
            if (at(i) == static_cast<unsigned char>(c)) {
                return i;
            }
        }
        return std::string_view::npos;
    }

    static bool isWide(TextEncoding encoding) {
        return encoding == TextEncoding::Utf16Le || encoding == TextEncoding::Utf16Be;
    }

private:
    std::string_view m_bytes;
    std::size_t m_width;
    bool m_bigEndian;
};

std::optional<std::string> tryDecode(std::string_view bytes, TextEncoding encoding) {
    try {
        return decodeLine(bytes, encoding);
    } catch (const CodePageError&) {
        return std::nullopt;
    }
}

std::string reasonOf(int error) {
    return std::error_code(error, std::generic_category()).message();
}

} // namespace

SettingsFile SettingsFile::load(const fs::path& file) {
    const std::string shown = pathToUtf8(file);
    std::error_code error;
    const fs::file_status status = fs::status(file, error);
    if (status.type() == fs::file_type::not_found) {
        return SettingsFile();
    }
    if (error) {
        throw PackageError("无法访问升级设置文件 " + shown + "：" + error.message());
    }
    // A FIFO would block the run and a device could be endless: only a file is read.
    if (status.type() != fs::file_type::regular) {
        throw PackageError("升级设置文件不是普通文件：" + shown);
    }
    errno = 0;
    std::ifstream in(file, std::ios::binary);
    if (!in.is_open()) {
        throw PackageError("无法打开升级设置文件 " + shown + "：" +
                           reasonOf(errno != 0 ? errno : EACCES));
    }
    std::string bytes;
    std::vector<char> chunk(kChunkSize);
    try {
        while (const std::size_t got = readChunk(in, file, chunk.data(), chunk.size())) {
            bytes.append(chunk.data(), got);
        }
    } catch (const std::system_error& error) {
        throw PackageError("无法读取升级设置文件 " + shown + "：" + error.code().message());
    }
    return fromBytes(std::move(bytes));
}

SettingsFile SettingsFile::parse(std::string_view bytes) {
    return fromBytes(std::string(bytes));
}

SettingsFile SettingsFile::fromBytes(std::string&& content) {
    SettingsFile settings;
    settings.m_bytes = std::move(content);
    const std::string_view bytes = settings.m_bytes;
    std::size_t skip = 0;
    if (const auto mark = byteOrderMark(bytes)) {
        // The mark's encoding first; but a GBK file may start with bytes that look like a
        // mark, so the rest is also read as a file without one.
        settings.m_readings.push_back({mark->encoding, mark->length, std::nullopt});
        skip = mark->length;
    }
    const std::string_view text = bytes.substr(skip);
    settings.m_holdsText = !trimBlanks(text).empty();
    EncodingDetector detector;
    detector.feed(text);
    const TextEncoding likelier = detector.finish();
    settings.m_decision = detector.decision();
    const TextEncoding other =
        likelier == TextEncoding::Gbk ? TextEncoding::Utf8 : TextEncoding::Gbk;
    for (const TextEncoding encoding : {likelier, other}) {
        const bool tried = std::any_of(
            settings.m_readings.begin(), settings.m_readings.end(), [&](const Reading& reading) {
                return reading.encoding == encoding && reading.skip == skip;
            });
        // Plain ASCII reads the same in both.
        if (!tried && !(encoding == other && isPlainAscii(text))) {
            settings.m_readings.push_back({encoding, skip, std::nullopt});
        }
    }
    return settings;
}

std::vector<TextEncoding> SettingsFile::readings() const {
    std::vector<TextEncoding> encodings;
    for (const Reading& reading : m_readings) {
        encodings.push_back(reading.encoding);
    }
    return encodings;
}

SettingsFile::Sections SettingsFile::parseIn(std::string_view bytes, TextEncoding encoding) {
    Sections sections;
    const RawLine all(bytes, encoding);
    std::map<std::string, Value> unnamed; // a section whose name is not text: never asked for
    std::map<std::string, Value>* section = nullptr;

    std::size_t pos = 0;
    while (pos < all.size()) {
        std::size_t end = pos;
        while (end < all.size() && all.at(end) != '\r' && all.at(end) != '\n') {
            ++end;
        }
        const std::string_view raw = all.units(pos, end);
        pos = end + 1;

        if (const std::optional<std::string> decoded = tryDecode(raw, encoding)) {
            const std::string_view line = trimBlanks(*decoded);
            if (line.empty() || line.front() == ';') {
                continue;
            }
            if (line.front() == '[') {
                const std::size_t close = line.find(']');
                const std::string_view name = trimBlanks(
                    line.substr(1, close == std::string_view::npos ? line.size() - 1 : close - 1));
                section = &sections[foldName(name)];
                continue;
            }
            const std::size_t equals = line.find('=');
            if (section == nullptr || equals == std::string_view::npos) {
                continue; // a value outside any section, or a line that is no assignment
            }
            const std::string key = foldName(trimBlanks(line.substr(0, equals)));
            // The first occurrence of a key wins, as with the platform's reader.
            section->try_emplace(key, Value{std::string(trimBlanks(line.substr(equals + 1)))});
            continue;
        }

        // A line that is not text: only its frame is looked at, which the reading's
        // encoding lets us find without decoding ('[' opens it, '=' is never part of a
        // character).
        const RawLine line(raw, encoding);
        const std::size_t first = line.firstNonBlank();
        if (first >= line.size()) {
            continue;
        }
        if (line.at(first) == '[') {
            unnamed.clear();
            section = &unnamed;
            continue;
        }
        const std::size_t equals = line.find('=');
        if (section == nullptr || equals == std::string_view::npos || line.at(first) == ';') {
            continue;
        }
        if (const auto key = tryDecode(line.units(0, equals), encoding)) {
            section->try_emplace(foldName(trimBlanks(*key)), Value{std::string(), false});
        }
    }
    return sections;
}

std::optional<std::string> SettingsFile::value(std::string_view section, std::string_view key,
                                               TextEncoding* from) const {
    for (const Reading& reading : m_readings) {
        if (!reading.parsed) {
            reading.parsed =
                parseIn(std::string_view(m_bytes).substr(reading.skip), reading.encoding);
        }
        const auto foundSection = reading.parsed->find(foldName(section));
        if (foundSection == reading.parsed->end()) {
            continue;
        }
        const auto foundKey = foundSection->second.find(foldName(key));
        if (foundKey == foundSection->second.end()) {
            continue;
        }
        if (!foundKey->second.decoded) {
            throw CodePageError(std::string("the value is not valid ") +
                                encodingName(reading.encoding) + " text");
        }
        if (from != nullptr) {
            *from = reading.encoding;
        }
        return foundKey->second.text;
    }
    return std::nullopt;
}

UpdateListSetting readUpdateList(const fs::path& programFolder) {
    const fs::path file = resolveCaseInsensitive(programFolder, kSettingsFileName);
    const SettingsFile settings = SettingsFile::load(file);
    std::optional<std::string> list;
    TextEncoding from = TextEncoding::Gbk;
    try {
        list = settings.value(kUpdateListSection, kUpdateListKey, &from);
    } catch (const CodePageError&) {
        throw PackageError("升级设置文件中的升级列表（顺序）不是有效的文本：" + pathToUtf8(file));
    }
    // A zero byte would end the list early and silently drop the entries after it.
    if (list && list->find('\0') != std::string::npos) {
        throw PackageError("升级设置文件中的升级列表（顺序）含有零字节：" + pathToUtf8(file));
    }
    UpdateListSetting setting;
    setting.list = list.value_or("");
    setting.file = file;
    setting.encoding = list ? std::optional(from) : std::nullopt;
    setting.readings = settings.readings();
    setting.decision = settings.decision();
    if (!list && settings.holdsText()) {
        std::string tried;
        for (const TextEncoding encoding : settings.readings()) {
            tried += tried.empty() ? "" : "、";
            tried += encodingName(encoding);
        }
        setting.notFound =
            "升级设置文件按 " + tried + " 读都找不到升级列表（[" + std::string(kUpdateListSection) +
            "] 节的 " + std::string(kUpdateListKey) + "），升级脚本不会执行：" + pathToUtf8(file);
    }
    return setting;
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

ScriptLineReader::ScriptLineReader(const fs::path& file) : m_path(file), m_buffer(new char[kChunkSize]) {
    openForReading(m_in, m_path);
}

unsigned ScriptLineReader::unitAt(std::size_t pos) const {
    return utf16Unit(m_buffer.get() + pos, m_bigEndian);
}

bool ScriptLineReader::fill() {
    if (m_eof) {
        return false;
    }
    m_pos = 0;
    m_end = readChunk(m_in, m_path, m_buffer.get(), kChunkSize);
    if (m_first) {
        m_first = false;
        if (const auto mark = byteOrderMark(std::string_view(m_buffer.get(), m_end))) {
            m_pos = mark->length;
            m_wide = mark->encoding != TextEncoding::Utf8;
            m_bigEndian = mark->encoding == TextEncoding::Utf16Be;
        }
    }
    if (m_end == 0) {
        m_eof = true;
        return false;
    }
    // Ctrl-Z ends the file: nothing after it is read. Every chunk but the last has the
    // buffer's even size, so UTF-16 units never straddle two chunks.
    const std::size_t chunkEnd = m_end;
    const std::size_t unit = m_wide ? 2 : 1;
    if (!m_wide) {
        if (const void* stop = std::memchr(m_buffer.get() + m_pos, kCtrlZ, m_end - m_pos)) {
            m_end = static_cast<std::size_t>(static_cast<const char*>(stop) - m_buffer.get());
            m_eof = true;
        }
    } else {
        for (std::size_t at = m_pos; at + 1 < m_end; at += 2) {
            if (unitAt(at) == static_cast<unsigned char>(kCtrlZ)) {
                m_end = at;
                m_eof = true;
                break;
            }
        }
    }
    // A Ctrl-Z as the last character is the old end-of-file mark; one with more after it
    // hides that rest.
    if (m_eof && (m_end + unit < chunkEnd || m_in.peek() != std::ifstream::traits_type::eof())) {
        // The line in progress when this chunk began, and the line breaks before the Ctrl-Z.
        m_ctrlZLine = m_lines + 1;
        for (std::size_t at = m_pos; at + unit <= m_end; at += unit) {
            m_ctrlZLine += (m_wide ? unitAt(at) : static_cast<unsigned char>(m_buffer[at])) == '\n';
        }
    }
    return true;
}

bool ScriptLineReader::nextWide(std::string& line) {
    line.clear();
    bool started = false;
    for (;;) {
        if (m_pos >= m_end && !fill()) {
            m_lines += started ? 1 : 0;
            return started;
        }
        if (m_pos >= m_end) {
            continue;
        }
        started = true;
        while (m_pos + 1 < m_end) {
            const unsigned unit = unitAt(m_pos);
            m_pos += 2;
            if (unit == '\n') {
                m_pendingCr = false;
                ++m_lines;
                return true;
            }
            if (m_pendingCr) {
                m_pendingCr = false;
                noteLoneCr();
            }
            if (unit == '\r') {
                m_pendingCr = true;
            } else {
                line.append(m_buffer.get() + m_pos - 2, 2);
            }
        }
        if (m_pos < m_end) {
            // A byte left over at the end of the file: kept, so the line cannot be decoded.
            line.push_back(m_buffer[m_pos]);
            m_pos = m_end;
        }
    }
}

bool ScriptLineReader::next(std::string& line) {
    if (m_first && !fill()) {
        line.clear();
        return false;
    }
    if (m_wide) {
        return nextWide(line);
    }
    line.clear();
    bool started = false; // some byte of this line has been consumed
    for (;;) {
        if (m_pos >= m_end && !fill()) {
            m_lines += started ? 1 : 0;
            return started;
        }
        if (m_pos >= m_end) {
            continue; // a chunk that held nothing but the byte-order mark
        }
        started = true;
        const char* begin = m_buffer.get() + m_pos;
        const std::size_t available = m_end - m_pos;
        const void* feed = std::memchr(begin, '\n', available);
        const std::size_t length =
            feed == nullptr ? available : static_cast<const char*>(feed) - begin;

        // Every CR is dropped: one before the LF belongs to the line break, a lone one is
        // dropped and the line goes on.
        const char* piece = begin;
        const char* const pieceEnd = begin + length;
        if (m_pendingCr) {
            // The CR that ended the last chunk is lone unless this one starts with the LF.
            m_pendingCr = false;
            if (length != 0 || feed == nullptr) {
                noteLoneCr();
            }
        }
        while (piece < pieceEnd) {
            const void* cr = std::memchr(piece, '\r', static_cast<std::size_t>(pieceEnd - piece));
            const char* stop = cr == nullptr ? pieceEnd : static_cast<const char*>(cr);
            line.append(piece, static_cast<std::size_t>(stop - piece));
            piece = cr == nullptr ? pieceEnd : stop + 1;
            if (cr != nullptr && piece < pieceEnd) {
                noteLoneCr();
            } else if (cr != nullptr && feed == nullptr) {
                m_pendingCr = true;
            }
        }

        if (feed != nullptr) {
            m_pos += length + 1;
            ++m_lines;
            return true;
        }
        m_pos = m_end;
    }
}

ScriptLineVerdict decodeScriptLine(std::string_view raw, TextEncoding encoding,
                                   std::string& statement) {
    try {
        statement = decodeLine(raw, encoding);
    } catch (const CodePageError&) {
        return ScriptLineVerdict::NotText;
    }
    return statement.find('\0') != std::string::npos ? ScriptLineVerdict::ZeroCharacter
                                                     : ScriptLineVerdict::Runs;
}

void ScriptLineReader::noteLoneCr() {
    ++m_loneCrs;
    if (m_firstLoneCrLine == 0) {
        m_firstLoneCrLine = m_lines + 1;
    }
}

namespace {

// Counts the lines of UTF-16 text the way countLines counts bytes: CR, LF and CR LF end
// a line, a zero unit ends the text. `bytes` holds whole units only.
bool countWideLines(std::string_view bytes, bool bigEndian, LineCountState& state,
                    std::int64_t& count) {
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
        const unsigned unit = utf16Unit(bytes.data() + i, bigEndian);
        if (unit == 0) {
            return false;
        }
        state.take(unit, count);
    }
    return true;
}

} // namespace

ScriptSurvey surveyScript(const fs::path& file) {
    std::ifstream in;
    openForReading(in, file);
    std::vector<char> buffer(kChunkSize);

    ScriptSurvey survey;
    EncodingDetector detector;
    std::optional<ByteOrderMark> mark;
    bool first = true;
    bool textEnded = false;  // a zero byte ends the text for counting
    bool beforeCtrlZ = true; // the encoding looks only at bytes before Ctrl-Z
    LineCountState state;
    std::optional<TransactionStatementScan> scan;

    for (;;) {
        const std::size_t size = readChunk(in, file, buffer.data(), buffer.size());
        std::size_t from = 0;
        if (first) {
            first = false;
            mark = byteOrderMark(std::string_view(buffer.data(), size));
            from = mark ? mark->length : 0;
            scan.emplace(mark ? std::optional(mark->encoding) : std::nullopt);
        }
        if (size == 0) {
            break;
        }
        const std::string_view chunk(buffer.data() + from, size - from);
        scan->feed(chunk);

        if (mark && mark->encoding != TextEncoding::Utf8) {
            if (!textEnded) {
                textEnded = !countWideLines(chunk, mark->encoding == TextEncoding::Utf16Be, state,
                                            survey.lineCount);
            }
            if (textEnded && scan->done()) {
                break;
            }
            continue;
        }
        if (beforeCtrlZ && !mark) {
            const std::size_t upTo = std::min(chunk.size(), chunk.find(kCtrlZ));
            detector.feed(chunk.substr(0, upTo));
            beforeCtrlZ = upTo == chunk.size();
        }
        if (!textEnded) {
            textEnded = !countLines(chunk, state, survey.lineCount);
        }
        if (textEnded && (!beforeCtrlZ || mark) && scan->done()) {
            break; // nothing more to learn from the rest of the file
        }
    }
    survey.encoding = mark ? mark->encoding : detector.finish();
    survey.marked = mark.has_value();
    if (!mark) {
        survey.decision = detector.decision();
    }
    if (scan) {
        survey.transactionStatement = scan->finish(survey.encoding);
    }
    return survey;
}

} // namespace pupdate
