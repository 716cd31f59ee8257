#include "mounts.h"

#include <cerrno>
#include <cstring>
#include <sys/mount.h>

namespace pupdate::testing {

namespace fs = std::filesystem;

Mount Mount::tmpfs(const fs::path& folder, std::size_t sizeBytes) {
    Mount mount;
    fs::create_directories(folder);
    mount.m_folder = folder;
    const std::string options = "size=" + std::to_string(sizeBytes) + ",mode=0755";
    if (::mount("tmpfs", folder.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) == 0) {
        mount.m_mounted = true;
    } else {
        mount.m_why = std::strerror(errno);
    }
    return mount;
}

Mount Mount::readOnly(const fs::path& folder) {
    Mount mount;
    mount.m_folder = folder;
    if (::mount(folder.c_str(), folder.c_str(), nullptr, MS_BIND, nullptr) != 0) {
        mount.m_why = std::strerror(errno);
        return mount;
    }
    mount.m_mounted = true;
    // A bind mount takes the read-only flag only on a remount.
    if (::mount(nullptr, folder.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) != 0) {
        mount.m_why = std::strerror(errno);
        ::umount2(folder.c_str(), MNT_DETACH);
        mount.m_mounted = false;
    }
    return mount;
}

Mount::Mount(Mount&& other) noexcept
    : m_folder(std::move(other.m_folder)), m_mounted(other.m_mounted),
      m_why(std::move(other.m_why)) {
    other.m_mounted = false;
}

Mount::~Mount() {
    if (m_mounted && ::umount2(m_folder.c_str(), 0) != 0) {
        // Still busy (a child that has not let go): detach it, it goes when unused.
        ::umount2(m_folder.c_str(), MNT_DETACH);
    }
}

} // namespace pupdate::testing
