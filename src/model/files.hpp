#pragma once
#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "model/error.hpp"

namespace vigilorb::files {

enum class FileError { notFound, readFailed, folderCreationFailed, writeFailed, permissionsFailed };

// Whole file; throws Failure<FileError> (notFound or readFailed).
std::string read(const std::filesystem::path& path);

// Like read(), for files that anyone may have put in place: only a regular file of at most
// `maxBytes` is read. Opening never blocks (a FIFO would wait for a writer forever) and reading
// stops past the limit (a huge or endless file would exhaust memory). Throws Failure<FileError>:
// notFound, or readFailed (also for a file that is not regular or is larger than `maxBytes`).
std::string readRegular(const std::filesystem::path& path, std::size_t maxBytes);

// Writes bytes so that a reader (or a crash) sees either the old file or the new one, never a
// mix: a temporary file in the same folder, flushed, renamed over the target, folder flushed.
// With `mode`, the file has those permissions before it becomes visible under its name.
// Throws Failure<FileError>(writeFailed); the previous file is then untouched.
// `durable`: flushed to the disk before and after the rename (survives a power loss). Files
// that only hand data to another process (inbox events) skip the flushes: they cost several
// milliseconds, and a reader still never sees a partial file.
enum class Durability { durable, visibleOnly };
void writeAtomically(const std::filesystem::path& path, std::string_view bytes,
                     std::optional<mode_t> mode = std::nullopt, Durability durability = Durability::durable);

// Creates the folder and its parents; throws Failure<FileError>(folderCreationFailed).
void createFolders(const std::filesystem::path& folder);

}  // namespace vigilorb::files
