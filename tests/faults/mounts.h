#pragma once
// File systems the fault tests mount for real failures: a tiny tmpfs that fills up, and a
// read-only bind mount of a folder (root ignores permission bits, so a read-only mount is
// the only honest way to make a folder unwritable for it). Both are unmounted when the
// object goes, whatever the test did in between.

#include <filesystem>
#include <string>

namespace pupdate::testing {

class Mount {
public:
    // A tmpfs of `sizeBytes` on `folder` (created when missing).
    static Mount tmpfs(const std::filesystem::path& folder, std::size_t sizeBytes);
    // `folder` mounted read-only on itself.
    static Mount readOnly(const std::filesystem::path& folder);

    Mount(Mount&& other) noexcept;
    Mount& operator=(Mount&&) = delete;
    ~Mount();

    // False when the system refused the mount (no privilege); `why` says what it answered.
    bool mounted() const { return m_mounted; }
    const std::string& why() const { return m_why; }

private:
    Mount() = default;
    std::filesystem::path m_folder;
    bool m_mounted = false;
    std::string m_why;
};

} // namespace pupdate::testing
