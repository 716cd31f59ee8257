#pragma once
// A look at an update package as a run would take it, without a database and without
// changing anything: for the person who prepares a package, before it reaches a customer.
// The package is read through the run's own code (the settings file, the list splitting,
// the name resolution, the survey of line-mode scripts, the check before the walk, the
// osql command, the copy's rules); what the run would refuse is an error, what it would
// do but probably not as the author meant is a warning.

#include "code_page.h"
#include "copy_plan.h"
#include "transaction_scan.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pupdate {

// An encoding decided by a cost difference below this is worth a byte-order mark: it is
// the cost of one common hanzi, so one character more or less in the file could turn the
// verdict (every text of the sample scripts that was read in the wrong encoding was
// decided by 3 or less).
inline constexpr std::uint64_t kSmallEncodingMargin = 9;

struct InspectionFinding {
    enum class Severity { Error, Warning };
    Severity severity = Severity::Warning;
    // A short fixed name of the kind of finding, for build pipelines ("transaction-statement").
    std::string code;
    std::filesystem::path file; // empty when it concerns no one file
    std::int64_t line = 0;      // from 1, lines as the line runner reads them; 0 for none
    std::int64_t count = 0;     // lines of this kind in the file, when it concerns lines
    std::string message;        // Chinese, as the program's own messages
};

// One item of the update list.
struct InspectedEntry {
    std::size_t position = 0;   // from 1, in list order, empty items counted
    std::string item;           // as the list gives it
    std::string file;           // before the first colon
    std::string kind;           // after it
    std::filesystem::path path; // the script as the run resolves it (spelling on disk)
    bool exists = false;
    bool otherCase = false; // found only in another letter case
    bool refused = false;   // the run would refuse the package for this item
    // Line mode, once the file has been read:
    bool surveyed = false;
    TextEncoding encoding = TextEncoding::Gbk;
    bool marked = false; // decided by a byte-order mark
    EncodingDetector::Decision decision;
    std::int64_t lines = 0;     // lines the runner sends, one statement each
    bool inTransaction = false; // runs inside the run's transaction (before any server-side entry)
    // Server-side mode: the command handed to the server's shell.
    std::string osqlCommand;
};

struct PackageInspection {
    std::filesystem::path package;
    std::optional<std::filesystem::path> installFolder;
    std::string database; // for the osql command; a stand-in when none was given
    bool databaseGiven = false;

    bool settingsFound = false;
    std::filesystem::path settingsFile;
    std::optional<TextEncoding> listEncoding; // the reading that held the list
    std::vector<TextEncoding> listReadings;
    EncodingDetector::Decision listDecision;
    std::string list; // raw

    bool hasProgramFiles = false;
    bool hasScripts = false;
    bool appliesScripts = false; // UpdateSql exists and the list is not blank

    std::vector<InspectedEntry> entries;
    std::vector<InspectionFinding> findings;
    std::optional<CopyPlan> copyPlan; // with an installation folder, when the package copies

    bool refused() const;
    bool warned() const;
    // 0: the run would go ahead with nothing to warn of; 1: it would refuse the package;
    // 3: it would go ahead, with warnings.
    int exitStatus() const;
};

// Inspects the package in `package`. `installFolder`, when given, is used exactly as an
// operator would type it; `database` stands in the osql command (empty: a stand-in);
// line-mode scripts are read as `dialect` reads them. Nothing is written anywhere and no
// database is opened.
PackageInspection inspectPackage(const std::filesystem::path& package,
                                 const std::optional<std::string>& installFolder,
                                 const std::string& database = std::string(),
                                 SqlDialect dialect = SqlDialect::SqlServer);

} // namespace pupdate
