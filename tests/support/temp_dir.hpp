#pragma once
#include <filesystem>
#include <string>
#include <string_view>

namespace vigilorb::test {

// A fresh folder under the system temporary folder, removed (permissions restored) on exit.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(std::string_view child) const { return path_ / child; }

private:
    std::filesystem::path path_;
};

void writeText(const std::filesystem::path& file, std::string_view text);
std::string readText(const std::filesystem::path& file);

}  // namespace vigilorb::test

namespace vigilorb::test {

// While alive, writes past `bytes` fail with EFBIG, also for root (folder permissions do not
// stop root, so this is how tests make a write fail).
class FileSizeLimit {
public:
    explicit FileSizeLimit(unsigned long bytes);
    ~FileSizeLimit();
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

private:
    unsigned long previousSoft_;
    void (*previousHandler_)(int);
};

}  // namespace vigilorb::test
