#pragma once
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

namespace vigilorb::paths {

// Reads an environment variable; injectable so that tests and callers decide where things live.
using Environment = std::function<std::optional<std::string>(const char*)>;
Environment processEnvironment();

// $HOME, else the password database.
std::optional<std::filesystem::path> homeDirectory(const Environment& env = processEnvironment());
// Application Support: $XDG_DATA_HOME, else ~/.local/share. Absent when neither can be found.
std::optional<std::filesystem::path> applicationSupport(const Environment& env = processEnvironment());
// $XDG_CONFIG_HOME, else ~/.config.
std::optional<std::filesystem::path> configHome(const Environment& env = processEnvironment());
// $TMPDIR, else /tmp.
std::filesystem::path temporaryDirectory(const Environment& env = processEnvironment());

inline constexpr const char* companionFolderName = "VigilorbCompanion";

// <Application Support>/VigilorbCompanion/snapshot-v1.json, or the same under the temporary
// directory when there is no Application Support.
std::filesystem::path snapshotFile(const Environment& env = processEnvironment());
// <Application Support>/VigilorbCompanion/Profiles; no fallback.
std::optional<std::filesystem::path> profilesRoot(const Environment& env = processEnvironment());

}  // namespace vigilorb::paths
