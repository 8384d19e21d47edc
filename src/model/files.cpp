#include "model/files.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
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

namespace {

// Reads an opened file to its end; a file that grows past `maxBytes` is refused rather than
// loaded whole.
std::string readToEnd(int fd, const fs::path& path, std::size_t maxBytes, std::size_t sizeHint) {
    std::string out;
    if (sizeHint > 0 && sizeHint <= maxBytes) out.reserve(sizeHint);
    char buffer[65536];
    for (;;) {
        auto n = ::read(fd, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR) continue;
            fail(FileError::readFailed, path, errno);
        }
        if (n == 0) return out;
        if (out.size() + static_cast<std::size_t>(n) > maxBytes)
            throw Failure<FileError>(FileError::readFailed,
                                     path.string() + ": larger than " + std::to_string(maxBytes) + " bytes");
        out.append(buffer, static_cast<std::size_t>(n));
    }
}

// Opens for reading; a path through a non-folder names no file either.
int openForReading(const fs::path& path, int extraFlags, struct stat& st) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | extraFlags);
    if (fd < 0) fail(errno == ENOENT || errno == ENOTDIR ? FileError::notFound : FileError::readFailed, path, errno);
    if (::fstat(fd, &st) != 0) {
        int err = errno;
        ::close(fd);
        fail(FileError::readFailed, path, err);
    }
    return fd;
}

}  // namespace

std::string read(const fs::path& path) {
    struct stat st {};
    Fd fd(openForReading(path, 0, st));
    if (S_ISDIR(st.st_mode)) fail(FileError::readFailed, path, EISDIR);
    return readToEnd(fd.get(), path, std::string().max_size(), static_cast<std::size_t>(std::max<off_t>(st.st_size, 0)));
}

std::string readRegular(const fs::path& path, std::size_t maxBytes) {
    struct stat st {};
    Fd fd(openForReading(path, O_NONBLOCK, st));
    if (!S_ISREG(st.st_mode)) throw Failure<FileError>(FileError::readFailed, path.string() + ": not a regular file");
    return readToEnd(fd.get(), path, maxBytes, static_cast<std::size_t>(std::max<off_t>(st.st_size, 0)));
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
