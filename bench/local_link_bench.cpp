// Publish to payload over the loopback link: LocalLinkServer::setSnapshot in this process, the
// receiver `vigilorb-peer listen` (TLS-PSK, envelope check, one JSON line per payload) in
// another. Each change waits for its line before the next, so every figure is one full trip.
// Baseline, same run: signing the envelope and the receiver's check with no I/O at all.
//
//   local_link_bench [changes]      (vigilorb-peer is taken from beside this executable)
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

#include "security/snapshot_envelope.hpp"
#include "transport/local_link_server.hpp"

using namespace vigilorb;
using Clock = std::chrono::steady_clock;

namespace {

const std::string companionID = "mac-0f1e2d3c-4b5a-4697-8877-665544332211";

// A realistic picture: three accounts' quotas and twenty tasks, one of which carries the change.
store::CompanionSnapshot snapshot(int change) {
    store::CompanionSnapshot s;
    for (int a = 0; a < 3; ++a) {
        auto account = "account-" + std::to_string(a);
        s.quotasByAccount["codex:" + account] = AccountQuotaSnapshot{
            std::nullopt, account, AIProvider::codex,
            {{QuotaWindowKind::primary, 42.5, Date::fromReference(800000000), 300}}, Date::fromReference(790000000)};
    }
    for (int t = 0; t < 20; ++t) {
        auto id = "task-" + std::to_string(t);
        auto title = t == 0 ? "change " + std::to_string(change) : "A task with an ordinary title " + std::to_string(t);
        s.tasksByID[id] = TaskSnapshot{id, std::nullopt, "work", AIProvider::claude, title, TaskState::running,
                                       Date::fromReference(790000000 + t)};
    }
    return s;
}

double percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    return v[static_cast<std::size_t>(p * static_cast<double>(v.size() - 1))];
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    int changes = argc > 1 ? std::atoi(argv[1]) : 1000;
    auto key = *security::LocalPairingKey::fromBytes(security::crypto::randomBytes(32));

    transport::LocalLinkServer::Options options;
    options.advertise = false;
    options.listenAddress = QHostAddress::LocalHost;
    transport::LocalLinkServer server(companionID, "Bench", key, snapshot(0), options);
    server.start();

    QTemporaryDir dir;
    auto state = dir.filePath("pairing.json");
    QFile f(state);
    f.open(QIODevice::WriteOnly);
    f.write(QByteArray::fromStdString(R"({"companionID":")" + companionID + R"(","key":")" +
                                      security::crypto::hexLowercase(key.bytes()) + "\"}"));
    f.close();

    QProcess peer;
    peer.start(QCoreApplication::applicationDirPath() + "/vigilorb-peer",
               {"listen", "--state", state, "--address", QString("127.0.0.1:%1").arg(server.port()), "--count",
                QString::number(changes + 1)});
    QByteArray pending;
    auto nextLine = [&]() -> QByteArray {
        QDeadlineTimer deadline(30000);
        for (;;) {
            if (auto nl = pending.indexOf('\n'); nl >= 0) {
                auto line = pending.left(nl);
                pending.remove(0, nl + 1);
                return line;
            }
            if (deadline.hasExpired() || peer.state() == QProcess::NotRunning) return {};
            // Busy enough to see the line at once, without sleeping between checks.
            QCoreApplication::processEvents(QEventLoop::AllEvents);
            pending += peer.readAllStandardOutput();
        }
    };
    if (nextLine().isEmpty()) {
        std::fprintf(stderr, "receiver did not start: %s\n", peer.readAllStandardError().constData());
        return 1;
    }

    std::vector<double> trips;
    for (int i = 1; i <= changes; ++i) {
        auto s = snapshot(i);
        auto t0 = Clock::now();
        server.setSnapshot(s);
        auto line = nextLine();
        auto t1 = Clock::now();
        if (!line.contains(QByteArray("change ") + QByteArray::number(i) + '"')) {
            std::fprintf(stderr, "change %d: unexpected line\n", i);
            return 1;
        }
        trips.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
    }

    std::vector<double> baseline;
    security::SnapshotNonceReplayGuard guard;
    for (int i = 1; i <= changes; ++i) {
        auto s = snapshot(i);
        auto t0 = Clock::now();
        auto envelope = security::SignedSnapshotEnvelope::create(s, key, Date::now()).value();
        if (!security::SignedEnvelopeReceiver::check(envelope, key, Date::now(), guard)) return 1;
        baseline.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
    }

    double base = percentile(baseline, 0.5);
    std::printf("%-44s %10s %10s %8s\n", "", "median", "p99", "x base");
    std::printf("%-44s %7.3f ms %7.3f ms %7.1fx\n", "publish -> verified payload (loopback link)", percentile(trips, 0.5),
                percentile(trips, 0.99), percentile(trips, 0.5) / base);
    std::printf("%-44s %7.3f ms %7.3f ms %7.1fx\n", "baseline: sign + check, no I/O", base, percentile(baseline, 0.99), 1.0);
    std::printf("(%d changes)\n", changes);
    peer.kill();
    peer.waitForFinished();
    return 0;
}
