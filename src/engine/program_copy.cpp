// Copies the package's program files into the installation folder.
//
// The rules of the copy live here; the file-system calls behind them are in file_tree.h.
// Only regular files and folders are copied; a named pipe, a socket or a device is
// logged and left alone, never opened in a way that waits. The copy never enters its
// own destination: a folder it writes into (the installation folder or one below it) is
// not copied again when the walk meets it inside the package, directly or through a
// link. A file is written beside the one it replaces under a temporary name and takes
// its place only when it is complete, so that a full disk or any other failure on the
// way leaves the installed file as it was. Every failure is logged and the copy goes on
// with the rest.

#include "ascii_case.h"
#include "file_tree.h"
#include "path_resolve.h"
#include "update_package.h"
#include "upgrade_run.h"
#include "utf8_path.h"

#include <cstdint>
#include <filesystem>
#include <random>
#include <string>
#include <system_error>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace pupdate {

namespace fs = std::filesystem;
using filetree::Entry;
using filetree::Folder;
using filetree::Identity;
using filetree::IdentityHash;
using filetree::Kind;

namespace {

std::string failure(const char* what, const fs::path& path, std::error_code error) {
    return pathFailure(what, error, path);
}

std::string failure(const char* what, const fs::path& from, const fs::path& to,
                    std::error_code error) {
    return pathFailure(what, error, from, &to);
}

std::error_code errorCode(std::errc error) {
    return std::make_error_code(error);
}

// The names in a destination folder, looked up exactly first, then case-folded.
class DestinationNames {
public:
    explicit DestinationNames(const Folder& folder) {
        std::vector<Entry> entries;
        std::error_code ignored; // an unreadable destination fails on the first write
        folder.list(entries, ignored);
        for (Entry& entry : entries) {
            m_folded.emplace(foldAsciiCase(entry.name), entry.name);
            m_exact.insert(std::move(entry.name));
        }
    }

    // The name the destination already has for `name`, or null when it has none.
    const std::string* match(const std::string& name) const {
        const auto exact = m_exact.find(name);
        if (exact != m_exact.end()) {
            return &*exact;
        }
        const auto folded = m_folded.find(foldAsciiCase(name));
        return folded != m_folded.end() ? &folded->second : nullptr;
    }

private:
    std::unordered_set<std::string> m_exact;
    std::unordered_map<std::string, std::string> m_folded;
};

// Counts the files below the source folder, for the progress maximum, walking as the
// copy walks. Unreadable parts count as nothing here; the copy itself reports them.
class FileCount {
public:
    explicit FileCount(Identity destination) : m_destination(destination) {}

    std::int64_t count(const Folder& folder) {
        std::error_code error;
        const Identity identity = folder.identity(error);
        if (error || identity == m_destination || m_open.count(identity) != 0) {
            return 0;
        }
        std::vector<Entry> entries;
        folder.list(entries, error);
        m_open.insert(identity);
        std::int64_t files = 0;
        for (const Entry& entry : entries) {
            if (entry.kind != Kind::Folder) {
                ++files;
                continue;
            }
            std::error_code ignored;
            const Folder child = folder.openFolder(entry.name, ignored);
            if (child.isOpen()) {
                files += count(child);
            }
        }
        m_open.erase(identity);
        return files;
    }

private:
    Identity m_destination;
    std::unordered_set<Identity, IdentityHash> m_open;
};

// Copies the contents of one folder into another that exists. Names already in the
// destination are matched without regard to letter case, so "Bin" in the installation
// receives the package's "bin" instead of getting a twin.
class TreeCopy {
public:
    TreeCopy(UpgradeRun& run, Progress& progress) : m_run(run), m_progress(progress) {
        // Temporary names carry a token of this copy, so that they meet nobody's files.
        std::random_device random;
        m_token = std::to_string(random() % 0x1000000);
    }

    // `target` is the installation folder. Every folder the copy writes into is noted
    // before the walk can meet it.
    void copyTree(const Folder& source, const fs::path& sourcePath, const Folder& target,
                  const fs::path& targetPath) {
        if (noteDestination(target, targetPath) && enterFolder(source, sourcePath, targetPath)) {
            copyContents(source, sourcePath, target, targetPath);
            m_openFolders.pop_back();
        }
    }

private:
    void copyContents(const Folder& source, const fs::path& sourcePath, const Folder& target,
                      const fs::path& targetPath) {
        std::vector<Entry> entries;
        std::error_code error;
        if (!source.list(entries, error)) {
            report(failure("cannot read folder", sourcePath, error));
            return;
        }
        const DestinationNames existing(target);
        for (const Entry& entry : entries) {
            const std::string* present = existing.match(entry.name);
            const std::string& name = present != nullptr ? *present : entry.name;
            const fs::path from = sourcePath / pathFromUtf8(entry.name);
            const fs::path to = targetPath / pathFromUtf8(name);
            switch (entry.kind) {
            case Kind::Folder:
                copyFolder(source, from, entry.name, target, to, name);
                break;
            case Kind::Other:
                report(failure("not a regular file or folder, not copied", from, to,
                               errorCode(std::errc::not_supported)));
                advance();
                break;
            case Kind::File:
            case Kind::Unknown: // opening it tells what is wrong
                if (!replaceFile(source, entry.name, target, name, present != nullptr, error)) {
                    report(failure("cannot copy file", from, to, error));
                }
                advance();
                break;
            }
        }
    }

    void copyFolder(const Folder& sourceParent, const fs::path& from, const std::string& fromName,
                    const Folder& targetParent, const fs::path& to, const std::string& toName) {
        std::error_code error;
        const Folder source = sourceParent.openFolder(fromName, error);
        if (!source.isOpen()) {
            report(failure("cannot read folder", from, error));
            return;
        }
        if (!enterFolder(source, from, to)) {
            return;
        }
        const Folder target = targetParent.makeFolder(toName, error);
        if (!target.isOpen()) {
            report(failure("cannot create folder", to, error));
        } else if (noteDestination(target, to)) {
            copyContents(source, from, target, to);
        }
        m_openFolders.pop_back();
    }

    bool noteDestination(const Folder& target, const fs::path& path) {
        std::error_code error;
        const Identity identity = target.identity(error);
        if (error) {
            report(failure("cannot create folder", path, error));
            return false;
        }
        m_destinations.insert(identity);
        return true;
    }

    // A folder the copy writes into is not copied: an installation folder inside the
    // package would otherwise receive itself, level upon level. A folder link back into
    // the package would make the walk endless: a folder that is already being copied
    // further up is not entered again. Both are logged; on true the folder is entered
    // and must be left with m_openFolders.pop_back().
    bool enterFolder(const Folder& folder, const fs::path& path, const fs::path& targetPath) {
        std::error_code error;
        const Identity identity = folder.identity(error);
        if (error) {
            report(failure("cannot read folder", path, error));
            return false;
        }
        if (m_destinations.count(identity) != 0) {
            report(failure("cannot copy the installation folder into itself", path, targetPath,
                           errorCode(std::errc::invalid_argument)));
            return false;
        }
        for (const Identity& open : m_openFolders) {
            if (open == identity) {
                report(failure("folder is inside itself", path,
                               errorCode(std::errc::too_many_symbolic_link_levels)));
                return false;
            }
        }
        m_openFolders.push_back(identity);
        return true;
    }

    // A file that replaces one is written beside it under a temporary name and renamed
    // over it when complete; on failure the temporary file goes and what was installed
    // stays. A file of a new name is written under that name at once (one rename less for
    // each of thousands of files) and removed again on failure, so that no part of it is
    // left either.
    bool replaceFile(const Folder& sourceFolder, const std::string& fromName,
                     const Folder& targetFolder, const std::string& toName, bool replacing,
                     std::error_code& error) {
        const filetree::SourceFile source =
            filetree::SourceFile::open(sourceFolder, fromName, error);
        if (!source.isOpen()) {
            return false;
        }
        if (!replacing) {
            filetree::NewFile file =
                filetree::NewFile::create(targetFolder, toName, source, nullptr, error);
            if (file.isOpen()) {
                if (file.fill(source, error) && file.close(error)) {
                    return true;
                }
                targetFolder.removeFile(toName);
                return false;
            }
            if (error != std::errc::file_exists) {
                return false;
            }
            // Made by somebody else since the folder was listed: replaced like any other.
        }
        std::string temporary;
        filetree::NewFile file;
        for (int attempt = 0; !file.isOpen(); ++attempt) {
            temporary = ".P_Update-" + m_token + "-" + std::to_string(++m_temporaries) + ".tmp";
            file = filetree::NewFile::create(targetFolder, temporary, source, &toName, error);
            if (!file.isOpen() && (error != std::errc::file_exists || attempt == 100)) {
                return false;
            }
        }
        if (file.fill(source, error) && file.close(error) &&
            targetFolder.rename(temporary, toName, error)) {
            return true;
        }
        targetFolder.removeFile(temporary);
        return false;
    }

    void advance() {
        m_progress.setPosition(++m_copied);
        m_progress.repaint();
    }

    void report(const std::string& message) { m_run.WriteExceptionLog(message); }

    UpgradeRun& m_run;
    Progress& m_progress;
    std::string m_token;
    std::uint64_t m_temporaries = 0;
    std::int64_t m_copied = 0;
    std::vector<Identity> m_openFolders; // source folders from the top to here
    std::unordered_set<Identity, IdentityHash> m_destinations; // folders written into
};

} // namespace

void UpgradeRun::CopyProgramFiles() {
    const RunRecords::Step copying(m_records, LogRecordKind::Copy);
    fs::path sourcePath;
    if (!m_paths.findFolder(m_programFolder, kProgramFilesFolder, sourcePath)) {
        return;
    }
    // The installation folder is used exactly as typed.
    const fs::path destination = pathFromUtf8(m_settings.installFolder);
    if (m_settings.installFolder.empty()) {
        WriteExceptionLog("cannot copy program files: the installation folder is empty");
        return;
    }

    std::error_code created;
    fs::create_directories(destination, created);
    std::error_code error;
    const Folder target = Folder::open(destination, error);
    const Folder source = target.isOpen() ? Folder::open(sourcePath, error) : Folder();
    Identity destinationIdentity;
    if (target.isOpen()) {
        std::error_code ignored; // the copy reports it when it notes the folder
        destinationIdentity = target.identity(ignored);
    }

    std::unique_ptr<Progress> progress = m_person.openProgress();
    progress->setMaximum(source.isOpen() ? FileCount(destinationIdentity).count(source) : 0);
    progress->setText(text::kCopying);
    progress->setPosition(0);
    progress->repaint();

    if (!target.isOpen()) {
        WriteExceptionLog(
            failure("cannot create installation folder", destination, created ? created : error));
    } else if (!source.isOpen()) {
        WriteExceptionLog(failure("cannot read folder", sourcePath, error));
    } else {
        TreeCopy(*this, *progress).copyTree(source, sourcePath, target, destination);
    }
    progress->close();
    // The copy may have changed any folder, the package's among them.
    m_paths.forget();
}

} // namespace pupdate
