#include "model/paths.hpp"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>

namespace vigilorb::paths {

namespace fs = std::filesystem;

namespace {
// XDG says relative values are invalid and must be ignored.
std::optional<fs::path> absoluteVar(const Environment& env, const char* name) {
    auto v = env(name);
    if (!v || v->empty() || (*v)[0] != '/') return std::nullopt;
    return fs::path(*v);
}
}  // namespace

Environment processEnvironment() {
    return [](const char* name) -> std::optional<std::string> {
        const char* v = std::getenv(name);
        if (!v) return std::nullopt;
        return std::string(v);
    };
}

std::optional<fs::path> homeDirectory(const Environment& env) {
    if (auto home = absoluteVar(env, "HOME")) return home;
    if (auto* pw = getpwuid(getuid()); pw && pw->pw_dir && pw->pw_dir[0] == '/') return fs::path(pw->pw_dir);
    return std::nullopt;
}

std::optional<fs::path> applicationSupport(const Environment& env) {
    if (auto data = absoluteVar(env, "XDG_DATA_HOME")) return data;
    if (auto home = homeDirectory(env)) return *home / ".local" / "share";
    return std::nullopt;
}

std::optional<fs::path> configHome(const Environment& env) {
    if (auto config = absoluteVar(env, "XDG_CONFIG_HOME")) return config;
    if (auto home = homeDirectory(env)) return *home / ".config";
    return std::nullopt;
}

fs::path temporaryDirectory(const Environment& env) {
    if (auto tmp = absoluteVar(env, "TMPDIR")) return *tmp;
    return "/tmp";
}

fs::path snapshotFile(const Environment& env) {
    auto base = applicationSupport(env).value_or(temporaryDirectory(env));
    return base / companionFolderName / "snapshot-v1.json";
}

std::optional<fs::path> profilesRoot(const Environment& env) {
    auto base = applicationSupport(env);
    if (!base) return std::nullopt;
    return *base / companionFolderName / "Profiles";
}

}  // namespace vigilorb::paths
