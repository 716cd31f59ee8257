// Copies the package's program files into the installation folder.
//
// The rules of the copy live here; the file-system calls behind them are in file_tree.h.
// Only regular files and folders are copied; a named pipe, a socket or a device is
// logged and left alone, never opened in a way that waits. The copy never enters its
// own destination: a folder it writes into (the installation folder or one below it) is
// not copied again when the walk meets it inside the package, directly or through a
// link. Nor does it write into the running package: its script folder, its settings file
// and its program stay as the run checked them. Every file is written under a temporary
// name beside its place and takes that place only when it is complete, so that a full
// disk, a killed process or any other failure on the way leaves the installed file as it
// was and no part of a new one under its name. Temporary files that a killed copy left
// are removed by the next copy into their folder. Every failure is logged and the copy
// goes on with the rest; a request to stop the run ends it between two files or two
// pieces of a large one.

#include "program_copy.h"

#include "exception_log.h"
#include "file_tree.h"
#include "interruption.h"
#include "messages.h"
#include "text.h"
#include "update_package.h"
#include "utf8_path.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <filesystem>
#include <map>
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

constexpr std::string_view kTemporaryPrefix = ".P_Update-";
constexpr std::string_view kTemporarySuffix = ".tmp";

// The process that made a temporary file of the copy, read from its name
// ".P_Update-<process>-<start>-<token>-<n>.tmp"; false for any other name.
bool temporaryOwner(std::string_view name, filetree::ProcessStamp& owner) {
    if (!name.starts_with(kTemporaryPrefix) || !name.ends_with(kTemporarySuffix)) {
        return false;
    }
    name.remove_prefix(kTemporaryPrefix.size());
    name.remove_suffix(kTemporarySuffix.size());
    std::uint64_t fields[4] = {};
    for (std::size_t index = 0; index < 4; ++index) {
        const char* end = name.data() + name.size();
        const auto [stop, error] = std::from_chars(name.data(), end, fields[index]);
        const bool last = index == 3;
        if (error != std::errc() || stop == name.data() ||
            (last ? stop != end : stop == end || *stop != '-')) {
            return false;
        }
        name.remove_prefix(static_cast<std::size_t>(stop - name.data()) + (last ? 0 : 1));
    }
    owner = {fields[0], fields[1]};
    return true;
}

// The entries of a destination folder by name, looked up exactly first, then
// case-folded; the folded names are made at the first name not found as spelt.
class DestinationNames {
public:
    explicit DestinationNames(std::vector<Entry> entries) : m_entries(std::move(entries)) {
        for (std::size_t index = 0; index < m_entries.size(); ++index) {
            m_exact.emplace(m_entries[index].name, index);
        }
    }

    // The entry the destination already has for `name`, or null when it has none.
    const Entry* match(const std::string& name) const {
        if (m_entries.empty()) {
            return nullptr;
        }
        const auto exact = m_exact.find(name);
        if (exact != m_exact.end()) {
            return &m_entries[exact->second];
        }
        if (m_folded.empty()) {
            for (std::size_t index = 0; index < m_entries.size(); ++index) {
                m_folded.emplace(foldAsciiCase(m_entries[index].name), index);
            }
        }
        const auto folded = m_folded.find(foldAsciiCase(name));
        return folded != m_folded.end() ? &m_entries[folded->second] : nullptr;
    }

private:
    std::vector<Entry> m_entries;
    std::unordered_map<std::string_view, std::size_t> m_exact; // names held by m_entries
    mutable std::unordered_map<std::string, std::size_t> m_folded;
};

// What of the running package the copy must not write into, so that the walk runs the
// scripts the run checked: its script folder, and its settings file, its program and
// every script the walk will run, with the folders that hold them.
struct PackageOwnFiles {
    std::unordered_set<Identity, IdentityHash> folders;     // never written into
    std::unordered_set<Identity, IdentityHash> files;       // never replaced
    std::unordered_set<Identity, IdentityHash> fileFolders; // folders holding such files
    // Files that are not there yet (the run's log before its first record), by folder and
    // name: never made by the copy.
    std::unordered_set<std::string> names;

    static std::string nameKey(const Identity& folder, const std::string& name) {
        return std::to_string(folder.volume) + ":" + std::to_string(folder.file) + "/" + name;
    }

    void addFolder(const fs::path& path) {
        std::error_code error;
        const Identity identity = filetree::identityOf(path, error);
        if (!error) {
            folders.insert(identity);
        }
    }
    void addFile(const fs::path& path) {
        std::error_code error;
        const fs::path real = filetree::realPath(path, error);
        const Identity file = error ? Identity() : filetree::identityOf(real, error);
        const Identity folder =
            error ? Identity() : filetree::identityOf(real.parent_path(), error);
        if (!error) {
            files.insert(file);
            fileFolders.insert(folder);
            return;
        }
        error.clear();
        const Identity parent = filetree::identityOf(path.parent_path(), error);
        if (!error) {
            names.insert(nameKey(parent, pathToUtf8(path.filename())));
            fileFolders.insert(parent);
        }
    }
};

// Whether the folder `path`, which does not exist, could be made with every missing level:
// the nearest level that exists must be a folder this process may write into.
bool folderCouldBeMade(const fs::path& path, std::error_code& error) {
    std::error_code ignored;
    fs::path existing = fs::absolute(path, ignored);
    while (existing.has_relative_path() &&
           fs::status(existing, ignored).type() == fs::file_type::not_found) {
        existing = existing.parent_path();
    }
    const Folder folder = Folder::open(existing, error);
    return folder.isOpen() && folder.writable(error);
}

// The listings of source folders made by the count, for the copy to use again.
using Listings = std::unordered_map<Identity, std::vector<Entry>, IdentityHash>;

// Counts the files below the source folder, for the progress maximum, walking as the
// copy walks, and keeps what it listed. Unreadable parts count as nothing here; the copy
// itself reports them.
class FileCount {
public:
    FileCount(Identity destination, Listings& listings)
        : m_destination(destination), m_listings(listings) {}

    std::int64_t count(const Folder& folder) {
        std::error_code error;
        const Identity identity = folder.identity(error);
        if (error || identity == m_destination || m_open.count(identity) != 0) {
            return 0;
        }
        std::vector<Entry> entries;
        if (!folder.list(entries, error)) {
            return 0;
        }
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
        m_listings.emplace(identity, std::move(entries));
        return files;
    }

private:
    Identity m_destination;
    Listings& m_listings;
    std::unordered_set<Identity, IdentityHash> m_open;
};

// Where one entry is copied from and to: its folders' paths and its names, joined into
// paths only when asked.
struct Place {
    const fs::path& sourceFolder;
    const std::string& fromName;
    const fs::path& targetFolder;
    const std::string& toName;

    fs::path from() const { return sourceFolder / pathFromUtf8(fromName); }
    fs::path to() const { return targetFolder / pathFromUtf8(toName); }
};

// Copies the contents of one folder into another that exists. Names already in the
// destination are matched without regard to letter case, so "Bin" in the installation
// receives the package's "bin" instead of getting a twin.
class TreeCopy {
public:
    // With `plan` nothing is written: what would be copied, replaced and skipped goes there.
    TreeCopy(RunLog& log, Progress& progress, const PackageOwnFiles& package, Listings& listings,
             CopyPlan* plan = nullptr)
        : m_log(log), m_progress(progress), m_package(package), m_listings(listings), m_plan(plan) {
        // Temporary names carry this process, so that a later copy can tell whether the
        // one that made them still runs, and a token of this copy, so that they meet
        // nobody's files.
        std::random_device random;
        const filetree::ProcessStamp self = filetree::thisProcess();
        m_temporaryStem = std::string(kTemporaryPrefix) + std::to_string(self.id) + "-" +
                          std::to_string(self.start) + "-" + std::to_string(random() % 0x1000000) +
                          "-";
    }

    // `target` is the installation folder. Every folder the copy writes into is noted
    // before the walk can meet it.
    void copyTree(const Folder& source, const fs::path& sourcePath, const Folder& target,
                  const fs::path& targetPath) {
        std::error_code error;
        m_installation = filetree::realPath(targetPath, error);
        Identity identity;
        if (m_plan != nullptr && !target.isOpen()) {
            // An installation folder that does not exist yet: everything is new.
            if (enterFolder(source, sourcePath, targetPath)) {
                copyContents(source, sourcePath, target, identity, targetPath, true);
                m_openFolders.pop_back();
            }
        } else if (noteDestination(target, targetPath, identity) &&
                   enterFolder(source, sourcePath, targetPath)) {
            copyContents(source, sourcePath, target, identity, targetPath, false);
            m_openFolders.pop_back();
        }
    }

private:
    // `fresh`: the destination was made just now and holds nothing.
    void copyContents(const Folder& source, const fs::path& sourcePath, const Folder& target,
                      const Identity& targetIdentity, const fs::path& targetPath, bool fresh) {
        // The source folder as the count listed it, once; else listed now.
        std::vector<Entry> entries;
        const auto counted = m_listings.find(m_openFolders.back());
        if (counted != m_listings.end()) {
            entries = std::move(counted->second);
            m_listings.erase(counted);
        } else if (std::error_code error; !source.list(entries, error)) {
            report(failure("无法读取文件夹", sourcePath, error));
            return;
        }
        std::vector<Entry> installed;
        if (!fresh) {
            std::error_code ignored; // an unreadable destination fails on the first write
            target.list(installed, ignored);
            if (m_plan == nullptr) {
                removeLeftovers(target, targetPath, installed);
            }
        }
        const DestinationNames existing(std::move(installed));
        for (const Entry& entry : entries) {
            if (stopped()) {
                return;
            }
            const Entry* present = existing.match(entry.name);
            const std::string& name = present != nullptr ? present->name : entry.name;
            // The paths are made only where they are needed: for a folder, and to tell
            // about a file; thousands of files copied without a word need none.
            const Place place{sourcePath, entry.name, targetPath, name};
            switch (entry.kind) {
            case Kind::Folder:
                copyFolder(source, place.from(), entry.name, target, place.to(), name);
                break;
            case Kind::Other:
                report(failure("不是普通文件或文件夹，没有复制", place.from(), place.to(),
                               errorCode(std::errc::not_supported)));
                advance();
                break;
            case Kind::File:
            case Kind::Unknown: // opening it tells what is wrong
                copyFile(source, target, targetIdentity, place, present);
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
            report(failure("无法读取文件夹", from, error));
            return;
        }
        if (!enterFolder(source, from, to)) {
            return;
        }
        bool created = false;
        Folder target;
        if (m_plan == nullptr) {
            target = targetParent.makeFolder(toName, created, error);
        } else if (targetParent.isOpen()) {
            target = targetParent.openFolder(toName, error);
            created = !target.isOpen() && error == std::errc::no_such_file_or_directory;
            // A folder the copy would make, in a folder it may not write into.
            if (std::error_code denied; created && !targetParent.writable(denied)) {
                created = false;
                error = denied;
            }
        } else {
            created = true; // below a folder that would be made
        }
        Identity identity;
        if (!target.isOpen() && m_plan != nullptr && created) {
            copyContents(source, from, target, identity, to, true);
        } else if (!target.isOpen()) {
            report(failure("无法创建文件夹", to, error));
        } else if (noteDestination(target, to, identity)) {
            if (m_package.folders.count(identity) != 0) {
                report(failure("不能复制到升级包自己的脚本文件夹中", from, to,
                               errorCode(std::errc::operation_not_permitted)));
            } else {
                copyContents(source, from, target, identity, to, created);
            }
        }
        m_openFolders.pop_back();
    }

    // One file. An installed link to a file of the installation has that file replaced
    // and stays a link, as the installation made it. A link that leads out of the
    // installation folder (or nowhere) is replaced by a file of its own: the copy never
    // writes through it to what lies outside, nor gives the new file the owner or mode of
    // what the link leads to.
    void copyFile(const Folder& source, const Folder& target, const Identity& targetIdentity,
                  const Place& place, const Entry* present) {
        std::error_code error;
        const std::string& fromName = place.fromName;
        if (present == nullptr) {
            if (isPackageFile(target, targetIdentity, fromName)) {
                reportPackageFile(place.from(), place.to());
            } else if (!replaceFile(source, fromName, target, fromName, nullptr, error)) {
                reportFailure(place.from(), place.to(), error);
            } else if (m_plan != nullptr) {
                planned(CopyPlanItem::Action::New, place.from(), place.to());
            }
            return;
        }
        if (!present->link) {
            if (isPackageFile(target, targetIdentity, present->name)) {
                reportPackageFile(place.from(), place.to());
            } else if (!replaceFile(source, fromName, target, present->name, &present->name,
                                    error)) {
                reportFailure(place.from(), place.to(), error);
            } else if (m_plan != nullptr) {
                planned(CopyPlanItem::Action::Replace, place.from(), place.to());
            }
            return;
        }
        const fs::path from = place.from();
        const fs::path to = place.to();
        const fs::path leadsTo = filetree::realPath(to, error);
        if (!error && !m_installation.empty() && filetree::isWithin(leadsTo, m_installation)) {
            // Told as a person writes it, used as the system gives it.
            const fs::path shown = pathFromUtf8(filetree::shownPath(leadsTo));
            const Folder folder = Folder::open(leadsTo.parent_path(), error);
            const std::string name = pathToUtf8(leadsTo.filename());
            Identity identity;
            if (folder.isOpen()) {
                identity = folder.identity(error);
            }
            if (!folder.isOpen() || error) {
                reportFailure(from, shown, error);
            } else if (isPackageFile(folder, identity, name)) {
                reportPackageFile(from, shown);
            } else if (!replaceFile(source, fromName, folder, name, &name, error)) {
                reportFailure(from, shown, error);
            } else if (m_plan != nullptr) {
                planned(CopyPlanItem::Action::Replace, from, shown);
            }
            return;
        }
        if (!replaceFile(source, fromName, target, present->name, nullptr, error)) {
            reportFailure(from, to, error);
            return;
        }
        if (m_plan != nullptr) {
            planned(CopyPlanItem::Action::Replace, from, to);
        }
        notice("安装目录中的链接指向安装目录以外，已换成新文件，链接所指的文件未改动: " +
               pathToUtf8(to) + " -> " + (error ? std::string("?") : filetree::shownPath(leadsTo)));
    }

    // True when the installed file `name` of `folder` is one of the running package's own.
    bool isPackageFile(const Folder& folder, const Identity& folderIdentity,
                       const std::string& name) const {
        if (m_package.fileFolders.count(folderIdentity) == 0) {
            return false;
        }
        if (m_package.names.count(PackageOwnFiles::nameKey(folderIdentity, name)) != 0) {
            return true;
        }
        std::error_code error;
        const Identity identity = folder.entryIdentity(name, error);
        return !error && m_package.files.count(identity) != 0;
    }

    void reportPackageFile(const fs::path& from, const fs::path& to) {
        report(failure("不能覆盖升级包自己的文件", from, to,
                       errorCode(std::errc::operation_not_permitted)));
    }

    // Temporary files of copies whose process no longer runs: what a killed copy left.
    void removeLeftovers(const Folder& target, const fs::path& targetPath,
                         std::vector<Entry>& installed) {
        const auto leftover = [&](const Entry& entry) {
            filetree::ProcessStamp owner;
            if (entry.link || entry.kind != Kind::File || !temporaryOwner(entry.name, owner)) {
                return false;
            }
            const auto key = std::make_pair(owner.id, owner.start);
            auto known = m_running.find(key);
            if (known == m_running.end()) {
                known = m_running.emplace(key, filetree::processRuns(owner)).first;
            }
            if (known->second) {
                return false;
            }
            target.removeFile(entry.name);
            notice("已删除上次中断的复制留下的临时文件: " +
                   pathToUtf8(targetPath / pathFromUtf8(entry.name)));
            return true;
        };
        installed.erase(std::remove_if(installed.begin(), installed.end(), leftover),
                        installed.end());
    }

    bool noteDestination(const Folder& target, const fs::path& path, Identity& identity) {
        std::error_code error;
        identity = target.identity(error);
        if (error) {
            report(failure("无法创建文件夹", path, error));
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
            report(failure("无法读取文件夹", path, error));
            return false;
        }
        if (m_destinations.count(identity) != 0) {
            report(failure("不能把安装目录复制到它自己里面", path, targetPath,
                           errorCode(std::errc::invalid_argument)));
            return false;
        }
        for (const Identity& open : m_openFolders) {
            if (open == identity) {
                report(failure("文件夹在它自己里面", path,
                               errorCode(std::errc::too_many_symbolic_link_levels)));
                return false;
            }
        }
        m_openFolders.push_back(identity);
        return true;
    }

    // The file is written beside its place under a temporary name and renamed into it when
    // complete; on failure the temporary file goes and what was installed stays. It takes
    // the owner and mode of the installed file `keepFrom` when one is named, else its
    // source's mode as a new file.
    bool replaceFile(const Folder& sourceFolder, const std::string& fromName,
                     const Folder& targetFolder, const std::string& toName,
                     const std::string* keepFrom, std::error_code& error) {
        const filetree::SourceFile source =
            filetree::SourceFile::open(sourceFolder, fromName, error);
        if (!source.isOpen()) {
            return false;
        }
        if (m_plan != nullptr) {
            return writeWouldSucceed(targetFolder, toName, error);
        }
        std::string temporary;
        filetree::NewFile file;
        for (int attempt = 0; !file.isOpen(); ++attempt) {
            temporary =
                m_temporaryStem + std::to_string(++m_temporaries) + std::string(kTemporarySuffix);
            file = filetree::NewFile::create(targetFolder, temporary, source, keepFrom, error);
            if (!file.isOpen() && (error != std::errc::file_exists || attempt == 100)) {
                return false;
            }
        }
        // A name made by somebody else since the folder was listed is replaced like any
        // other.
        if (file.fill(source, error) && file.close(error) &&
            targetFolder.rename(temporary, toName, error)) {
            return true;
        }
        file = filetree::NewFile();
        targetFolder.removeFile(temporary);
        return false;
    }

    // A plan: what the copy would meet when it writes `name` into `folder`: a folder of that
    // name, which no file replaces, or a folder this process may not write into. Below a
    // folder the copy would make, nothing.
    static bool writeWouldSucceed(const Folder& folder, const std::string& name,
                                  std::error_code& error) {
        if (!folder.isOpen()) {
            return true;
        }
        if (folder.entryIsFolder(name)) {
            error = errorCode(std::errc::is_a_directory);
            return false;
        }
        return folder.writable(error);
    }

    void reportFailure(const fs::path& from, const fs::path& to, std::error_code error) {
        // Stopped on request: the run tells that itself, once.
        if (error != std::errc::operation_canceled) {
            report(failure("无法复制文件", from, to, error));
        }
    }

    bool stopped() {
        m_stopped = m_stopped || interruptionRequested();
        return m_stopped;
    }

    void advance() {
        m_progress.setPosition(++m_copied);
        m_progress.repaint();
    }

    void report(const std::string& message) {
        if (m_plan != nullptr) {
            m_plan->items.push_back({CopyPlanItem::Action::Skip, {}, {}, 0, message});
        } else {
            m_log.write(message);
        }
    }

    void notice(const std::string& message) {
        if (m_plan != nullptr) {
            m_plan->notices.push_back(message);
        } else {
            m_log.writeNotice(message);
        }
    }

    void planned(CopyPlanItem::Action action, const fs::path& from, const fs::path& to) {
        std::error_code error;
        const std::uintmax_t bytes = fs::file_size(from, error);
        m_plan->items.push_back({action, from, to, error ? 0 : bytes, {}});
    }

    RunLog& m_log;
    Progress& m_progress;
    const PackageOwnFiles& m_package;
    Listings& m_listings;
    CopyPlan* m_plan;
    fs::path m_installation; // the installation folder, links resolved
    std::string m_temporaryStem;
    std::uint64_t m_temporaries = 0;
    std::int64_t m_copied = 0;
    bool m_stopped = false;
    std::vector<Identity> m_openFolders; // source folders from the top to here
    std::unordered_set<Identity, IdentityHash> m_destinations;         // folders written into
    std::map<std::pair<std::uint64_t, std::uint64_t>, bool> m_running; // leftovers' owners
};

} // namespace

void ProgramCopy::copy(const fs::path& source, const std::string& installFolder) {
    const auto copying = m_log.step(LogRecordKind::Copy);
    copyOrPlan(source, installFolder, nullptr);
}

void ProgramCopy::plan(const fs::path& source, const std::string& installFolder, CopyPlan& plan) {
    copyOrPlan(source, installFolder, &plan);
}

void ProgramCopy::copyOrPlan(const fs::path& sourcePath, const std::string& installFolder,
                             CopyPlan* plan) {
    const auto log = [&](const std::string& message) {
        if (plan != nullptr) {
            plan->items.push_back({CopyPlanItem::Action::Skip, {}, {}, 0, message});
        } else {
            m_log.write(message);
        }
    };
    // The installation folder is used exactly as typed.
    const fs::path destination = pathFromUtf8(installFolder);
    if (installFolder.empty()) {
        log("无法复制程序文件: 安装目录为空");
        return;
    }

    PackageOwnFiles package;
    for (const fs::path& folder : m_keptFolders) {
        package.addFolder(folder);
    }
    for (const fs::path& file : m_keptFiles) {
        package.addFile(file);
    }

    std::error_code created;
    if (plan == nullptr) {
        fs::create_directories(destination, created);
    }
    std::error_code error;
    Folder target = Folder::open(destination, error);
    // A plan copies into a folder that does not exist yet as into an empty one, when the
    // copy could make it.
    const bool planNew = plan != nullptr && !target.isOpen() && !fs::exists(destination) &&
                         folderCouldBeMade(destination, error);
    if (planNew) {
        target = Folder();
    }
    const bool targetUsable = target.isOpen() || planNew;
    const Folder source = targetUsable ? Folder::open(sourcePath, error) : Folder();
    Identity destinationIdentity;
    if (target.isOpen()) {
        std::error_code ignored; // the copy reports it when it notes the folder
        destinationIdentity = target.identity(ignored);
    }

    Listings listings;
    std::unique_ptr<Progress> progress = m_person.openProgress();
    progress->setMaximum(source.isOpen() ? FileCount(destinationIdentity, listings).count(source)
                                         : 0);
    progress->setText(text::kCopying);
    progress->setPosition(0);
    progress->repaint();

    if (!targetUsable) {
        log(failure("无法创建安装目录", destination, created ? created : error));
    } else if (!source.isOpen()) {
        log(failure("无法读取文件夹", sourcePath, error));
    } else if (target.isOpen() && package.folders.count(destinationIdentity) != 0) {
        log(failure("不能复制到升级包自己的脚本文件夹中", sourcePath, destination,
                    errorCode(std::errc::operation_not_permitted)));
    } else {
        TreeCopy(m_log, *progress, package, listings, plan)
            .copyTree(source, sourcePath, target, destination);
    }
    progress->close();
}

void keepRunningPackage(ProgramCopy& copy, PathResolver& paths, const fs::path& programFolder,
                        const std::vector<fs::path>& programs, const CheckedList& checkedList) {
    if (fs::path scripts; paths.findFolder(programFolder, kScriptFolder, scripts)) {
        copy.keepFolder(scripts);
    }
    copy.keepFile(paths.resolve(programFolder, kSettingsFileName));
    // The run's own log: a record is never lost to a file of the package of that name.
    copy.keepFile(programFolder / pathFromUtf8(kExceptionLogName));
    for (const fs::path& program : programs) {
        copy.keepFile(program);
    }
    for (const fs::path& script : checkedList.files()) {
        copy.keepFile(script);
    }
}

} // namespace pupdate
