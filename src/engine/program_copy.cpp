// Copies the package's program files into the installation folder.

#include "ascii_case.h"
#include "path_resolve.h"
#include "update_package.h"
#include "upgrade_run.h"

#include <cstdint>
#include <filesystem>
#include <string>
#include <system_error>
#include <unordered_map>
#include <unordered_set>

namespace pupdate {

namespace fs = std::filesystem;

namespace {

// Counts the files below a folder, for the progress maximum. Unreadable parts count
// as nothing here; the copy itself reports them.
std::int64_t countFiles(const fs::path& folder) {
    std::int64_t count = 0;
    std::error_code error;
    for (fs::recursive_directory_iterator it(folder, error), end; !error && it != end;
         it.increment(error)) {
        if (!it->is_directory(error)) {
            ++count;
        }
    }
    return count;
}

// Copies the contents of one folder into another that exists. Names already in the
// destination are matched without regard to letter case, so "Bin" in the installation
// receives the package's "bin" instead of getting a twin. Every failure is logged and
// the copy goes on with the rest.
class TreeCopy {
public:
    TreeCopy(UpgradeRun& run, Progress& progress) : m_run(run), m_progress(progress) {}

    void copyContents(const fs::path& source, const fs::path& destination) {
        std::error_code error;
        fs::directory_iterator it(source, error);
        if (error) {
            report(fs::filesystem_error("cannot read folder", source, error));
            return;
        }
        const DestinationNames existing = namesIn(destination);
        for (fs::directory_iterator end; it != end; it.increment(error)) {
            if (error) {
                report(fs::filesystem_error("cannot read folder", source, error));
                return;
            }
            const fs::path& from = it->path();
            std::string name = from.filename().string();
            fs::path to = destination / existing.match(name);
            if (it->is_directory(error)) {
                copyFolder(from, to);
            } else {
                copyFile(from, to);
            }
        }
    }

private:
    // The names in a destination folder, looked up exactly first, then case-folded.
    struct DestinationNames {
        std::unordered_set<std::string> exact;
        std::unordered_map<std::string, std::string> folded;

        const std::string& match(const std::string& name) const {
            if (exact.count(name) != 0) {
                return name;
            }
            auto found = folded.find(foldAsciiCase(name));
            return found != folded.end() ? found->second : name;
        }
    };

    static DestinationNames namesIn(const fs::path& folder) {
        DestinationNames names;
        std::error_code error;
        for (fs::directory_iterator it(folder, error), end; !error && it != end;
             it.increment(error)) {
            std::string name = it->path().filename().string();
            names.folded.emplace(foldAsciiCase(name), name);
            names.exact.insert(std::move(name));
        }
        return names;
    }

    void copyFolder(const fs::path& from, const fs::path& to) {
        std::error_code error;
        if (!fs::is_directory(to, error)) {
            fs::create_directory(to, error);
            if (error) {
                report(fs::filesystem_error("cannot create folder", to, error));
                return;
            }
        }
        copyContents(from, to);
    }

    void copyFile(const fs::path& from, const fs::path& to) {
        std::error_code error;
        fs::copy_file(from, to, fs::copy_options::overwrite_existing, error);
        if (error) {
            report(fs::filesystem_error("cannot copy file", from, to, error));
        } else {
            // Keep the file's modification time, as a copy by the platform's shell does.
            auto time = fs::last_write_time(from, error);
            if (!error) {
                fs::last_write_time(to, time, error);
            }
        }
        m_progress.setPosition(++m_copied);
        m_progress.repaint();
    }

    void report(const fs::filesystem_error& failure) { m_run.WriteExceptionLog(failure.what()); }

    UpgradeRun& m_run;
    Progress& m_progress;
    std::int64_t m_copied = 0;
};

} // namespace

void UpgradeRun::CopyProgramFiles() {
    fs::path source;
    if (!findFolder(m_programFolder, kProgramFilesFolder, source)) {
        return;
    }
    // The installation folder is used exactly as typed.
    const fs::path destination(m_settings.installFolder);
    if (m_settings.installFolder.empty()) {
        WriteExceptionLog("cannot copy program files: the installation folder is empty");
        return;
    }

    std::unique_ptr<Progress> progress = m_person.openProgress();
    progress->setMaximum(countFiles(source));
    progress->setText(text::kCopying);
    progress->setPosition(0);
    progress->repaint();

    std::error_code error;
    fs::create_directories(destination, error);
    if (error || !fs::is_directory(destination, error)) {
        if (!error) {
            error = std::make_error_code(std::errc::not_a_directory);
        }
        WriteExceptionLog(
            fs::filesystem_error("cannot create installation folder", destination, error).what());
    } else {
        TreeCopy(*this, *progress).copyContents(source, destination);
    }
    progress->close();
}

} // namespace pupdate
