#include "transport/cloud_relay_client.hpp"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QTimer>
#include <QUrl>

#include <algorithm>

#include "cloud/relay_settings.hpp"

namespace vigilorb::transport {

namespace {

using Clock = cloud::UploadSchedule::Clock;

// Qt's OpenSSL backend reads the system's certificate folders itself and ignores OpenSSL's
// SSL_CERT_FILE and SSL_CERT_DIR, which users and tests set to trust a private authority.
// Certificates named there are trusted in addition to the system store; verification stays on.
QList<QSslCertificate> certificatesFromEnvironment() {
    QList<QSslCertificate> certificates;
    if (auto file = qEnvironmentVariable("SSL_CERT_FILE"); !file.isEmpty())
        certificates += QSslCertificate::fromPath(file, QSsl::Pem);
    if (auto folders = qEnvironmentVariable("SSL_CERT_DIR"); !folders.isEmpty())
        for (const auto& folder : folders.split(QLatin1Char(':'), Qt::SkipEmptyParts))
            certificates += QSslCertificate::fromPath(folder + QStringLiteral("/*"), QSsl::Pem,
                                                      QSslCertificate::PatternSyntax::Wildcard);
    return certificates;
}

const QSslConfiguration& relayTlsConfiguration() {
    static const QSslConfiguration configuration = [] {
        auto c = QSslConfiguration::defaultConfiguration();
        c.setPeerVerifyMode(QSslSocket::VerifyPeer);
        if (auto extra = certificatesFromEnvironment(); !extra.isEmpty()) {
            // Setting authorities replaces the system store, so it is listed explicitly.
            auto authorities = QSslConfiguration::systemCaCertificates();
            authorities += extra;
            c.setCaCertificates(authorities);
        }
        return c;
    }();
    return configuration;
}

// What the relay may send back is ignored; reading it keeps Qt from buffering it.
constexpr qint64 replyBufferLimit = 64 * 1024;

}  // namespace

CloudRelayClient::CloudRelayClient(security::RelayCredentials credentials, std::string companionID, std::string companionName,
                                   security::LocalPairingKey key, Preferences& preferences, store::CompanionSnapshot snapshot,
                                   Options options, QObject* parent)
    : QObject(parent),
      credentials_(std::move(credentials)),
      companionID_(std::move(companionID)),
      companionName_(std::move(companionName)),
      key_(std::move(key)),
      preferences_(preferences),
      snapshot_(std::move(snapshot)),
      options_(std::move(options)),
      schedule_(cloud::storedSequence(preferences, companionID_), options_.schedule),
      network_(new QNetworkAccessManager(this)),
      wakeTimer_(new QTimer(this)),
      requestTimer_(new QTimer(this)) {
    wakeTimer_->setSingleShot(true);
    connect(wakeTimer_, &QTimer::timeout, this, [this] { apply(schedule_.timerFired(Clock::now())); });
    requestTimer_->setSingleShot(true);
    connect(requestTimer_, &QTimer::timeout, this, [this] {
        if (reply_) reply_->abort();  // reported through finished as a failure
    });
}

CloudRelayClient::~CloudRelayClient() {
    schedule_.cancel();
    if (reply_) {
        reply_->disconnect(this);
        reply_->abort();
        reply_->deleteLater();
    }
}

QString CloudRelayClient::uploadURL() const {
    return QString::fromStdString(
        cloud::relayUploadURL(credentials_.baseURL, credentials_.channelID, companionID_));
}

void CloudRelayClient::start() { apply(schedule_.start(Clock::now())); }

void CloudRelayClient::setSnapshot(const store::CompanionSnapshot& snapshot) {
    snapshot_ = snapshot;
    apply(schedule_.snapshotChanged(Clock::now()));
}

void CloudRelayClient::apply(const cloud::UploadSchedule::Step& step) {
    if (step.storeSequence) cloud::storeSequence(preferences_, companionID_, *step.storeSequence);
    if (step.status) emit statusText(QString::fromUtf8(step.status->data(), static_cast<qsizetype>(step.status->size())));
    if (step.wakeAt) {
        auto delay = std::chrono::duration_cast<std::chrono::milliseconds>(*step.wakeAt - Clock::now());
        wakeTimer_->start(std::max(delay, std::chrono::milliseconds(0)));
    } else {
        wakeTimer_->stop();
    }
    if (step.uploadSequence) upload(*step.uploadSequence);
}

void CloudRelayClient::upload(std::uint64_t sequence) {
    auto envelope =
        security::EncryptedCloudSnapshotEnvelope::seal(snapshot_, companionID_, companionName_, key_, sequence, options_.clock());
    auto encoded = envelope ? envelope->encode() : std::unexpected(envelope.error());
    if (!encoded) {
        // Nothing to send this time; the relay counts as offline and the retry seals again.
        QTimer::singleShot(0, this, [this, sequence] { finish(sequence, false); });
        return;
    }
    QByteArray body = QByteArray::fromStdString(*encoded);
    QNetworkRequest request{QUrl(uploadURL(), QUrl::StrictMode)};
    request.setRawHeader("Authorization", QByteArray("Bearer ") + QByteArray::fromStdString(credentials_.accessToken));
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
    // A redirect would carry the token to another address; any 3xx is an unusable answer.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    request.setSslConfiguration(relayTlsConfiguration());
    auto* reply = network_->put(request, body);
    reply_ = reply;
    reply->setReadBufferSize(replyBufferLimit);
    connect(reply, &QNetworkReply::readyRead, this, [reply] { reply->skip(reply->bytesAvailable()); });
    connect(reply, &QNetworkReply::finished, this, [this, reply, sequence] {
        requestTimer_->stop();
        auto status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
        bool accepted = reply->error() == QNetworkReply::NoError && status.isValid() &&
                        cloud::isAcceptedStatus(status.toInt());
        reply->deleteLater();
        if (reply_ == reply) reply_.clear();
        finish(sequence, accepted);
    });
    requestTimer_->start(options_.requestTimeout);
}

void CloudRelayClient::finish(std::uint64_t sequence, bool accepted) {
    apply(schedule_.uploadFinished(sequence,
                                   accepted ? cloud::UploadSchedule::Outcome::success
                                            : cloud::UploadSchedule::Outcome::failure,
                                   Clock::now()));
    emit attemptFinished(sequence, accepted);
}

}  // namespace vigilorb::transport
