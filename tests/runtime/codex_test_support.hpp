#pragma once
// Shared by the Codex runtime tests: the fake app-server installed as a `codex` executable.
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>

#include "qt.hpp"
#include "temp_dir.hpp"

namespace vigilorb::test {

inline std::filesystem::path fakeAppServerScript() { return CODEX_FAKE_APP_SERVER; }

// <folder>/codex: runs the fake app-server with the system Python.
inline std::filesystem::path installFakeCodex(const std::filesystem::path& folder) {
    auto exe = folder / "codex";
    writeText(exe, "#!/bin/sh\nexec /usr/bin/python3 '" + fakeAppServerScript().string() + "' \"$@\"\n");
    std::filesystem::permissions(exe, std::filesystem::perms::owner_all);
    return exe;
}

}  // namespace vigilorb::test
