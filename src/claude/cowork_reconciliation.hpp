#pragma once
#include <map>
#include <set>
#include <string>
#include <vector>

#include "store/snapshot.hpp"

// How the runtime folds one Cowork report into the tasks it already holds for the account.
// Pure: the runtime applies the results to the store.
namespace vigilorb::claude::cowork {

inline constexpr std::string_view desktopTaskPrefix = "desktop-";

// Task IDs to keep for (claude, account): the indexed sessions plus every task that did not
// come from Claude Desktop (Claude Code hook tasks are never removed by a Cowork scan).
std::vector<std::string> reconciliationKeepSet(const store::CompanionSnapshot& stored, const std::string& accountID,
                                               const std::set<std::string>& indexedIDs);

// Active Claude Desktop tasks of the account that the report no longer lists gain a miss; on
// the second miss in a row each is emitted again as completed (updatedAt = now). `misses` is
// rewritten to hold only this account's tasks that are currently missing (one Claude Desktop
// account is observed at a time).
std::vector<TaskSnapshot> missedTaskCompletions(const store::CompanionSnapshot& stored, const std::string& accountID,
                                                const std::vector<TaskSnapshot>& reported,
                                                std::map<std::string, int>& misses, Date now);

}  // namespace vigilorb::claude::cowork
