// A fresh directory under the system's temporary directory, removed with
// everything in it when the object ends (or at Remove, for a test that checks
// that the removal worked), unless Keep left it for a look after a failure.
//
//   TempDir dir("zolk_files");
//   ASSERT_TRUE(dir.Made());
//   WriteAll(dir / "img.bin", data);
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <string>
#include <system_error>

class TempDir {
public:
    // The directory's name is prefix followed by "_" and six random characters.
    explicit TempDir(const std::string& prefix)
    {
        std::string pattern = (std::filesystem::temp_directory_path() / (prefix + "_XXXXXX")).string();
        if (mkdtemp(pattern.data()) != nullptr) {
            m_path = pattern;
        }
    }
    ~TempDir() { Remove(); }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    // False when no directory could be made: Path is then empty.
    bool Made() const { return !m_path.empty(); }
    const std::filesystem::path& Path() const { return m_path; }
    std::string String() const { return m_path.string(); }
    std::filesystem::path operator/(const std::filesystem::path& name) const { return m_path / name; }

    // Removes the directory now; what went wrong, if anything.
    std::error_code Remove()
    {
        std::error_code ec;
        if (!m_path.empty()) {
            std::filesystem::remove_all(m_path, ec);
            m_path.clear();
        }
        return ec;
    }

    // Leaves the directory and all it holds where it is.
    void Keep() { m_path.clear(); }

private:
    std::filesystem::path m_path;
};
