// The PostgreSQL cluster for the Windows test programs. Under Wine they cannot start the
// server themselves: the host starts one (tests/wine/test_services) and hands it over in
// P_UPDATE_TEST_PG_PORT and P_UPDATE_TEST_PG_SOCKET (the cluster's folder, which holds the
// socket that the superuser logs in through; the host's psqlODBC opens it by its Unix name).

#include "databases.h"
#include "environment.h"
#include "utf8_path.h"

#include <cstdlib>
#include <functional>
#include <stdexcept>
#include <windows.h>

namespace pupdate::testing {

PostgresCluster& PostgresCluster::instance() {
    static PostgresCluster cluster(true);
    return cluster;
}

PostgresCluster::PostgresCluster(bool)
    : m_folder(pathFromUtf8(hostServerSetting("P_UPDATE_TEST_PG_SOCKET", "PostgreSQL"))) {
    m_port = std::stoi(hostServerSetting("P_UPDATE_TEST_PG_PORT", "PostgreSQL"));
    m_running = true;
}

PostgresCluster::~PostgresCluster() = default;

void PostgresCluster::start() {
    throw std::logic_error("the host runs the PostgreSQL cluster of the Windows tests");
}

void PostgresCluster::stop() {
    throw std::logic_error("the host runs the PostgreSQL cluster of the Windows tests");
}

void PostgresCluster::stopCleanly() {
    stop();
}

std::filesystem::path PostgresCluster::makeTemplate() {
    throw std::logic_error("the host makes the PostgreSQL cluster of the Windows tests");
}

std::filesystem::path PostgresCluster::readTemplateLocation(const std::filesystem::path&) {
    throw std::logic_error("the host makes the PostgreSQL cluster of the Windows tests");
}

void PostgresCluster::removeTemplate(const std::filesystem::path&) {
    throw std::logic_error("the host makes the PostgreSQL cluster of the Windows tests");
}

std::shared_ptr<void> holdDatabaseName(const std::string& name) {
    // A mutex of the machine named after the database (by a hash: a name may hold '\').
    const std::wstring mutexName =
        L"P_Update.test.database." + std::to_wstring(std::hash<std::string>{}(name));
    const HANDLE mutex = ::CreateMutexW(nullptr, FALSE, mutexName.c_str());
    if (mutex == nullptr) {
        throw std::runtime_error("cannot make the mutex of database " + name);
    }
    // Abandoned by a test program that ended without letting go: held now all the same.
    ::WaitForSingleObject(mutex, INFINITE);
    return std::shared_ptr<void>(mutex, [](void* held) {
        ::ReleaseMutex(held);
        ::CloseHandle(held);
    });
}

} // namespace pupdate::testing
