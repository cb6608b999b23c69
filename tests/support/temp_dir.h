#pragma once

#include <filesystem>
#include <string>

namespace quellis::test
{

// A fresh directory under the system's temporary directory, removed with
// everything in it when the object goes.
class TempDir
{
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    [[nodiscard]] const std::filesystem::path& Path() const { return path_; }
    [[nodiscard]] std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

    // Whole-file helpers for tests that check exact bytes.
    void Write(const std::string& name, const std::string& bytes) const;
    [[nodiscard]] std::string Read(const std::string& name) const;

private:
    std::filesystem::path path_;
};

} // namespace quellis::test
