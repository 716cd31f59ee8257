// The private PostgreSQL cluster on Linux: made, started and stopped by the test program.

#include "databases.h"

#include <arpa/inet.h>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <netinet/in.h>
#include <pwd.h>
#include <sstream>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <system_error>
#include <unistd.h>

namespace pupdate::testing {

namespace fs = std::filesystem;

// ---------------------------------------------------------------------------------------
// PostgreSQL

namespace {

constexpr const char* kSystemUser = "postgres";

// The newest installed server's programs, e.g. /usr/lib/postgresql/15/bin.
fs::path serverPrograms() {
    fs::path best;
    int bestVersion = -1;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator("/usr/lib/postgresql", error)) {
        const std::string name = entry.path().filename().string();
        char* end = nullptr;
        const long version = std::strtol(name.c_str(), &end, 10);
        if (end != name.c_str() && *end == '\0' && fs::exists(entry.path() / "bin" / "initdb") &&
            version > bestVersion) {
            bestVersion = static_cast<int>(version);
            best = entry.path() / "bin";
        }
    }
    if (best.empty()) {
        throw std::runtime_error("no PostgreSQL server programs under /usr/lib/postgresql");
    }
    return best;
}

bool runningAsRoot() {
    return ::geteuid() == 0;
}

// Runs a program (as the postgres system user when the tests run as root) with its output
// appended to `log`, and waits for it. Returns the exit status.
int run(std::vector<std::string> arguments, const fs::path& log) {
    if (runningAsRoot()) {
        arguments.insert(arguments.begin(), {"runuser", "-u", kSystemUser, "--"});
    }
    const pid_t child = ::fork();
    if (child < 0) {
        throw std::system_error(errno, std::generic_category(), "fork");
    }
    if (child == 0) {
        const int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        const int in = ::open("/dev/null", O_RDONLY);
        if (out >= 0 && in >= 0) {
            ::dup2(in, 0);
            ::dup2(out, 1);
            ::dup2(out, 2);
        }
        ::closefrom(3);
        if (::chdir(log.parent_path().c_str()) != 0) {
            ::_exit(126);
        }
        std::vector<char*> argv;
        for (auto& argument : arguments) {
            argv.push_back(argument.data());
        }
        argv.push_back(nullptr);
        ::execvp(argv[0], argv.data());
        ::_exit(127);
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) {
            throw std::system_error(errno, std::generic_category(), "waitpid");
        }
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::string readText(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// A TCP port on 127.0.0.1 that nobody listens on at this moment.
int freePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) {
        throw std::system_error(errno, std::generic_category(), "socket");
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof address;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        const int error = errno;
        ::close(fd);
        throw std::system_error(error, std::generic_category(), "bind");
    }
    ::close(fd);
    return ntohs(address.sin_port);
}

// Stops the cluster and removes its folder once the test program is gone, however it
// ends (a crash or a kill included): a shell waits for the end of a pipe whose writing
// end only the test program holds.
pid_t startWatcher(const fs::path& bin, const fs::path& folder, int& writeEnd) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        throw std::system_error(errno, std::generic_category(), "pipe");
    }
    std::string stop = "'" + (bin / "pg_ctl").string() + "' -D '" + (folder / "data").string() +
                       "' -m immediate -w stop";
    if (runningAsRoot()) {
        stop = std::string("runuser -u ") + kSystemUser + " -- " + stop;
    }
    std::string script =
        "read line; " + stop + " >/dev/null 2>&1; rm -rf '" + folder.string() + "'";
    const pid_t child = ::fork();
    if (child < 0) {
        throw std::system_error(errno, std::generic_category(), "fork");
    }
    if (child == 0) {
        ::dup2(fds[0], 0);
        const int null = ::open("/dev/null", O_WRONLY);
        if (null >= 0) {
            ::dup2(null, 1);
            ::dup2(null, 2);
        }
        ::closefrom(3);
        ::setsid(); // not in the test program's process group: a group kill spares it
        ::execl("/bin/sh", "sh", "-c", script.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(fds[0]);
    writeEnd = fds[1];
    return child;
}

} // namespace

PostgresCluster& PostgresCluster::instance() {
    static PostgresCluster cluster(true);
    return cluster;
}

namespace {

// A fresh folder under /tmp that the postgres system user owns, so that the server can
// reach it wherever the tests themselves live (a home folder, a private temporary
// folder of mode 0700).
fs::path makeServerFolder(const char* prefix) {
    std::string pattern = std::string("/tmp/") + prefix + "XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw std::system_error(errno, std::generic_category(), "mkdtemp");
    }
    if (runningAsRoot()) {
        const passwd* user = ::getpwnam(kSystemUser);
        if (user == nullptr) {
            throw std::runtime_error("no postgres system user");
        }
        if (::chown(pattern.c_str(), user->pw_uid, user->pw_gid) != 0) {
            throw std::system_error(errno, std::generic_category(), "chown");
        }
    }
    return pattern;
}

fs::path makeClusterFolder() {
    return makeServerFolder("p_update_pg_");
}

// Points the cluster's socket at its own folder; the last setting in the file wins.
void setSocketFolder(const fs::path& folder) {
    std::ofstream conf(folder / "data" / "postgresql.conf", std::ios::app);
    conf << "unix_socket_directories = '" << folder.string() << "'\n";
}

// initdb into folder/data with the settings of a private test cluster.
void initialiseCluster(const fs::path& folder) {
    const fs::path bin = serverPrograms();
    const fs::path data = folder / "data";
    const fs::path log = folder / "setup.log";
    // The superuser logs in only through the private socket (trust); TCP needs a password.
    if (run({(bin / "initdb").string(), "-D", data.string(), "-U", "postgres", "-E", "UTF8",
             "--locale=C", "--auth-local=trust", "--auth-host=scram-sha-256"},
            log) != 0) {
        throw std::runtime_error("initdb failed:\n" + readText(log));
    }
    {
        std::ofstream conf(data / "postgresql.conf", std::ios::app);
        conf << "\n# private test cluster\n"
             << "listen_addresses = '127.0.0.1'\n"
             // Fast without flushing to disk; commits still reach the write-ahead log at
             // once, so they survive an immediate stop.
             << "fsync = off\n"
             << "full_page_writes = off\n"
             << "max_connections = 40\n";
    }
    setSocketFolder(folder);
}

// The cluster made once per test run by the postgres_template test, when it is there:
// copying it is much faster than initdb in every test process. That test writes where
// it is into a file of the build folder.
fs::path templateFolder() {
#ifdef P_UPDATE_PG_TEMPLATE_LOCATION
    const fs::path folder = PostgresCluster::readTemplateLocation(P_UPDATE_PG_TEMPLATE_LOCATION);
    std::error_code error;
    if (!folder.empty() && fs::exists(folder / "data" / "PG_VERSION", error)) {
        return folder;
    }
#endif
    return {};
}

constexpr const char* kTemplatePrefix = "p_update_pg_template_";

} // namespace

fs::path PostgresCluster::makeTemplate() {
    PostgresCluster cluster(false);
    cluster.stopCleanly();
    const fs::path folder = makeServerFolder(kTemplatePrefix);
    if (run({"cp", "-a", (cluster.m_folder / "data").string(), folder.string()},
            cluster.m_folder / "setup.log") != 0) {
        std::error_code ignored;
        fs::remove_all(folder, ignored);
        throw std::runtime_error("cannot copy the template cluster:\n" +
                                 readText(cluster.m_folder / "setup.log"));
    }
    return folder;
}

fs::path PostgresCluster::readTemplateLocation(const fs::path& location) {
    std::string text = readText(location);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
        text.pop_back();
    }
    // Only a folder this code makes is ever taken, or removed.
    const fs::path folder = text;
    if (folder.parent_path() != "/tmp" ||
        folder.filename().string().rfind(kTemplatePrefix, 0) != 0) {
        return {};
    }
    return folder;
}

void PostgresCluster::removeTemplate(const fs::path& location) {
    const fs::path folder = readTemplateLocation(location);
    std::error_code ignored;
    if (!folder.empty()) {
        fs::remove_all(folder, ignored);
    }
    fs::remove(location, ignored);
}

PostgresCluster::PostgresCluster(bool fromTemplate) : m_folder(makeClusterFolder()) {
    const fs::path bin = serverPrograms();
    m_watcher = startWatcher(bin, m_folder, m_watcherPipe);

    const fs::path source = fromTemplate ? templateFolder() : fs::path();
    // A template the postgres user cannot read (a folder it may not enter) is no
    // reason to fail: initdb does the same, only slower.
    if (!source.empty() && run({"cp", "-a", (source / "data").string(), m_folder.string()},
                               m_folder / "setup.log") == 0) {
        setSocketFolder(m_folder);
        start();
        return;
    }
    std::error_code ignored;
    fs::remove_all(m_folder / "data", ignored);
    initialiseCluster(m_folder);
    start();
    odbc::Connection superuser;
    superuser.open("Driver={PostgreSQL Unicode};Servername=" + m_folder.string() +
                   ";Port=" + std::to_string(m_port) + ";Database=postgres;UID=postgres");
    superuser.execute("create role zelt2002 login createdb password 'kp4719'");
}

void PostgresCluster::stopCleanly() {
    run({(serverPrograms() / "pg_ctl").string(), "-D", (m_folder / "data").string(), "-m", "fast",
         "-w", "stop"},
        m_folder / "pg_ctl.log");
    m_running = false;
}

PostgresCluster::~PostgresCluster() {
    std::error_code ignored;
    if (m_running) {
        stop();
    }
    if (m_watcherPipe >= 0) {
        ::close(m_watcherPipe);
        int status = 0;
        ::waitpid(m_watcher, &status, 0);
    }
    fs::remove_all(m_folder, ignored);
}

void PostgresCluster::start() {
    if (m_running) {
        return;
    }
    const fs::path bin = serverPrograms();
    const fs::path data = m_folder / "data";
    // A port found free may be taken before the server binds it; try a few.
    for (int attempt = 0; attempt < 5 && !m_running; ++attempt) {
        const int port = m_port != 0 && attempt == 0 ? m_port : freePort();
        if (run({(bin / "pg_ctl").string(), "-D", data.string(), "-l",
                 (m_folder / "server.log").string(), "-w", "-t", "60", "-o",
                 "-p " + std::to_string(port), "start"},
                m_folder / "pg_ctl.log") == 0) {
            m_port = port;
            m_running = true;
        }
    }
    if (!m_running) {
        throw std::runtime_error("PostgreSQL did not start:\n" + readText(m_folder / "server.log"));
    }
}

void PostgresCluster::stop() {
    if (!m_running) {
        return;
    }
    const fs::path bin = serverPrograms();
    run({(bin / "pg_ctl").string(), "-D", (m_folder / "data").string(), "-m", "immediate", "-w",
         "stop"},
        m_folder / "pg_ctl.log");
    m_running = false;
}

std::shared_ptr<void> holdDatabaseName(const std::string&) {
    return nullptr;
}

} // namespace pupdate::testing
