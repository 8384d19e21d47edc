// The app role, loaded by the launcher (src/launcher) from libvigilorb_app.so: the provider runtime, the transport
// controller and the local control channel (`vigilorb-companion --pair`, `--relay-address`, and
// the "show" request of a second start). With a display it also shows the status window (and a
// tray icon where the desktop has one); without one, or with --headless, it runs without any
// window, as servers and CI need. Either way it runs until SIGINT or SIGTERM (or Quit), then
// exits cleanly.
#include <QApplication>
#include <QCoreApplication>
#include <QDBusConnection>
#include <QSocketNotifier>
#include <QSystemTrayIcon>

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
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
#include "cli/control_channel.hpp"
#include "cli/process.hpp"
#include "launcher/app_library.hpp"
#include "runtime/provider_runtime_controller.hpp"
#include "runtime/qsettings_preferences.hpp"
#include "security/identity.hpp"
#include "transport/companion_transport_controller.hpp"
#include "transport/control_server.hpp"
#include "transport/keychain_store.hpp"

#ifndef VIGILORB_VERSION
#define VIGILORB_VERSION ""
#endif
#ifndef VIGILORB_INSTALL_PREFIX
#define VIGILORB_INSTALL_PREFIX ""
#endif

namespace {

int signalPipe[2] = {-1, -1};
// Set by the handler itself, so work that holds the event loop (a long drain pass) can see the
// request before the loop gets to the pipe.
std::atomic<bool> stopRequested{false};
static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");

void onSignal(int) {
    stopRequested.store(true, std::memory_order_relaxed);
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

// The control requests of the app: pairing and the relay address, answered from the
// transport controller. The invitation goes back over the socket only, never to a file or log.
void serveControlRequests(vigilorb::transport::ControlServer& server, vigilorb::transport::CompanionTransportController& transport) {
    using namespace vigilorb;
    server.addHandler("pair", [&transport](const std::string&, transport::ControlServer::Reply reply) {
        transport.generatePairingInvitation([reply](const transport::CompanionTransportController::PairingResult& result) {
            if (!result) {
                reply({false,
                       result.error() == transport::PairingFailure::alreadyPreparing
                           ? "Another pairing invitation is being prepared; try again in a moment."
                           : std::string(transport::pairingFailureText),
                       {}});
                return;
            }
            // The identity's name is valid UTF-8, so this holds; were it not, no half invitation is sent.
            auto payload = result->qrPayload();
            if (!payload) {
                reply({false, std::string(transport::pairingFailureText), {}});
                return;
            }
            reply({true, {}, {{"invitation", *payload}, {"verification-code", result->verificationCode()}}});
        });
    });
    server.addHandler("relay-address", [&transport](const std::string& text, transport::ControlServer::Reply reply) {
        auto url = transport.changeRelayAddress(text);
        if (url) {
            reply({true, {}, {{"message", "Cloud sync address saved: " + *url}}});
        } else if (url.error() == cloud::NoRelay::invalidAddress) {
            reply({false,
                   "Saved, but this is not a usable relay address (https, a host, no user, query or fragment); "
                   "cloud sync is off.",
                   {}});
        } else {
            reply({true, {}, {{"message", "Cloud sync address cleared; cloud sync is off."}}});
        }
    });
}


// What a window adds to a running companion: the window itself, the tray, launch at login and
// approval notifications, and the answer to a second start.
struct Desktop {
    std::unique_ptr<vigilorb::app::CompanionTransportPanel> transport;
    std::unique_ptr<vigilorb::app::CompanionStatusWindow> window;
    std::unique_ptr<vigilorb::app::CompanionTray> tray;
    std::unique_ptr<vigilorb::app::DesktopNotifications> notifications;
    std::unique_ptr<vigilorb::app::ApprovalNotifications> approvals;
};

std::unique_ptr<Desktop> openDesktop(QApplication& app, vigilorb::Preferences& preferences,
                                     vigilorb::runtime::ProviderRuntimeController& runtime,
                                     vigilorb::transport::CompanionTransportController& controller,
                                     vigilorb::transport::ControlServer& control, bool startHidden) {
    using namespace vigilorb;
    auto desktop = std::make_unique<Desktop>();
    const QString appID = QString::fromLatin1(desktop::applicationID.data(), desktop::applicationID.size());
    QGuiApplication::setDesktopFileName(appID);
    QApplication::setWindowIcon(app::themedIcon(app::Icon::application));

    auto executable = cli::currentExecutable().value_or(std::filesystem::path{});
    app::CompanionTransportPanel::Options transportOptions;
    transportOptions.controller = &controller;
    transportOptions.preferences = &preferences;
    transportOptions.loginItems = std::make_unique<desktop::XdgAutostartService>(
        desktop::autostartFile(paths::processEnvironment()).value_or(std::filesystem::path{}), executable);
    transportOptions.runningPath = executable;
    if (*VIGILORB_INSTALL_PREFIX) transportOptions.installPrefix = std::filesystem::path(VIGILORB_INSTALL_PREFIX);
    desktop->transport = std::make_unique<app::CompanionTransportPanel>(std::move(transportOptions));

    app::CompanionStatusWindow::Options windowOptions;
    windowOptions.version = std::string(desktop::versionText(VIGILORB_VERSION));
    windowOptions.preferences = &preferences;
    desktop->window = std::make_unique<app::CompanionStatusWindow>(runtime, *desktop->transport,
                                                                  controller.identity(), std::move(windowOptions));
    auto* window = desktop->window.get();

    if (QSystemTrayIcon::isSystemTrayAvailable()) {
        desktop->tray = std::make_unique<app::CompanionTray>(app::CompanionTray::Actions{
            [window] { window->present(); },
            [window] {
                window->present();
                window->generatePairingInvitation();
            },
            [] { QCoreApplication::quit(); }});
        auto* tray = desktop->tray.get();
        QObject::connect(&runtime, &runtime::ProviderRuntimeController::snapshotChanged, tray, [tray, &runtime] {
            tray->setPendingApprovals(static_cast<int>(runtime.snapshot().pendingActionsByID.size()));
        });
        // The companion keeps serving from the tray when its window is closed.
        window->setClosesToTray(true);
        app.setQuitOnLastWindowClosed(false);
    }

    auto bus = QDBusConnection::sessionBus();
    if (bus.isConnected()) bus.registerService(appID);
    desktop->notifications = std::make_unique<app::DesktopNotifications>(bus);
    auto* notifications = desktop->notifications.get();
    desktop->approvals = std::make_unique<app::ApprovalNotifications>(
        runtime, [&preferences] { return preferences.boolean(app::notifyApprovalsKey).value_or(true); },
        [notifications](const desktop::PendingActionNotification& n) {
            notifications->notify(QString::fromStdString(n.summary), QString::fromStdString(n.body));
        });

    // A second start asks for the window instead of starting again.
    control.addHandler("show", [window](const std::string&, transport::ControlServer::Reply reply) {
        window->present();
        reply({true, {}, {}});
    });

    // Started hidden at login only where the tray can bring it back.
    if (!startHidden || !desktop->tray) window->show();
    return desktop;
}

int runApp(int argc, char** argv, bool withWindow, bool startHidden) {
    using namespace vigilorb;
    std::unique_ptr<QCoreApplication> app;
    if (withWindow) app = std::make_unique<QApplication>(argc, argv);
    else app = std::make_unique<QCoreApplication>(argc, argv);
    nameApplication();
    if (!watchTerminationSignals(*app)) return 1;

    runtime::QSettingsPreferences preferences;
    runtime::ProviderRuntimeOptions options;
    options.preferences = &preferences;
    options.stopRequested = [] { return stopRequested.load(std::memory_order_relaxed); };
    runtime::ProviderRuntimeController runtime(std::move(options));
    transport::CompanionTransportController::Options transportOptions;
    transportOptions.currentSnapshot = [&runtime] { return runtime.snapshot(); };
    transport::CompanionTransportController transport(security::CompanionIdentity::loadOrCreate(preferences, security::hostComputerName()),
                                           preferences, transport::chooseSecretItemBackend(transport::defaultPairingKeyFolder()),
                                           std::move(transportOptions));
    runtime.setPublishSink([&transport](const store::CompanionSnapshot& snapshot) { transport.publish(snapshot); });
    transport.restoreStoredKey();
    transport::ControlServer control(cli::socketFolder(paths::processEnvironment(), ::geteuid()));
    serveControlRequests(control, transport);

    std::unique_ptr<Desktop> desktop;
    if (withWindow)
        desktop = openDesktop(static_cast<QApplication&>(*app), preferences, runtime, transport, control, startHidden);
    // Without the channel the app still runs; only the control commands cannot reach it.
    [[maybe_unused]] auto listening = control.listen();
    auto status = app->exec();
    desktop.reset();
    runtime.setPublishSink({});  // the transport controller goes first
    return status;
}

}  // namespace

int vigilorb_app_main(int argc, char** argv) {
    bool headless = hasArgument(argc, argv, "--headless") || (!set("DISPLAY") && !set("WAYLAND_DISPLAY"));
    return runApp(argc, argv, !headless, hasArgument(argc, argv, "--hidden"));
}
