// The program as a child process on Windows: CreateProcessW with one UTF-16 command line,
// which the program splits by its own rules (GetCommandLineW), its standard handles
// inherited, and no console of its own, as when an installer starts it with redirected
// streams.

#include "code_page.h"
#include "program_process.h"
#include "temp_dir.h"
#include "utf8_path.h"

#include <algorithm>
#include <cwctype>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <windows.h>

namespace pupdate::testing {

namespace fs = std::filesystem;

namespace {

[[noreturn]] void fail(const char* what) {
    throw std::system_error(static_cast<int>(::GetLastError()), std::system_category(), what);
}

HANDLE handleOf(std::intptr_t value) {
    return reinterpret_cast<HANDLE>(value);
}

std::wstring wide(const std::string& utf8) {
    const std::u16string text = utf8ToUtf16(utf8);
    return std::wstring(text.begin(), text.end());
}

// One argument for the program's own splitting rules: one with a blank or a control
// character, or an empty one, goes between double quotes; one that holds a double quote
// is passed as it is, its quotes acting as the rules say. A backslash is an ordinary
// character under these rules and needs nothing.
std::string quotedArgument(const std::string& argument) {
    if (argument.find('"') != std::string::npos) {
        return argument;
    }
    const bool blank =
        argument.empty() || std::any_of(argument.begin(), argument.end(), [](char c) {
            const auto byte = static_cast<unsigned char>(c);
            return byte >= 0x01 && byte <= 0x20;
        });
    return blank ? "\"" + argument + "\"" : argument;
}

// This process's environment with P_UPDATE_ODBC and P_UPDATE_UI as the run needs them,
// sorted by name without regard to letter case as CreateProcessW wants it.
std::wstring environmentBlock(const std::string& odbcTemplate, bool consoleRequested) {
    std::vector<std::wstring> entries;
    wchar_t* block = ::GetEnvironmentStringsW();
    for (const wchar_t* entry = block; entry != nullptr && *entry != L'\0';
         entry += std::wcslen(entry) + 1) {
        const std::wstring text(entry);
        std::wstring name = text.substr(0, text.find(L'=', 1));
        std::transform(name.begin(), name.end(), name.begin(), ::towupper);
        if (name != L"P_UPDATE_ODBC" && name != L"P_UPDATE_UI") {
            entries.push_back(text);
        }
    }
    ::FreeEnvironmentStringsW(block);
    entries.push_back(L"P_UPDATE_ODBC=" + wide(odbcTemplate));
    if (consoleRequested) {
        entries.push_back(L"P_UPDATE_UI=console");
    }
    std::sort(entries.begin(), entries.end(), [](const std::wstring& a, const std::wstring& b) {
        return ::_wcsicmp(a.c_str(), b.c_str()) < 0;
    });
    std::wstring result;
    for (const std::wstring& entry : entries) {
        result += entry;
        result += L'\0';
    }
    result += L'\0';
    return result;
}

// A file handle the program inherits.
HANDLE inheritedFile(const fs::path& file, bool write) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    const HANDLE handle = ::CreateFileW(
        file.c_str(), write ? GENERIC_WRITE : GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
        &inherit, write ? CREATE_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        fail("CreateFileW");
    }
    return handle;
}

// A Windows program's text output ends its lines with CR LF; the tests read '\n'.
std::string withPlainLineEnds(std::string text) {
    std::size_t at = 0;
    while ((at = text.find("\r\n", at)) != std::string::npos) {
        text.erase(at, 1);
    }
    return text;
}

} // namespace

ProgramProcess::ProgramProcess(fs::path program, std::string odbcTemplate, fs::path scratch)
    : m_program(std::move(program)), m_odbcTemplate(std::move(odbcTemplate)),
      m_scratch(std::move(scratch)) {
    fs::create_directories(m_scratch);
}

ProgramProcess::~ProgramProcess() {
    if (m_input != -1) {
        ::CloseHandle(handleOf(m_input));
    }
    if (m_process != -1) {
        if (!m_ended) {
            ::TerminateProcess(handleOf(m_process), 1);
            ::WaitForSingleObject(handleOf(m_process), INFINITE);
        }
        ::CloseHandle(handleOf(m_process));
    }
}

void ProgramProcess::start(const std::vector<std::string>& arguments, const std::string& input,
                           ProgramStreams streams) {
    if (streams.output != ProgramStreams::Output::File) {
        throw std::logic_error("only output into a file is set up on Windows");
    }
    std::string line = quotedArgument(pathToUtf8(m_program));
    for (const std::string& argument : arguments) {
        line += ' ' + quotedArgument(argument);
    }
    std::wstring commandLine = wide(line);
    const std::wstring environment = environmentBlock(m_odbcTemplate, streams.consoleRequested);

    // Only the handles made here are inheritable, and only until the program has them.
    HANDLE in = nullptr;
    HANDLE inputWriter = nullptr;
    if (streams.input == ProgramStreams::Input::File) {
        writeFile(m_scratch / "stdin", input);
        in = inheritedFile(m_scratch / "stdin", false);
    } else {
        SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
        if (!::CreatePipe(&in, &inputWriter, &inherit, 0)) {
            fail("CreatePipe");
        }
        ::SetHandleInformation(inputWriter, HANDLE_FLAG_INHERIT, 0);
    }
    const HANDLE out = inheritedFile(m_scratch / "stdout", true);
    const HANDLE err = inheritedFile(m_scratch / "stderr", true);

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = in;
    startup.hStdOutput = out;
    startup.hStdError = err;
    PROCESS_INFORMATION process{};
    const BOOL started =
        ::CreateProcessW(m_program.c_str(), commandLine.data(), nullptr, nullptr, TRUE,
                         CREATE_UNICODE_ENVIRONMENT | CREATE_NO_WINDOW,
                         const_cast<wchar_t*>(environment.c_str()), nullptr, &startup, &process);
    const DWORD startError = ::GetLastError();
    ::CloseHandle(in);
    ::CloseHandle(out);
    ::CloseHandle(err);
    if (!started) {
        if (inputWriter != nullptr) {
            ::CloseHandle(inputWriter);
        }
        ::SetLastError(startError);
        fail("CreateProcessW");
    }
    ::CloseHandle(process.hThread);
    m_process = reinterpret_cast<std::intptr_t>(process.hProcess);
    if (inputWriter != nullptr) {
        m_input = reinterpret_cast<std::intptr_t>(inputWriter);
        if (streams.input == ProgramStreams::Input::Pipe) {
            answer(input);
        }
    }
}

void ProgramProcess::answer(const std::string& input) {
    const HANDLE pipe = handleOf(m_input);
    for (std::size_t written = 0; written < input.size();) {
        DWORD put = 0;
        if (!::WriteFile(pipe, input.data() + written, static_cast<DWORD>(input.size() - written),
                         &put, nullptr)) {
            break; // the program is gone; wait() tells the rest
        }
        written += put;
    }
    ::CloseHandle(pipe);
    m_input = -1;
}

std::string ProgramProcess::outputSoFar() const {
    return withPlainLineEnds(readFile(m_scratch / "stdout"));
}

std::string ProgramProcess::errorsSoFar() const {
    return withPlainLineEnds(readFile(m_scratch / "stderr"));
}

bool ProgramProcess::running() {
    if (m_ended || m_process == -1) {
        return false;
    }
    if (::WaitForSingleObject(handleOf(m_process), 0) == WAIT_OBJECT_0) {
        DWORD code = 0;
        ::GetExitCodeProcess(handleOf(m_process), &code);
        m_rawStatus = static_cast<int>(code);
        m_ended = true;
    }
    return !m_ended;
}

ProgramResult ProgramProcess::wait(std::chrono::seconds limit) {
    ProgramResult result;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (running() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (!m_ended) {
        ::TerminateProcess(handleOf(m_process), 1);
        ::WaitForSingleObject(handleOf(m_process), INFINITE);
        m_ended = true;
        result.hung = true;
    } else {
        result.status = m_rawStatus;
    }
    result.out = withPlainLineEnds(readFile(m_scratch / "stdout"));
    result.err = withPlainLineEnds(readFile(m_scratch / "stderr"));
    return result;
}

} // namespace pupdate::testing
