#pragma once
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "model/date.hpp"

namespace vigilorb::codex {

using SessionIndexNames = std::map<std::string, std::string>;  // thread ID → current name

inline constexpr std::uint64_t sessionIndexReadLimit = 8 * 1024 * 1024;

struct CodexSessionIndexNameParser {
    struct Candidate {
        std::string name;  // already normalized
        Date updatedAt;
        long lineNumber = 0;
    };

    // Thread names from the bytes of session_index.jsonl; the latest rename of each thread
    // wins, a later line winning a tie. Never fails: bad lines are skipped.
    static SessionIndexNames parse(std::string_view bytes);
};

// Names from <codexHome>/session_index.jsonl, reading at most its last 8 MiB (the cut first
// line of a larger file is dropped). Any file problem gives no names.
SessionIndexNames loadSessionIndexNames(const std::filesystem::path& codexHome);

// Remembers the names of the last load together with the identity of the file they came from
// (device, inode, size, modification time), so an unchanged index is not read and parsed again
// on every poll. The result is the same as loadSessionIndexNames.
class SessionIndexCache {
public:
    const SessionIndexNames& load(const std::filesystem::path& codexHome);
    // How often the file was actually read (for tests and benchmarks).
    std::uint64_t reads() const { return reads_; }

private:
    struct Stamp {
        std::uint64_t device = 0, inode = 0, size = 0;
        std::int64_t modifiedSeconds = 0, modifiedNanoseconds = 0, changedSeconds = 0, changedNanoseconds = 0;
        bool operator==(const Stamp&) const = default;
    };
    std::optional<Stamp> stamp_;
    std::filesystem::path home_;
    SessionIndexNames names_;
    std::uint64_t reads_ = 0;
};

}  // namespace vigilorb::codex
