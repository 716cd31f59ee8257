#include "run_fixture.h"

#include "code_page.h"
#include "exception_log.h"
#include "host_path.h"

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
    writeFile(m_package / "UpdateSql" / pathFromUtf8(name),
              asIs ? textUtf8 : utf8ToGbkLossy(textUtf8));
}

void PackageFolder::writeProgramFile(const std::string& relative, const std::string& bytes) const {
    writeFile(m_package / "UpdatePro" / pathFromUtf8(relative), bytes);
}

std::string PackageFolder::log() const {
    return gbkToUtf8(readFile(m_package / pathFromUtf8(kExceptionLogName)));
}

std::filesystem::path installProgram(const std::filesystem::path& packageFolder) {
    // Named by the build on the host: under Wine a Unix name.
    const std::filesystem::path built = pathFromHost(P_UPDATE_BINARY);
    const std::filesystem::path copy = packageFolder / built.filename();
    std::filesystem::copy_file(built, copy, std::filesystem::copy_options::overwrite_existing);
    return copy;
}

RunBench::RunBench(const PackageFolder& folder, const TestDatabase& database)
    : run(person, folder.package()) {
    run.settings().database = database.name();
    run.settings().installFolder = pathToUtf8(folder.install());
    run.setOdbcTemplate(database.odbcTemplate());
}

} // namespace pupdate::testing
