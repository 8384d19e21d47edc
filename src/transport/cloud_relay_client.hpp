#pragma once
// Uploads the sealed snapshot to the relay: an HTTP PUT of the envelope after every change
// (debounced), retried while the relay is unreachable. When to upload is decided by
// cloud::UploadSchedule; this class only runs its timer and the requests.
#include <QObject>
#include <QPointer>
#include <QString>

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "cloud/upload_schedule.hpp"
#include "model/preferences.hpp"
#include "security/cloud_envelope.hpp"
#include "store/snapshot.hpp"

class QNetworkAccessManager;
class QNetworkReply;
class QTimer;

namespace vigilorb::transport {

class CloudRelayClient : public QObject {
    Q_OBJECT

public:
    struct Options {
        cloud::UploadSchedule::Durations schedule;
        // The whole request, connection to answer; a relay that answers slowly is offline.
        std::chrono::milliseconds requestTimeout{15000};
        std::function<Date()> clock = &Date::now;
    };

    // Reads the stored sequence number of the companion from `preferences` (not owned; it
    // must outlive the client) and stores each number the relay accepts there.
    CloudRelayClient(security::RelayCredentials credentials, std::string companionID, std::string companionName,
                     security::LocalPairingKey key, Preferences& preferences, store::CompanionSnapshot snapshot, Options options,
                     QObject* parent = nullptr);
    CloudRelayClient(security::RelayCredentials credentials, std::string companionID, std::string companionName,
                     security::LocalPairingKey key, Preferences& preferences, store::CompanionSnapshot snapshot)
        : CloudRelayClient(std::move(credentials), std::move(companionID), std::move(companionName), std::move(key),
                           preferences, std::move(snapshot), Options{}) {}
    // Drops a pending upload and any request in flight without a status text.
    ~CloudRelayClient() override;

    // The first upload, at once.
    void start();
    // Replaces the snapshot to upload and uploads it once changes have settled.
    void setSnapshot(const store::CompanionSnapshot& snapshot);

    const security::RelayCredentials& credentials() const { return credentials_; }
    std::uint64_t sequence() const { return schedule_.sequence(); }
    // The URL every upload of this client goes to.
    QString uploadURL() const;

signals:
    void statusText(const QString& text);
    // After each attempt (for observers that need more than the status line).
    void attemptFinished(quint64 sequence, bool accepted);

private:
    void apply(const cloud::UploadSchedule::Step& step);
    void upload(std::uint64_t sequence);
    void finish(std::uint64_t sequence, bool accepted);

    security::RelayCredentials credentials_;
    std::string companionID_;
    std::string companionName_;
    security::LocalPairingKey key_;
    Preferences& preferences_;
    store::CompanionSnapshot snapshot_;
    Options options_;
    cloud::UploadSchedule schedule_;
    QNetworkAccessManager* network_;
    QTimer* wakeTimer_;
    QTimer* requestTimer_;
    QPointer<QNetworkReply> reply_;
};

}  // namespace vigilorb::transport
