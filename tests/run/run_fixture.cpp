#include "run_fixture.h"

#include "code_page.h"
#include "exception_log.h"

namespace pupdate::testing {

PackageFolder::PackageFolder(const TempDir& dir)
    : m_package(dir / "package"), m_install(dir / "install") {
    std::filesystem::create_directories(m_package);
}

void PackageFolder::writeUpdateList(const std::string& listUtf8) const {
    writeFile(m_package / "Update.ini",
              utf8ToGbkLossy("[Updatefile]\r\n顺序=" + listUtf8 + "\r\n"));
}

void PackageFolder::writeScript(const std::string& name, const std::string& textUtf8,
                                bool asIs) const {
    writeFile(m_package / "UpdateSql" / name, asIs ? textUtf8 : utf8ToGbkLossy(textUtf8));
}

void PackageFolder::writeProgramFile(const std::string& relative, const std::string& bytes) const {
    writeFile(m_package / "UpdatePro" / relative, bytes);
}

std::string PackageFolder::log() const {
    return gbkToUtf8(readFile(m_package / std::string(kExceptionLogName)));
}

RunBench::RunBench(const PackageFolder& folder, const TestDatabase& database)
    : run(person, folder.package()) {
    run.settings().database = database.name();
    run.settings().installFolder = folder.install().string();
    run.setOdbcTemplate(database.odbcTemplate());
}

} // namespace pupdate::testing
