// Update.ini: the settings file read in each of its plausible readings, and the update
// list taken from it.

#include "settings_file.h"

#include "file_chunks.h"
#include "path_resolve.h"
#include "text.h"
#include "update_package.h"
#include "utf8_path.h"

#include <algorithm>
#include <cerrno>
#include <system_error>

namespace pupdate {

namespace fs = std::filesystem;

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
                section = &sections[foldAsciiCase(name)];
                continue;
            }
            const std::size_t equals = line.find('=');
            if (section == nullptr || equals == std::string_view::npos) {
                continue; // a value outside any section, or a line that is no assignment
            }
            const std::string key = foldAsciiCase(trimBlanks(line.substr(0, equals)));
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
            section->try_emplace(foldAsciiCase(trimBlanks(*key)), Value{std::string(), false});
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
        const auto foundSection = reading.parsed->find(foldAsciiCase(section));
        if (foundSection == reading.parsed->end()) {
            continue;
        }
        const auto foundKey = foundSection->second.find(foldAsciiCase(key));
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
        const bool several = settings.readings().size() > 1;
        setting.notFound = "升级设置文件按 " + tried + (several ? " 读都找不到" : " 读找不到") +
                           "升级列表（[" + std::string(kUpdateListSection) + "] 节的 " +
                           std::string(kUpdateListKey) + "），升级脚本不会执行：" +
                           pathToUtf8(file);
    }
    return setting;
}

} // namespace pupdate
