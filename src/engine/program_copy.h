#pragma once
// The copy of the package's program files (UpdatePro) into the installation folder. Its
// rules are in program_copy.cpp, the file-system calls behind them in file_tree.h. It
// tells of what it could not copy through the run's log, as copy records.

#include "copy_plan.h"
#include "package_check.h"
#include "path_resolve.h"
#include "person.h"
#include "run_log.h"

#include <filesystem>
#include <string>
#include <vector>

namespace pupdate {

class ProgramCopy {
public:
    // Failures go to `log`, progress to a window of `person`.
    ProgramCopy(RunLog& log, Person& person) : m_log(log), m_person(person) {}

    // What of the running package must stay as the run checked it: a folder the copy
    // never writes into, and a file it never replaces.
    void keepFolder(const std::filesystem::path& folder) { m_keptFolders.push_back(folder); }
    void keepFile(const std::filesystem::path& file) { m_keptFiles.push_back(file); }

    // Copies the contents of `source` into `installFolder`, used exactly as typed and made
    // when missing. Every failure is logged and the copy goes on with the rest; a log that
    // cannot be written raises LogWriteError. A request to stop the run ends it between
    // two files or two pieces of a large one.
    void copy(const std::filesystem::path& source, const std::string& installFolder);
    // What copy() would do, decided by the same rules, with nothing written or logged.
    void plan(const std::filesystem::path& source, const std::string& installFolder,
              CopyPlan& plan);

private:
    void copyOrPlan(const std::filesystem::path& source, const std::string& installFolder,
                    CopyPlan* plan);

    RunLog& m_log;
    Person& m_person;
    std::vector<std::filesystem::path> m_keptFolders;
    std::vector<std::filesystem::path> m_keptFiles;
};

// Keeps in `copy` what of the running package must stay as the run checked it: its script
// folder, its settings file, its log, its program (`programs`) and the scripts of the
// checked list.
void keepRunningPackage(ProgramCopy& copy, PathResolver& paths,
                        const std::filesystem::path& programFolder,
                        const std::vector<std::filesystem::path>& programs,
                        const CheckedList& checkedList);

} // namespace pupdate
