// Line-mode scripts: read line by line for the runner, and surveyed once for the check
// before the run.

#include "script_file.h"

#include "file_chunks.h"
#include "text.h"

#include <algorithm>
#include <cstring>
#include <system_error>

namespace pupdate {

namespace fs = std::filesystem;

namespace {

constexpr char kCtrlZ = '\x1A';

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

ScriptLineReader::ScriptLineReader(const fs::path& file)
    : m_path(file), m_buffer(new char[kChunkSize]) {
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

// Weighs each line with characters outside ASCII on its own, as the whole file is weighed,
// so that lines written in the other encoding can be told when the file is decided. Lines
// split at LF as the line runner splits them; it is fed the bytes before Ctrl-Z.
class LineReadings {
public:
    void feed(std::string_view bytes) {
        for (std::size_t at = 0; at < bytes.size();) {
            const std::size_t end = bytes.find('\n', at);
            if (end == std::string_view::npos) {
                m_carry.append(bytes.substr(at));
                return;
            }
            // A line within the piece is weighed where it lies.
            if (m_carry.empty()) {
                endLine(bytes.substr(at, end - at));
            } else {
                m_carry.append(bytes.substr(at, end - at));
                endLine(m_carry);
            }
            at = end + 1;
        }
    }
    void finish() {
        if (!m_carry.empty()) {
            endLine(m_carry);
        }
    }
    // The lines that read as more plausible text in the encoding other than `chosen`.
    void tell(TextEncoding chosen, ScriptSurvey& survey) const {
        const Lines& other = chosen == TextEncoding::Gbk ? m_utf8 : m_gbk;
        survey.otherEncodingLines = other.count;
        survey.firstOtherEncodingLine = other.first;
    }

private:
    struct Lines {
        std::int64_t count = 0;
        std::int64_t first = 0;
        void add(std::int64_t line) { first = count++ == 0 ? line : first; }
    };

    void endLine(std::string_view line) {
        if (hasNonAscii(line)) {
            EncodingDetector detector;
            detector.feed(line);
            const TextEncoding encoding = detector.finish();
            const EncodingDetector::Decision decision = detector.decision();
            // Only a line both readings take: one that is not text in the file's encoding
            // is told as such when it runs.
            if (decision.weighed() && decision.gbkCost != decision.utf8Cost) {
                (encoding == TextEncoding::Gbk ? m_gbk : m_utf8).add(m_line);
            }
        }
        m_carry.clear();
        ++m_line;
    }

    std::string m_carry;
    std::int64_t m_line = 1;
    Lines m_gbk;
    Lines m_utf8;
};

std::string otherEncodingLinesText(const ScriptSurvey& survey) {
    const char* chosen = encodingName(survey.encoding);
    const char* other =
        encodingName(survey.encoding == TextEncoding::Gbk ? TextEncoding::Utf8 : TextEncoding::Gbk);
    return "脚本文件中有 " + std::to_string(survey.otherEncodingLines) + " 行按 " + chosen +
           " 读是生僻字符，按 " + other + " 读是常用文字，可能是用 " + other + " 写的（第 " +
           std::to_string(survey.firstOtherEncodingLine) + " 行起）；这些行仍按 " + chosen +
           " 执行";
}

ScriptSurvey surveyScript(const fs::path& file, SqlDialect dialect) {
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
    LineReadings lines;

    for (;;) {
        const std::size_t size = readChunk(in, file, buffer.data(), buffer.size());
        std::size_t from = 0;
        if (first) {
            first = false;
            mark = byteOrderMark(std::string_view(buffer.data(), size));
            from = mark ? mark->length : 0;
            scan.emplace(mark ? std::optional(mark->encoding) : std::nullopt, dialect);
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
            lines.feed(chunk.substr(0, upTo));
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
        lines.finish();
        lines.tell(survey.encoding, survey);
    }
    if (scan) {
        survey.transactionStatement = scan->finish(survey.encoding);
    }
    return survey;
}

} // namespace pupdate
