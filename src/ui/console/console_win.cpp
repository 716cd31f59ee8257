// The Windows console takes and gives UTF-16 (WriteConsoleW, ReadConsoleW); the engine's
// text is UTF-8. Standard streams that are not a console (pipes, files) carry bytes: what
// is written is UTF-8, and a line read is taken as UTF-8 when it is valid UTF-8 and as
// GBK (the ANSI code page of the packages' platform) otherwise, the rule the package's
// text files follow.

#include "code_page.h"
#include "console.h"
#include "interruption.h"

#include <iostream>
#include <streambuf>
#include <string>
#include <windows.h>

namespace pupdate {

namespace {

bool isConsole(HANDLE handle) {
    DWORD mode = 0;
    return handle != nullptr && handle != INVALID_HANDLE_VALUE && ::GetConsoleMode(handle, &mode);
}

// Lets the console act on the escape sequence that clears the rest of a line, which the
// redrawn progress line uses; false when this console cannot.
bool enableEscapeSequences(HANDLE handle) {
    DWORD mode = 0;
    if (!::GetConsoleMode(handle, &mode)) {
        return false;
    }
    constexpr DWORD kVirtualTerminal = 0x0004; // ENABLE_VIRTUAL_TERMINAL_PROCESSING
    return (mode & kVirtualTerminal) != 0 || ::SetConsoleMode(handle, mode | kVirtualTerminal);
}

// UTF-8 as UTF-16; bytes that are not UTF-8 are shown one character each.
std::u16string toUtf16(std::string_view utf8) {
    try {
        return utf8ToUtf16(utf8);
    } catch (const CodePageError&) {
        return std::u16string(utf8.begin(), utf8.end());
    }
}

// Length of `bytes` without a UTF-8 character cut off at its end.
std::size_t completeUtf8(std::string_view bytes) {
    const std::size_t size = bytes.size();
    for (std::size_t back = 1; back <= 3 && back <= size; ++back) {
        const auto byte = static_cast<unsigned char>(bytes[size - back]);
        if (byte < 0x80) {
            return size;
        }
        if (byte >= 0xC0) {
            const std::size_t length = byte >= 0xF0 ? 4 : byte >= 0xE0 ? 3 : 2;
            return length > back ? size - back : size;
        }
    }
    return size;
}

// Output to a console: UTF-8 in, UTF-16 to WriteConsoleW.
class ConsoleOutput : public std::streambuf {
public:
    explicit ConsoleOutput(HANDLE handle) : m_handle(handle) {
        setp(m_buffer, m_buffer + sizeof m_buffer);
    }
    ~ConsoleOutput() override { write(); }

protected:
    int_type overflow(int_type c) override {
        if (write() != 0) {
            return traits_type::eof();
        }
        if (!traits_type::eq_int_type(c, traits_type::eof())) {
            *pptr() = traits_type::to_char_type(c);
            pbump(1);
        }
        return traits_type::not_eof(c);
    }
    int sync() override { return write(); }

private:
    // Writes the whole characters held; a cut character waits for the rest of its bytes.
    int write() {
        const std::string_view held(pbase(), static_cast<std::size_t>(pptr() - pbase()));
        const std::size_t complete =
            held.size() < sizeof m_buffer ? completeUtf8(held) : held.size();
        const std::u16string wide = toUtf16(held.substr(0, complete));
        const wchar_t* data = reinterpret_cast<const wchar_t*>(wide.data());
        std::size_t left = wide.size();
        int result = 0;
        while (left > 0) {
            DWORD written = 0;
            if (!::WriteConsoleW(m_handle, data, static_cast<DWORD>(left), &written, nullptr) ||
                written == 0) {
                result = -1;
                break;
            }
            data += written;
            left -= written;
        }
        const std::string rest(held.substr(complete));
        setp(m_buffer, m_buffer + sizeof m_buffer);
        for (const char c : rest) {
            *pptr() = c;
            pbump(1);
        }
        return result;
    }

    HANDLE m_handle;
    char m_buffer[1024];
};

// Input typed at a console: UTF-16 lines from ReadConsoleW, given out as UTF-8.
class ConsoleInput : public std::streambuf {
public:
    explicit ConsoleInput(HANDLE handle) : m_handle(handle) {}

protected:
    int_type underflow() override {
        if (gptr() < egptr()) {
            return traits_type::to_int_type(*gptr());
        }
        wchar_t wide[512];
        DWORD read = 0;
        // Ctrl-C or Ctrl-Break ends the read; whatever was typed before it is no answer.
        if (interruptionRequested() || !::ReadConsoleW(m_handle, wide, 512, &read, nullptr) ||
            read == 0 || interruptionRequested()) {
            return traits_type::eof();
        }
        std::u16string text = m_pendingSurrogate;
        m_pendingSurrogate.clear();
        text.append(reinterpret_cast<const char16_t*>(wide), read);
        // Ctrl+Z at the start of a line ends the input, as it does for a console program.
        if (text.front() == u'\x1A') {
            return traits_type::eof();
        }
        if (text.back() >= 0xD800 && text.back() <= 0xDBFF) {
            m_pendingSurrogate = text.back();
            text.pop_back();
        }
        m_text = utf16ToUtf8(text);
        setg(m_text.data(), m_text.data(), m_text.data() + m_text.size());
        return gptr() < egptr() ? traits_type::to_int_type(*gptr()) : underflow();
    }

private:
    HANDLE m_handle;
    std::string m_text;
    std::u16string m_pendingSurrogate;
};

// Input from a pipe or a file: bytes, converted line by line.
class ByteInput : public std::streambuf {
public:
    explicit ByteInput(HANDLE handle) : m_handle(handle) {}

protected:
    int_type underflow() override {
        if (gptr() < egptr()) {
            return traits_type::to_int_type(*gptr());
        }
        std::string line;
        if (!nextLine(line)) {
            return traits_type::eof();
        }
        if (line.size() >= 2 && line.compare(line.size() - 2, 2, "\r\n") == 0) {
            line.erase(line.size() - 2, 1);
        }
        m_text = line;
        if (!isValidUtf8(line)) {
            try {
                m_text = gbkToUtf8(line);
            } catch (const CodePageError&) {
                // Neither UTF-8 nor GBK: the bytes as they came.
            }
        }
        setg(m_text.data(), m_text.data(), m_text.data() + m_text.size());
        return traits_type::to_int_type(*gptr());
    }

private:
    // The next line with its '\n', or what is left before the end of the input.
    bool nextLine(std::string& line) {
        for (;;) {
            const std::size_t end = m_raw.find('\n');
            if (end != std::string::npos) {
                line = m_raw.substr(0, end + 1);
                m_raw.erase(0, end + 1);
                return true;
            }
            char piece[512];
            DWORD read = 0;
            if (m_ended || !::ReadFile(m_handle, piece, sizeof piece, &read, nullptr) ||
                read == 0) {
                m_ended = true;
                line.swap(m_raw);
                m_raw.clear();
                return !line.empty();
            }
            m_raw.append(piece, read);
        }
    }

    HANDLE m_handle;
    std::string m_raw;
    std::string m_text;
    bool m_ended = false;
};

} // namespace

void protectStandardStreams() {
    // Windows raises no signal for a pipe whose reader has gone, and a standard handle
    // that is missing or closed makes its writes fail quietly: the stream buffers above
    // report such failures to their streams, which the program does not look at.
}

ConsoleStreams standardConsole() {
    const HANDLE input = ::GetStdHandle(STD_INPUT_HANDLE);
    const HANDLE output = ::GetStdHandle(STD_OUTPUT_HANDLE);
    const HANDLE error = ::GetStdHandle(STD_ERROR_HANDLE);
    const bool inConsole = isConsole(input);
    const bool outConsole = isConsole(output);
    const bool errConsole = isConsole(error);

    static ConsoleInput consoleIn(input);
    static ByteInput bytesIn(input);
    static ConsoleOutput consoleOut(output);
    static ConsoleOutput consoleErr(error);
    static std::istream in(inConsole ? static_cast<std::streambuf*>(&consoleIn) : &bytesIn);
    static std::ostream out(outConsole ? &consoleOut : std::cout.rdbuf());
    static std::ostream err(errConsole ? &consoleErr : std::cerr.rdbuf());
    // A console that cannot clear the rest of a line gets one progress line per change.
    return {in, out, err, inConsole, errConsole && enableEscapeSequences(error)};
}

bool graphicalDisplay() {
    // The console program, P_Update.com, shows no window: every run is a console run. The
    // window program is P_Update.exe.
    return false;
}

} // namespace pupdate
