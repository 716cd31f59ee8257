// The TDS test server as a child process of the test program (Linux).

#include "tds_test_server.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace pupdate::testing {

namespace fs = std::filesystem;

namespace {

// Debian's interpreter: the server uses the standard library only.
constexpr const char* kPython = "/usr/bin/python3";

std::string systemError(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

} // namespace

TdsTestServer::TdsTestServer(TdsServerOptions options)
    : m_dataDir(m_folder / "data"), m_log(m_folder / "server.jsonl"),
      m_control(m_folder / "control.json") {
    fs::create_directories(m_dataDir);
    writeFile(m_control, "{\"failures\": []}\n");

    std::vector<std::string> arguments = {kPython,
                                          P_UPDATE_TDS_SERVER,
                                          "--port",
                                          "0",
                                          "--data-dir",
                                          m_dataDir.string(),
                                          "--log",
                                          m_log.string(),
                                          "--control",
                                          m_control.string(),
                                          "--instance",
                                          options.instance,
                                          "--exit-on-stdin-eof"};
    if (!options.dosDevices.empty()) {
        arguments.push_back("--dos-devices");
        arguments.push_back(options.dosDevices.string());
    }
    if (options.browserPort) {
        arguments.push_back("--browser-port");
        arguments.push_back(std::to_string(*options.browserPort));
    }

    int input[2];
    int output[2];
    if (::pipe2(input, O_CLOEXEC) != 0 || ::pipe2(output, O_CLOEXEC) != 0) {
        throw std::runtime_error(systemError("pipe2"));
    }
    const fs::path errors = m_folder / "server.stderr";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, input[0], 0);
    posix_spawn_file_actions_adddup2(&actions, output[1], 1);
    posix_spawn_file_actions_addopen(&actions, 2, errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    std::vector<char*> argv;
    for (std::string& argument : arguments) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    const int spawned = ::posix_spawn(&m_pid, kPython, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(input[0]);
    ::close(output[1]);
    m_stdin = input[1];
    m_stdout = output[0];
    if (spawned != 0) {
        m_pid = -1;
        stop();
        throw std::runtime_error("cannot start " + std::string(kPython) + ": " +
                                 std::strerror(spawned));
    }

    const std::string first = readLine();
    if (first.empty()) {
        stop();
        throw std::runtime_error("the TDS test server did not start: " + readFile(errors));
    }
    m_port = std::stoi(first);
    if (options.browserPort) {
        m_browserStatus = readLine();
    }
}

TdsTestServer::~TdsTestServer() {
    stop();
}

std::string TdsTestServer::readLine() {
    std::string line;
    char c = 0;
    while (true) {
        const ssize_t got = ::read(m_stdout, &c, 1);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0 || c == '\n') {
            return line;
        }
        line.push_back(c);
    }
}

void TdsTestServer::stop() {
    if (m_stdin >= 0) {
        ::close(m_stdin);
        m_stdin = -1;
    }
    if (m_pid > 0) {
        ::kill(m_pid, SIGTERM);
        int status = 0;
        while (::waitpid(m_pid, &status, 0) < 0 && errno == EINTR) {
        }
        m_pid = -1;
    }
    if (m_stdout >= 0) {
        ::close(m_stdout);
        m_stdout = -1;
    }
}

} // namespace pupdate::testing
