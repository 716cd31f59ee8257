#pragma once
// The two ways of running one script: line by line over ADOCONN inside the walk's
// transaction, or handed to the server's osql through xp_cmdshell on ADOCONN1 after the
// walk has committed what is open. Each shows its own progress window.

#include "odbc.h"
#include "package_check.h"
#include "person.h"
#include "run_log.h"
#include "script_walk.h"

#include <filesystem>
#include <string_view>

namespace pupdate {

class ScriptRunners {
public:
    ScriptRunners(odbc::Connection& adoconn, odbc::Connection& adoconn1, ScriptWalk& walk,
                  Person& person, RunLog& log)
        : m_adoconn(adoconn), m_adoconn1(adoconn1), m_walk(walk), m_person(person), m_log(log) {}

    // Line mode: every line of the script is one statement; a statement that fails is
    // logged and skipped, unless the connection or the walk's transaction is gone with it.
    void runLineMode(const UpdateEntryPlan& entry);
    // Server-side mode: commits what the walk has open, then has the server run osql on
    // the script in `database`; errors the tool reports are logged.
    void runServerSide(const std::filesystem::path& path, std::string_view database);

private:
    odbc::Connection& m_adoconn;
    odbc::Connection& m_adoconn1;
    ScriptWalk& m_walk;
    Person& m_person;
    RunLog& m_log;
};

} // namespace pupdate
