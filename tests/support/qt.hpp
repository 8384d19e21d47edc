#pragma once
// The Qt start-up shared by tests that drive Qt objects without a window: one QCoreApplication
// for the whole run and a bounded wait on the event loop.
#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include <chrono>
#include <functional>

namespace vigilorb::test {

// Created on first use and kept for the process: Qt objects need an application to exist, and
// a second one cannot be made.
inline QCoreApplication& qtApplication() {
    static int argc = 1;
    static char name[] = "vigilorb_test";
    static char* argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    return app;
}

// Runs the event loop until `done` holds. The guard only keeps a broken build from hanging;
// it is not a timing assertion (the caller checks the result).
inline bool runUntil(const std::function<bool()>& done, std::chrono::milliseconds guard = std::chrono::seconds(60)) {
    qtApplication();
    auto deadline = std::chrono::steady_clock::now() + guard;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        // A real event loop (deferred deletions run too), left every few milliseconds to
        // re-check conditions that no Qt event announces (a file another process writes).
        QEventLoop loop;
        QTimer::singleShot(5, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return true;
}

// Lets the loop run for `span`, for checks that something did not happen.
inline void settle(std::chrono::milliseconds span) {
    qtApplication();
    QEventLoop loop;
    QTimer::singleShot(span, &loop, &QEventLoop::quit);
    loop.exec();
}

}  // namespace vigilorb::test
