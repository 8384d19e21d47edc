#pragma once
// Shared by the Codex runtime tests: the Qt application, an event-loop wait, and the fake
// app-server installed as a `codex` executable.
#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>

#include "temp_dir.hpp"

namespace vigilorb::test {

inline QCoreApplication& codexTestApplication() {
    static int argc = 1;
    static char name[] = "codex_runtime_test";
    static char* argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    return app;
}

// Runs the event loop until `done` holds. The guard only keeps a broken build from hanging;
// it is not a timing assertion (the caller checks `done` afterwards).
inline bool runUntil(const std::function<bool()>& done, std::chrono::milliseconds guard = std::chrono::seconds(60)) {
    codexTestApplication();
    auto deadline = std::chrono::steady_clock::now() + guard;
    while (!done() && std::chrono::steady_clock::now() < deadline) {
        QEventLoop loop;
        QTimer::singleShot(5, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return done();
}

inline std::filesystem::path fakeAppServerScript() { return CODEX_FAKE_APP_SERVER; }

// <folder>/codex: runs the fake app-server with the system Python.
inline std::filesystem::path installFakeCodex(const std::filesystem::path& folder) {
    auto exe = folder / "codex";
    writeText(exe, "#!/bin/sh\nexec /usr/bin/python3 '" + fakeAppServerScript().string() + "' \"$@\"\n");
    std::filesystem::permissions(exe, std::filesystem::perms::owner_all);
    return exe;
}

}  // namespace vigilorb::test
