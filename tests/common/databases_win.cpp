// The PostgreSQL cluster for the Windows test programs. Under Wine they cannot start the
// server themselves: the host starts one (tests/wine/test_services) and hands it over in
// P_UPDATE_TEST_PG_PORT and P_UPDATE_TEST_PG_SOCKET (the cluster's folder, which holds the
// socket that the superuser logs in through; the host's psqlODBC opens it by its Unix name).

#include "databases.h"

#include <cstdlib>
#include <stdexcept>

namespace pupdate::testing {

namespace {

std::string required(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr || *value == '\0') {
        throw std::runtime_error(std::string(name) +
                                 " is not set: run the Windows tests through "
                                 "scripts/test-windows.sh, which starts PostgreSQL on the host");
    }
    return value;
}

} // namespace

PostgresCluster& PostgresCluster::instance() {
    static PostgresCluster cluster(true);
    return cluster;
}

PostgresCluster::PostgresCluster(bool) : m_folder(required("P_UPDATE_TEST_PG_SOCKET")) {
    m_port = std::stoi(required("P_UPDATE_TEST_PG_PORT"));
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

} // namespace pupdate::testing
