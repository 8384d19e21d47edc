#include "peer/fetch.hpp"

#include <httplib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <thread>

#include "model/json.hpp"
#include "relay/event_stream.hpp"
#include "security/cloud_envelope.hpp"
#include "security/protocol_error.hpp"

namespace vigilorb::phone {

namespace {

constexpr std::size_t envelopeLimit = 1024 * 1024;

struct Target {
    std::string origin;  // scheme://host[:port]
    std::string path;    // base path, no trailing slash
};

std::optional<Target> split(std::string_view url) {
    auto scheme = url.find("://");
    if (scheme == std::string_view::npos) return std::nullopt;
    auto name = std::string(url.substr(0, scheme));
    for (auto& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (name != "https" && name != "http") return std::nullopt;
    auto slash = url.find('/', scheme + 3);
    Target t{name + "://" + std::string(url.substr(scheme + 3, slash - scheme - 3)),
             slash == std::string_view::npos ? std::string() : std::string(url.substr(slash))};
    if (t.origin.size() == name.size() + 3) return std::nullopt;
    while (t.path.ends_with('/')) t.path.pop_back();
    return t;
}

std::string percentEncoded(std::string_view segment) {
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : segment) {
        if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

int refuse(std::string_view name) {
    std::cerr << name << "\n";
    return 1;
}

std::optional<std::uint64_t> readLastSequence(const std::optional<std::filesystem::path>& file) {
    if (!file) return std::nullopt;
    std::ifstream in(*file);
    if (!in) return std::nullopt;
    auto j = json::parse(std::string(std::istreambuf_iterator<char>(in), {}));
    if (j && j->is_object() && j->contains("lastSequence") && (*j)["lastSequence"].is_number_unsigned())
        return (*j)["lastSequence"].get<std::uint64_t>();
    return std::nullopt;
}

// Atomic replace, mode 0600: another run may read it at any time.
void writeLastSequence(const std::optional<std::filesystem::path>& file, std::uint64_t sequence) {
    if (!file) return;
    auto temporary = file->string() + ".tmp" + std::to_string(::getpid());
    {
        mode_t old = ::umask(077);
        std::ofstream out(temporary, std::ios::trunc);
        ::umask(old);
        out << "{\"lastSequence\":" << sequence << "}\n";
        if (!out.flush()) return;
    }
    std::error_code ec;
    std::filesystem::rename(temporary, *file, ec);
    if (ec) std::filesystem::remove(temporary, ec);
}

void printPayload(const Bytes& payload) {
    std::fwrite(payload.data(), 1, payload.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

std::unique_ptr<httplib::Client> client(const Target& target, std::chrono::seconds readTimeout) {
    auto c = std::make_unique<httplib::Client>(target.origin);
    c->set_connection_timeout(10);
    c->set_read_timeout(static_cast<time_t>(readTimeout.count()));
    c->set_write_timeout(10);
    c->set_follow_location(false);
#ifdef CPPHTTPLIB_OPENSSL_SUPPORT
    c->enable_server_certificate_verification(true);
#endif
    return c;
}

int fetchOnce(const FetchOptions& o, const Target& target, const httplib::Headers& headers, const std::string& path) {
    auto c = client(target, std::chrono::seconds(15));
    std::string body;
    bool tooLarge = false;
    auto result = c->Get(path, headers, [&](const char* data, std::size_t length) {
        if (body.size() + length > envelopeLimit) {
            tooLarge = true;
            return false;
        }
        body.append(data, length);
        return true;
    });
    if (tooLarge) return refuse("invalidResponse");
    if (!result) return refuse("relayUnavailable");
    if (result->status == 401) return refuse("unauthorized");
    if (result->status == 404) return refuse("notFound");
    if (result->status != 200) return refuse("relayUnavailable");
    auto envelope = security::EncryptedCloudSnapshotEnvelope::decode(body);
    if (!envelope) return refuse(rawValue(security::CloudSnapshotError::incompatibleSchema));
    if (envelope->sourceID != o.companionID) return refuse("invalidResponse");
    auto last = readLastSequence(o.sequenceFile);
    // Reading the same envelope again is fine; an older one would roll the reader back.
    if (last && envelope->sequence < *last) return refuse("staleSequence");
    auto payload = envelope->open(o.key);
    if (!payload) return refuse(rawValue(payload.error()));
    writeLastSequence(o.sequenceFile, envelope->sequence);
    printPayload(*payload);
    return 0;
}

int watch(const FetchOptions& o, const Target& target, const httplib::Headers& headers, const std::string& path) {
    SequenceGuard guard(readLastSequence(o.sequenceFile));
    // Keep-alive comments arrive every 15 s; a silent minute means the connection is gone.
    auto c = client(target, std::chrono::seconds(60));
    while (true) {
        int status = 0;
        relay::EventStreamReader reader;
        auto result = c->Get(
            path, headers,
            [&](const httplib::Response& response) {
                status = response.status;
                return status == 200;
            },
            [&](const char* data, std::size_t length) {
                for (const auto& event : reader.feed(std::string_view(data, length))) {
                    if (event.type != "envelope") continue;
                    auto envelope = security::EncryptedCloudSnapshotEnvelope::decode(event.data);
                    if (!envelope) {
                        std::cerr << rawValue(security::CloudSnapshotError::incompatibleSchema) << "\n";
                        continue;
                    }
                    if (envelope->sourceID != o.companionID) continue;
                    if (guard.last() && envelope->sequence <= *guard.last()) continue;
                    auto payload = envelope->open(o.key);
                    if (!payload) {
                        std::cerr << rawValue(payload.error()) << "\n";
                        continue;
                    }
                    guard.accept(envelope->sequence);
                    writeLastSequence(o.sequenceFile, envelope->sequence);
                    printPayload(*payload);
                }
                return !reader.invalid();
            });
        (void)result;
        if (status == 401) return refuse("unauthorized");
        // Not bound yet (404), relay restarting, or a dropped connection: try again shortly.
        std::this_thread::sleep_for(std::chrono::seconds(1));
    }
}

}  // namespace

int fetch(const FetchOptions& o) {
    auto target = split(o.relayURL);
    if (!target) return refuse("invalidRelayAddress");
    auto credentials = security::RelayCredentials::make(o.relayURL, o.key, o.companionID);
    httplib::Headers headers = {{"Authorization", "Bearer " + credentials.accessToken},
                                {"Accept", "application/json, text/event-stream"}};
    auto channel = target->path + "/v1/channels/" + credentials.channelID;
    if (o.watch) return watch(o, *target, headers, channel + "/events");
    return fetchOnce(o, *target, headers, channel + "/sources/" + percentEncoded(o.companionID));
}

}  // namespace vigilorb::phone
