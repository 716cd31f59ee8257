// The program as a child process on POSIX systems: fork and exec with the arguments as
// given, its standard streams set up in the child.

#include "program_process.h"
#include "temp_dir.h"

#include <cerrno>
#include <fcntl.h>
#include <signal.h>
#include <stdexcept>
#include <sys/wait.h>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace pupdate::testing {

namespace fs = std::filesystem;

ProgramProcess::ProgramProcess(fs::path program, std::string odbcTemplate, fs::path scratch)
    : m_program(std::move(program)), m_odbcTemplate(std::move(odbcTemplate)),
      m_scratch(std::move(scratch)) {
    fs::create_directories(m_scratch);
}

namespace {

// Writes all of `input` to `fd`; a program that has already ended must not end this test
// program with SIGPIPE.
void writeAll(int fd, const std::string& input) {
    struct sigaction ignore {};
    struct sigaction previous {};
    ignore.sa_handler = SIG_IGN;
    ::sigaction(SIGPIPE, &ignore, &previous);
    for (std::size_t written = 0; written < input.size();) {
        const ssize_t put = ::write(fd, input.data() + written, input.size() - written);
        if (put < 0) {
            if (errno == EINTR) {
                continue;
            }
            break; // the program is gone; wait() tells the rest
        }
        written += static_cast<std::size_t>(put);
    }
    ::sigaction(SIGPIPE, &previous, nullptr);
}

} // namespace

ProgramProcess::~ProgramProcess() {
    if (m_input >= 0) {
        ::close(static_cast<int>(m_input));
    }
    if (m_process > 0 && !m_ended) {
        ::kill(static_cast<pid_t>(m_process), SIGKILL);
        ::waitpid(static_cast<pid_t>(m_process), nullptr, 0);
    }
}

void ProgramProcess::start(const std::vector<std::string>& arguments, const std::string& input,
                           ProgramStreams streams) {
    writeFile(m_scratch / "stdin", input);
    const bool inputPipe = streams.input != ProgramStreams::Input::File;
    std::vector<std::string> argv{m_program.string()};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    std::vector<char*> pointers;
    for (std::string& argument : argv) {
        pointers.push_back(argument.data());
    }
    pointers.push_back(nullptr);
    const std::string in = (m_scratch / "stdin").string();
    const std::string out = (m_scratch / "stdout").string();
    const std::string err = (m_scratch / "stderr").string();
    int inputEnds[2] = {-1, -1};
    if (inputPipe && ::pipe2(inputEnds, O_CLOEXEC) != 0) {
        throw std::system_error(errno, std::generic_category(), "pipe");
    }
    int outputPipe[2] = {-1, -1};
    if (streams.output == ProgramStreams::Output::BrokenPipe) {
        if (::pipe2(outputPipe, O_CLOEXEC) != 0) {
            throw std::system_error(errno, std::generic_category(), "pipe");
        }
        ::close(outputPipe[0]); // nobody will ever read
    }

    const pid_t pid = ::fork();
    if (pid < 0) {
        throw std::system_error(errno, std::generic_category(), "fork");
    }
    if (pid == 0) {
        const int inFd = inputPipe ? inputEnds[0] : ::open(in.c_str(), O_RDONLY);
        const int outFd = streams.output == ProgramStreams::Output::BrokenPipe
                              ? outputPipe[1]
                              : ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int errFd = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (inFd < 0 || outFd < 0 || errFd < 0) {
            ::_exit(126);
        }
        ::dup2(inFd, 0);
        ::dup2(outFd, 1);
        ::dup2(errFd, 2);
        ::closefrom(3);
        if (streams.output == ProgramStreams::Output::Closed) {
            ::close(1);
        }
        // What a shell gives a program, whatever this test program does with the signal.
        ::signal(SIGPIPE, SIG_DFL);
        // The console front end, whatever display the tests may have.
        ::unsetenv("DISPLAY");
        ::unsetenv("WAYLAND_DISPLAY");
        if (streams.consoleRequested) {
            ::setenv("P_UPDATE_UI", "console", 1);
        } else {
            ::unsetenv("P_UPDATE_UI");
        }
        ::setenv("P_UPDATE_ODBC", m_odbcTemplate.c_str(), 1);
        ::execv(pointers[0], pointers.data());
        ::_exit(127);
    }
    m_process = pid;
    if (inputPipe) {
        ::close(inputEnds[0]);
        m_input = inputEnds[1];
        if (streams.input == ProgramStreams::Input::Pipe) {
            answer(input);
        }
    }
    if (outputPipe[1] >= 0) {
        ::close(outputPipe[1]);
    }
}

void ProgramProcess::answer(const std::string& input) {
    writeAll(static_cast<int>(m_input), input);
    ::close(static_cast<int>(m_input));
    m_input = -1;
}

std::string ProgramProcess::outputSoFar() const {
    return readFile(m_scratch / "stdout");
}

std::string ProgramProcess::errorsSoFar() const {
    return readFile(m_scratch / "stderr");
}

void ProgramProcess::sendSignal(int signalNumber) {
    if (m_process > 0 && !m_ended) {
        ::kill(static_cast<pid_t>(m_process), signalNumber);
    }
}

bool ProgramProcess::running() {
    if (m_ended || m_process <= 0) {
        return false;
    }
    const pid_t pid = static_cast<pid_t>(m_process);
    if (::waitpid(pid, &m_rawStatus, WNOHANG) == pid) {
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
        ::kill(static_cast<pid_t>(m_process), SIGKILL);
        ::waitpid(static_cast<pid_t>(m_process), &m_rawStatus, 0);
        m_ended = true;
        result.hung = true;
    }
    if (WIFEXITED(m_rawStatus)) {
        result.status = WEXITSTATUS(m_rawStatus);
    } else if (WIFSIGNALED(m_rawStatus)) {
        result.signal = WTERMSIG(m_rawStatus);
    }
    result.out = readFile(m_scratch / "stdout");
    result.err = readFile(m_scratch / "stderr");
    return result;
}

} // namespace pupdate::testing
