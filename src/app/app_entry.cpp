// The app role, loaded by main() from libvigilorb_app.so. Until the status window exists it
// runs the provider runtime and the transport controller without a window until SIGINT or
// SIGTERM, then exits cleanly. The local control channel lets `vigilorb-companion --pair` and
// `--relay-address` reach it meanwhile.
#include <QCoreApplication>
#include <QSocketNotifier>

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include "runtime/cli/control_channel.hpp"
#include "runtime/provider_runtime_controller.hpp"
#include "runtime/qsettings_preferences.hpp"
#include "security/identity.hpp"
#include "transport/companion_transport_controller.hpp"
#include "transport/control_server.hpp"
#include "transport/keychain_store.hpp"

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

// The control requests of the app: pairing and the relay address, answered from the
// transport controller. The invitation goes back over the socket only, never to a file or log.
void serveControlRequests(vigilorb::ControlServer& server, vigilorb::CompanionTransportController& transport) {
    using namespace vigilorb;
    server.addHandler("pair", [&transport](const std::string&, ControlServer::Reply reply) {
        transport.generatePairingInvitation([reply](const CompanionTransportController::PairingResult& result) {
            if (!result) {
                reply({false,
                       result.error() == PairingFailure::alreadyPreparing
                           ? "Another pairing invitation is being prepared; try again in a moment."
                           : std::string(pairingFailureText),
                       {}});
                return;
            }
            reply({true, {}, {{"invitation", result->qrPayload()}, {"verification-code", result->verificationCode()}}});
        });
    });
    server.addHandler("relay-address", [&transport](const std::string& text, ControlServer::Reply reply) {
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

}  // namespace

extern "C" __attribute__((visibility("default"))) int vigilorb_app_main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setOrganizationName("VigilorbCompanion");
    QCoreApplication::setApplicationName("VigilorbCompanion");
    if (!watchTerminationSignals(app)) return 1;

    using namespace vigilorb;
    QSettingsPreferences preferences;
    ProviderRuntimeOptions options;
    options.preferences = &preferences;
    ProviderRuntimeController runtime(std::move(options));

    CompanionTransportController::Options transportOptions;
    transportOptions.currentSnapshot = [&runtime] { return runtime.snapshot(); };
    CompanionTransportController transport(CompanionIdentity::loadOrCreate(preferences, hostComputerName()),
                                           preferences, chooseSecretItemBackend(defaultPairingKeyFolder()),
                                           std::move(transportOptions));
    runtime.setPublishSink([&transport](const CompanionSnapshot& snapshot) { transport.publish(snapshot); });
    transport.restoreStoredKey();

    ControlServer control(control::socketFolder(paths::processEnvironment(), ::geteuid()));
    serveControlRequests(control, transport);
    // Without the channel the app still runs; only the two control commands cannot reach it.
    [[maybe_unused]] auto listening = control.listen();
    auto status = app.exec();
    runtime.setPublishSink({});  // the transport controller goes first
    return status;
}
