#include "model/files.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>

#include "model/events.hpp"

namespace vigilorb::files {

namespace fs = std::filesystem;

namespace {

[[noreturn]] void fail(FileError code, const fs::path& path, int err) {
    throw Failure<FileError>(code, path.string() + ": " + std::strerror(err));
}

class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }

private:
    int fd_;
};

bool writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        auto n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

}  // namespace

std::string read(const fs::path& path) {
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    // A path through a non-folder names no file either.
    if (fd.get() < 0) fail(errno == ENOENT || errno == ENOTDIR ? FileError::notFound : FileError::readFailed, path, errno);
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) fail(FileError::readFailed, path, errno);
    if (S_ISDIR(st.st_mode)) fail(FileError::readFailed, path, EISDIR);
    std::string out;
    if (st.st_size > 0) out.reserve(static_cast<std::size_t>(st.st_size));
    char buffer[65536];
    for (;;) {
        auto n = ::read(fd.get(), buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR) continue;
            fail(FileError::readFailed, path, errno);
        }
        if (n == 0) break;
        out.append(buffer, static_cast<std::size_t>(n));
    }
    return out;
}

std::string readRegular(const fs::path& path, std::size_t maxBytes) {
    Fd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (fd.get() < 0) fail(errno == ENOENT || errno == ENOTDIR ? FileError::notFound : FileError::readFailed, path, errno);
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) fail(FileError::readFailed, path, errno);
    if (!S_ISREG(st.st_mode)) throw Failure<FileError>(FileError::readFailed, path.string() + ": not a regular file");
    std::string out;
    char buffer[65536];
    for (;;) {
        auto n = ::read(fd.get(), buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR) continue;
            fail(FileError::readFailed, path, errno);
        }
        if (n == 0) return out;
        if (out.size() + static_cast<std::size_t>(n) > maxBytes)
            throw Failure<FileError>(FileError::readFailed, path.string() + ": larger than " + std::to_string(maxBytes) + " bytes");
        out.append(buffer, static_cast<std::size_t>(n));
    }
}

void writeAtomically(const fs::path& path, std::string_view bytes, std::optional<mode_t> mode,
                     Durability durability) {
    auto folder = path.parent_path();
    if (folder.empty()) folder = ".";
    auto temp = folder / ("." + path.filename().string() + "." + makeUUID() + ".tmp");
    Fd fd(::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode.value_or(0644)));
    if (fd.get() < 0) fail(FileError::writeFailed, temp, errno);
    auto discard = [&](int err) {
        ::unlink(temp.c_str());
        fail(FileError::writeFailed, path, err);
    };
    // The umask may have narrowed or the caller may want exact bits; set them explicitly.
    if (mode && ::fchmod(fd.get(), *mode) != 0) discard(errno);
    if (!writeAll(fd.get(), bytes)) discard(errno);
    if (durability == Durability::durable && ::fsync(fd.get()) != 0) discard(errno);
    if (::close(fd.release()) != 0) discard(errno);
    if (::rename(temp.c_str(), path.c_str()) != 0) discard(errno);
    if (durability != Durability::durable) return;
    // Make the rename itself durable; a failure here cannot undo it, so it is not reported.
    Fd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() >= 0) ::fsync(dir.get());
}

void createFolders(const fs::path& folder) {
    std::error_code ec;
    fs::create_directories(folder, ec);
    if (ec) throw Failure<FileError>(FileError::folderCreationFailed, folder.string() + ": " + ec.message());
    if (!fs::is_directory(folder, ec))
        throw Failure<FileError>(FileError::folderCreationFailed, folder.string() + ": not a folder");
}

}  // namespace vigilorb::files
