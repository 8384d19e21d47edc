#pragma once
// What the boards (the Qt-free status rules of the agent sides) hand to the window's status
// list: rows keyed by ID and changes to them. The runtime applies the changes in order and
// keeps the rows sorted by ID.

#include <string>
#include <string_view>

namespace vigilorb {

// One row of the status list.
struct StatusRow {
    std::string id;
    std::string detail;
    bool isHealthy = false;
    bool operator==(const StatusRow&) const = default;
};

// Replaces the row with that ID, or adds it.
struct SetRow {
    StatusRow row;
    bool operator==(const SetRow&) const = default;
};

struct RemoveRow {
    std::string id;
    bool operator==(const RemoveRow&) const = default;
};

// A provider's one-line summary above its rows.
struct SetSummary {
    std::string text;
    bool isHealthy = false;
    bool operator==(const SetSummary&) const = default;
};

// The row text after a snapshot store failure, whichever side hit it.
inline constexpr std::string_view storeFailureText = "Could not save the normalized snapshot";

}  // namespace vigilorb
