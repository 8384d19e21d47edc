// The app role, loaded by main() from libvigilorb_app.so. With a display it shows the status
// window (and a tray icon where the desktop has one); without one, or with --headless, it runs
// the provider runtime without any window, as servers and CI need. Either way it runs until
// SIGINT or SIGTERM (or Quit), then exits cleanly.
#include <QApplication>
#include <QCoreApplication>
#include <QDBusConnection>
#include <QSocketNotifier>
#include <QSystemTrayIcon>

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <memory>

#include "app/companion_transport_panel.hpp"
#include "app/icons.hpp"
#include "app/notifications.hpp"
#include "app/status_window.hpp"
#include "app/tray.hpp"
#include "desktop/app_identity.hpp"
#include "desktop/autostart.hpp"
#include "runtime/cli/process.hpp"
#include "runtime/provider_runtime_controller.hpp"
#include "runtime/qsettings_preferences.hpp"
#include "transport/keychain_store.hpp"

#ifndef VIGILORB_VERSION
#define VIGILORB_VERSION ""
#endif
#ifndef VIGILORB_INSTALL_PREFIX
#define VIGILORB_INSTALL_PREFIX ""
#endif

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

bool hasArgument(int argc, char** argv, const char* argument) {
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], argument) == 0) return true;
    return false;
}

bool set(const char* name) {
    const char* value = std::getenv(name);
    return value && *value;
}

void nameApplication() {
    // Both names make the preferences path (~/.config/VigilorbCompanion/VigilorbCompanion.conf).
    QCoreApplication::setOrganizationName("VigilorbCompanion");
    QCoreApplication::setApplicationName("VigilorbCompanion");
    QCoreApplication::setApplicationVersion(
        QString::fromLatin1(vigilorb::desktop::versionText(VIGILORB_VERSION).data()));
}

int runHeadless(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    nameApplication();
    if (!watchTerminationSignals(app)) return 1;

    vigilorb::QSettingsPreferences preferences;
    vigilorb::ProviderRuntimeOptions options;
    options.preferences = &preferences;
    vigilorb::ProviderRuntimeController runtime(std::move(options));
    return app.exec();
}

int runWindow(int argc, char** argv, bool startHidden) {
    using namespace vigilorb;
    QApplication app(argc, argv);
    nameApplication();
    const QString appID = QString::fromLatin1(desktop::applicationID.data(), desktop::applicationID.size());
    QGuiApplication::setDesktopFileName(appID);
    QApplication::setWindowIcon(app::themedIcon(app::Icon::application));
    if (!watchTerminationSignals(app)) return 1;

    QSettingsPreferences preferences;
    auto identity = CompanionIdentity::loadOrCreate(preferences, hostComputerName());
    auto secrets = chooseSecretItemBackend(defaultPairingKeyFolder());
    KeychainPairingKeyStore keyStore(*secrets);

    ProviderRuntimeOptions runtimeOptions;
    runtimeOptions.preferences = &preferences;
    ProviderRuntimeController runtime(std::move(runtimeOptions));

    auto executable = process::currentExecutable().value_or(std::filesystem::path{});
    app::CompanionTransportPanel::Options transportOptions;
    transportOptions.preferences = &preferences;
    transportOptions.keyStore = &keyStore;
    transportOptions.identity = identity;
    transportOptions.loginItems = std::make_unique<desktop::XdgAutostartService>(
        desktop::autostartFile(paths::processEnvironment()).value_or(std::filesystem::path{}), executable);
    transportOptions.runningPath = executable;
    if (*VIGILORB_INSTALL_PREFIX) transportOptions.installPrefix = std::filesystem::path(VIGILORB_INSTALL_PREFIX);
    app::CompanionTransportPanel transport(std::move(transportOptions));

    app::CompanionStatusWindow::Options windowOptions;
    windowOptions.version = std::string(desktop::versionText(VIGILORB_VERSION));
    windowOptions.preferences = &preferences;
    app::CompanionStatusWindow window(runtime, transport, identity, std::move(windowOptions));

    std::unique_ptr<app::CompanionTray> tray;
    if (QSystemTrayIcon::isSystemTrayAvailable()) {
        tray = std::make_unique<app::CompanionTray>(app::CompanionTray::Actions{
            [&window] { window.present(); },
            [&window] {
                window.present();
                window.generatePairingInvitation();
            },
            [] { QCoreApplication::quit(); }});
        auto count = [&] { tray->setPendingApprovals(static_cast<int>(runtime.snapshot().pendingActionsByID.size())); };
        QObject::connect(&runtime, &ProviderRuntimeController::snapshotChanged, tray.get(), count);
        // The companion keeps serving from the tray when its window is closed.
        window.setClosesToTray(true);
        app.setQuitOnLastWindowClosed(false);
    }

    auto bus = QDBusConnection::sessionBus();
    if (bus.isConnected()) bus.registerService(appID);
    app::DesktopNotifications notifications(bus);
    app::ApprovalNotifications approvals(
        runtime, [&preferences] { return preferences.boolean(app::notifyApprovalsKey).value_or(true); },
        [&notifications](const desktop::PendingActionNotification& n) {
            notifications.notify(QString::fromStdString(n.summary), QString::fromStdString(n.body));
        });

    // Started hidden at login only where the tray can bring it back.
    if (!startHidden || !tray) window.show();
    return app.exec();
}

}  // namespace

extern "C" __attribute__((visibility("default"))) int vigilorb_app_main(int argc, char** argv) {
    bool headless = hasArgument(argc, argv, "--headless") || (!set("DISPLAY") && !set("WAYLAND_DISPLAY"));
    if (headless) return runHeadless(argc, argv);
    return runWindow(argc, argv, hasArgument(argc, argv, "--hidden"));
}
