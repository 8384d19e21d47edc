#pragma once
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "model/preferences.hpp"

namespace vigilorb::security {

// Who this computer is to the phone: a stable ID ("mac-" + lower-case UUID) and a display name.
struct CompanionIdentity {
    static constexpr const char* preferenceKey = "companion.identity.v2";
    static constexpr std::size_t nameLimit = 64;

    std::string id;
    std::string name;

    bool operator==(const CompanionIdentity&) const = default;

    // Returns the stored identity when it decodes with both fields non-empty; otherwise makes
    // a new one from the host name (absent: "Mac"), stores it and returns it. Never fails.
    static CompanionIdentity loadOrCreate(Preferences& preferences, const std::optional<std::string>& hostName);

    // The display name a host name maps to: trimmed, "Mac" when empty, first 64 characters.
    static std::string nameFromHost(const std::optional<std::string>& hostName);

    std::string encode() const;
};

// The computer's name as the user set it: PRETTY_HOSTNAME of the machine-info file where set,
// else the kernel's host name. Absent when neither gives anything.
std::optional<std::string> hostComputerName(const std::filesystem::path& machineInfo = "/etc/machine-info");

}  // namespace vigilorb::security
