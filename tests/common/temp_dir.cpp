#include "temp_dir.h"

#include "utf8_path.h"

#include <random>
#include <stdexcept>

namespace pupdate::testing {

TempDir::TempDir() {
    // A fresh name made by creating it: create_directory fails on a name that exists.
    std::random_device seed;
    std::mt19937_64 random(seed());
    const std::filesystem::path base = std::filesystem::temp_directory_path();
    for (int attempt = 0; attempt < 100; ++attempt) {
        static const char letters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
        std::string name = "p_update_test_";
        for (int i = 0; i < 8; ++i) {
            name.push_back(letters[random() % (sizeof letters - 1)]);
        }
        if (std::filesystem::create_directory(base / name)) {
            m_path = base / name;
            return;
        }
    }
    throw std::runtime_error("cannot make a temporary folder in " + pathToUtf8(base));
}

TempDir::~TempDir() {
    std::error_code ignored;
    // Restore write permission on anything a test made read-only, then remove.
    for (auto it = std::filesystem::recursive_directory_iterator(m_path, ignored);
         it != std::filesystem::recursive_directory_iterator(); it.increment(ignored)) {
        std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ignored);
    }
    std::filesystem::permissions(m_path, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ignored);
    std::filesystem::remove_all(m_path, ignored);
}

void writeFile(const std::filesystem::path& file, std::string_view bytes) {
    if (file.has_parent_path()) {
        std::filesystem::create_directories(file.parent_path());
    }
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) {
        throw std::runtime_error("cannot write " + pathToUtf8(file));
    }
}

std::string readFile(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool tellsLetterCaseApart(const std::filesystem::path& folder) {
    const std::filesystem::path probe = folder / "letter-case-probe";
    writeFile(probe, "");
    std::error_code ignored;
    const bool apart = !std::filesystem::exists(folder / "LETTER-CASE-PROBE", ignored);
    std::filesystem::remove(probe, ignored);
    return apart;
}

} // namespace pupdate::testing
