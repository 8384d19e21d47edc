// The app role, loaded by main() from libvigilorb_app.so. Until the status window exists it
// runs the provider runtime without a window until SIGINT or SIGTERM, then exits cleanly.
#include <QCoreApplication>
#include <QSocketNotifier>

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include "runtime/provider_runtime_controller.hpp"
#include "runtime/qsettings_preferences.hpp"

namespace {

int signalPipe[2] = {-1, -1};

void onSignal(int) {
    char byte = 1;
    // Async-signal-safe; a full pipe already holds a pending wake-up.
    [[maybe_unused]] auto n = ::write(signalPipe[1], &byte, 1);
}

// SIGINT and SIGTERM end the event loop from the main thread (a handler may do next to
// nothing itself, so it only wakes the loop through a pipe).
bool watchTerminationSignals(QCoreApplication& app) {
    if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return false;
    auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, &app);
    QObject::connect(notifier, &QSocketNotifier::activated, &app, [] {
        char buffer[16];
        while (::read(signalPipe[0], buffer, sizeof buffer) > 0) {
        }
        QCoreApplication::quit();
    });
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    if (::sigaction(SIGINT, &action, nullptr) != 0 || ::sigaction(SIGTERM, &action, nullptr) != 0) return false;
    // main() blocked both until now; one that arrived meanwhile is delivered here and ends
    // the loop as soon as it runs.
    sigset_t termination;
    sigemptyset(&termination);
    sigaddset(&termination, SIGINT);
    sigaddset(&termination, SIGTERM);
    return ::sigprocmask(SIG_UNBLOCK, &termination, nullptr) == 0;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) int vigilorb_app_main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setOrganizationName("VigilorbCompanion");
    QCoreApplication::setApplicationName("VigilorbCompanion");
    if (!watchTerminationSignals(app)) return 1;

    vigilorb::QSettingsPreferences preferences;
    vigilorb::ProviderRuntimeOptions options;
    options.preferences = &preferences;
    vigilorb::ProviderRuntimeController runtime(std::move(options));
    return app.exec();
}
