#pragma once
#include <optional>
#include <string>
#include <string_view>

#include "model/error.hpp"
#include "model/records.hpp"

// One Claude Cowork session (metadata JSON plus the tail of its audit log) as at most one task.
// Reads only titles, lifecycle markers and times; never message text or tool input.
namespace vigilorb::claude {

enum class ClaudeLocalSessionParseError { notJSON, invalidMetadata };

struct AuditState {
    std::optional<TaskState> state;
    // Time of the event that decided the state.
    std::optional<Date> date;
    bool operator==(const AuditState&) const = default;
};

class ClaudeLocalSessionParser {
public:
    // A session without lifecycle events counts as running only this long after its last activity.
    static constexpr double quietActivityLimit = 600;

    // notJSON when the metadata is not JSON, invalidMetadata when it is not an object or has no
    // session ID. nullopt: archived, deleted, or idle.
    [[nodiscard]] static std::expected<std::optional<TaskSnapshot>, ClaudeLocalSessionParseError> parseSession(
        std::string_view metadata, std::string_view audit, const std::string& accountID, Date now);

    static AuditState auditState(std::string_view audit);
};

// "desktop-cowork-" + hex of the first 12 bytes of SHA-256(session ID), used as given.
std::string coworkTaskID(std::string_view sessionID);

}  // namespace vigilorb::claude
