#include "transport/keychain_store.hpp"

#include <qt6keychain/keychain.h>

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusReply>
#include <QEventLoop>
#include <QTimer>

#include "model/paths.hpp"

namespace vigilorb::transport {

namespace {

constexpr const char* secretServiceName = "org.freedesktop.secrets";

// The status of a failed job (never called for NoError).
security::KeyStoreStatus statusOf(QKeychain::Error error) {
    switch (error) {
        case QKeychain::EntryNotFound: return security::KeyStoreStatus::itemNotFound;
        case QKeychain::AccessDenied:
        case QKeychain::AccessDeniedByUser: return security::KeyStoreStatus::accessDenied;
        case QKeychain::NoBackendAvailable:
        case QKeychain::NotImplemented: return security::KeyStoreStatus::noBackend;
        default: return security::KeyStoreStatus::otherFailure;
    }
}

struct Outcome {
    bool finished = false;
    QKeychain::Error error = QKeychain::NoError;
    QByteArray data;
};

// Runs a job to completion or until the timeout. A job that has not finished is left to
// delete itself whenever its backend answers; it must not be deleted while a call is pending.
Outcome run(QKeychain::Job* job, std::chrono::milliseconds timeout, bool readsData) {
    auto outcome = std::make_shared<Outcome>();
    job->setAutoDelete(false);
    job->setInsecureFallback(false);
    QEventLoop loop;
    QObject::connect(job, &QKeychain::Job::finished, &loop, [outcome, readsData, &loop](QKeychain::Job* j) {
        outcome->finished = true;
        outcome->error = j->error();
        if (readsData && j->error() == QKeychain::NoError)
            outcome->data = static_cast<QKeychain::ReadPasswordJob*>(j)->binaryData();
        loop.quit();
    });
    QTimer timer;
    timer.setSingleShot(true);
    QObject::connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
    timer.start(timeout);
    job->start();
    if (!outcome->finished) loop.exec();
    if (outcome->finished) {
        job->deleteLater();
    } else {
        QObject::disconnect(job, nullptr, &loop, nullptr);
        job->setAutoDelete(true);
    }
    return *outcome;
}

std::expected<void, security::KeyStoreStatus> write(const security::SecretItemQuery& query, const Bytes& data,
                                          std::chrono::milliseconds timeout) {
    auto* job = new QKeychain::WritePasswordJob(QString::fromStdString(query.service));
    job->setKey(QString::fromStdString(query.account));
    job->setBinaryData(QByteArray(reinterpret_cast<const char*>(data.data()), static_cast<qsizetype>(data.size())));
    auto outcome = run(job, timeout, false);
    if (!outcome.finished) return std::unexpected(security::KeyStoreStatus::timedOut);
    if (outcome.error != QKeychain::NoError) return std::unexpected(statusOf(outcome.error));
    return {};
}

}  // namespace

std::expected<void, security::KeyStoreStatus> QtKeychainSecretItemBackend::update(const security::SecretItemQuery& query, const Bytes& data) {
    return write(query, data, timeout_);
}

std::expected<void, security::KeyStoreStatus> QtKeychainSecretItemBackend::add(const security::SecretItemQuery& query, const Bytes& data) {
    return write(query, data, timeout_);
}

std::expected<Bytes, security::KeyStoreStatus> QtKeychainSecretItemBackend::copyMatching(const security::SecretItemQuery& query) {
    auto* job = new QKeychain::ReadPasswordJob(QString::fromStdString(query.service));
    job->setKey(QString::fromStdString(query.account));
    auto outcome = run(job, timeout_, true);
    if (!outcome.finished) return std::unexpected(security::KeyStoreStatus::timedOut);
    if (outcome.error != QKeychain::NoError) return std::unexpected(statusOf(outcome.error));
    return Bytes(outcome.data.begin(), outcome.data.end());
}

bool secretServiceAvailable() {
    auto bus = QDBusConnection::sessionBus();
    if (!bus.isConnected() || !bus.interface()) return false;
    if (bus.interface()->isServiceRegistered(secretServiceName).value()) return true;
    QDBusReply<QStringList> activatable = bus.interface()->call("ListActivatableNames");
    return activatable.isValid() && activatable.value().contains(secretServiceName);
}

std::unique_ptr<security::SecretItemBackend> chooseSecretItemBackend(const std::filesystem::path& fallbackFolder,
                                                          std::chrono::milliseconds timeout) {
    if (secretServiceAvailable()) return std::make_unique<QtKeychainSecretItemBackend>(timeout);
    return std::make_unique<security::FileSecretItemBackend>(fallbackFolder);
}

std::filesystem::path defaultPairingKeyFolder() {
    auto base = paths::applicationSupport().value_or(paths::temporaryDirectory());
    return base / paths::companionFolderName / "PairingKeys";
}

}  // namespace vigilorb::transport
