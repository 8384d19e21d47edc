// vigilorb-peer: what the phone runs against the companion's formats. Each document command
// reads one document on standard input and writes its result on standard output; `pair` keeps
// the pairing in a state file and `listen` receives over the local link with it. A refusal
// writes the error case's name on standard error and exits with status 1.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <iterator>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "link/link_contract.hpp"
#include "model/standard_options.hpp"
#include "peer/dns_sd_browser.hpp"
#include "peer/fetch.hpp"
#include "peer/local_link_client.hpp"
#include "peer/peer_state.hpp"
#include "security/cloud_envelope.hpp"
#include "security/codec.hpp"
#include "security/pairing.hpp"
#include "security/snapshot_envelope.hpp"

using namespace vigilorb;

namespace {

constexpr const char* usage =
    "usage: vigilorb-peer invitation\n"
    "       vigilorb-peer verify --key HEX\n"
    "       vigilorb-peer open --key HEX\n"
    "       vigilorb-peer hello --key HEX --companion ID --device NAME\n"
    "       vigilorb-peer pair [--state FILE]                 (invitation QR payload on stdin)\n"
    "       vigilorb-peer listen [--state FILE] [--address HOST:PORT] [--count N]\n"
    "                            [--device NAME] [--timeout SECONDS] [--browse-timeout SECONDS]\n"
    "       vigilorb-peer fetch [--watch] [--state FILE] [--relay URL]\n"
    "       vigilorb-peer fetch [--watch] --relay URL --companion ID --key HEX [--sequence-file FILE]\n"
    "       vigilorb-peer --help | --version\n"
    "options: --now SECONDS (since 2001-01-01, instead of the clock)\n"
    "         --state FILE (default $XDG_DATA_HOME/VigilorbPeer/pairing.json)\n";

struct UsageError {};

struct Arguments {
    std::string command;
    std::map<std::string, std::string> options;

    const std::string& require(const std::string& name) const {
        auto it = options.find(name);
        if (it == options.end()) throw UsageError{};
        return it->second;
    }
};

Arguments parse(int argc, char** argv) {
    if (argc < 2) throw UsageError{};
    Arguments args{argv[1], {}};
    for (int i = 2; i < argc; i += 2) {
        std::string name = argv[i];
        if (name == "--watch") {  // the one option without a value
            args.options["watch"] = "";
            --i;
            continue;
        }
        if (!name.starts_with("--") || i + 1 >= argc) throw UsageError{};
        args.options[name.substr(2)] = argv[i + 1];
    }
    return args;
}

std::string readInput() { return std::string(std::istreambuf_iterator<char>(std::cin), {}); }

int refuse(std::string_view name) {
    std::cerr << name << "\n";
    return 1;
}

void writeBytes(const Bytes& bytes) {
    std::fwrite(bytes.data(), 1, bytes.size(), stdout);
    std::fflush(stdout);
}

// The key given as --key; nothing when it is not 32 bytes in hex.
std::optional<security::LocalPairingKey> keyFrom(const Arguments& args) {
    auto bytes = security::crypto::fromHex(args.require("key"));
    return bytes ? security::LocalPairingKey::fromBytes(*bytes) : std::nullopt;
}

int refuseKey() { return refuse(rawValue(security::LocalSnapshotProtocolError::invalidPairingKey)); }

// A document we build from checked fields; text that cannot be encoded is refused as input.
int printDocument(const std::expected<std::string, security::codec::EncodeFailure>& text) {
    if (!text) return refuse("invalidInput");
    std::cout << *text << "\n";
    return 0;
}

Date nowFrom(const Arguments& args) {
    auto it = args.options.find("now");
    if (it == args.options.end()) return Date::now();
    try {
        std::size_t used = 0;
        double seconds = std::stod(it->second, &used);
        // stod takes "nan" and "inf"; neither is a time, and NaN compares false with every bound.
        if (used != it->second.size() || !std::isfinite(seconds)) throw UsageError{};
        return Date::fromReference(seconds);
    } catch (const std::logic_error&) {
        throw UsageError{};
    }
}

int invitation(const Arguments& args) {
    auto inv = security::PairingInvitation::decode(readInput());
    if (!inv) return refuse(rawValue(security::PairingInvitationError::invalidInvitation));
    auto key = security::LocalPairingKey::deriveFromInvitation(*inv, nowFrom(args));
    if (!key) return refuse(rawValue(key.error()));
    security::codec::OrderedJson out = security::codec::OrderedJson::object();
    out["companionID"] = inv->companionID;
    out["keyIdentifier"] = key->keyIdentifier();
    out["verificationCode"] = inv->verificationCode();
    return printDocument(security::codec::dumpCompact(out));
}

// --state, else the default file; notPaired when there is no data folder to hold one.
std::expected<std::filesystem::path, phone::PeerStateError> stateFile(const Arguments& args) {
    if (auto it = args.options.find("state"); it != args.options.end()) return it->second;
    auto file = phone::defaultStateFile();
    if (!file) return std::unexpected(phone::PeerStateError::notPaired);
    return *file;
}

long long positiveNumber(const Arguments& args, const char* name, long long fallback) {
    auto it = args.options.find(name);
    if (it == args.options.end()) return fallback;
    try {
        std::size_t used = 0;
        long long n = std::stoll(it->second, &used);
        if (used != it->second.size() || n <= 0) throw UsageError{};
        return n;
    } catch (const std::logic_error&) {
        throw UsageError{};
    }
}

int pair(const Arguments& args) {
    auto inv = security::PairingInvitation::decode(readInput());
    if (!inv) return refuse(rawValue(security::PairingInvitationError::invalidInvitation));
    auto pairing = phone::StoredPairing::fromInvitation(*inv, nowFrom(args));
    if (!pairing) return refuse(rawValue(pairing.error()));
    auto file = stateFile(args);
    if (!file) return refuse(rawValue(file.error()));
    if (auto saved = phone::savePairing(*file, *pairing); !saved) return refuse(rawValue(saved.error()));
    security::codec::OrderedJson out = security::codec::OrderedJson::object();
    out["companionID"] = pairing->companionID;
    out["keyIdentifier"] = pairing->key.keyIdentifier();
    out["verificationCode"] = inv->verificationCode();
    return printDocument(security::codec::dumpCompact(out));
}

// Receives envelopes over the local link: each verified payload is one line on stdout.
int listen(const Arguments& args) {
    auto file = stateFile(args);
    if (!file) return refuse(rawValue(file.error()));
    auto pairing = phone::loadPairing(*file);
    if (!pairing) return refuse(rawValue(pairing.error()));
    long long count = positiveNumber(args, "count", 0);
    std::optional<std::chrono::milliseconds> timeout;
    if (args.options.contains("timeout")) timeout = std::chrono::seconds(positiveNumber(args, "timeout", 0));

    phone::Endpoint endpoint;
    if (auto it = args.options.find("address"); it != args.options.end()) {
        auto parsed = phone::parseEndpoint(it->second);
        if (!parsed) throw UsageError{};
        endpoint = *parsed;
    } else {
        auto found = phone::findCompanion(pairing->companionID, std::chrono::seconds(positiveNumber(args, "browse-timeout", 10)));
        if (!found) return refuse(rawValue(found.error()));
        endpoint = *found;
    }

    auto client = phone::LocalLinkClient::connect(endpoint, pairing->key, pairing->companionID, timeout);
    if (!client) return refuse(rawValue(client.error()));
    std::string device = "vigilorb-peer";
    if (auto it = args.options.find("device"); it != args.options.end()) device = it->second;
    auto hello = security::PairingHello::make(pairing->key.bytes(), pairing->companionID, device, nowFrom(args)).encode();
    if (!hello) return refuse("invalidInput");
    if (auto sent = client->sendFrame(*hello); !sent) return refuse(rawValue(sent.error()));

    security::SnapshotNonceReplayGuard guard;
    for (long long received = 0; count == 0 || received < count; ++received) {
        auto frame = client->nextFrame();
        if (!frame) return refuse(rawValue(frame.error()));
        auto payload = security::SignedEnvelopeReceiver::check(*frame, pairing->key, Date::now(), guard);
        if (!payload) return refuse(rawValue(payload.error()));
        writeBytes(*payload);
        writeBytes(Bytes{'\n'});
    }
    return 0;
}

// Reads the companion's sealed envelopes from its relay, with the stored pairing (or a key
// given on the command line).
int fetch(const Arguments& args) {
    bool watch = args.options.contains("watch");
    auto relay = args.options.find("relay");
    if (args.options.contains("key")) {
        std::optional<std::filesystem::path> sequenceFile;
        if (auto it = args.options.find("sequence-file"); it != args.options.end()) sequenceFile = it->second;
        const auto& relayURL = args.require("relay");
        const auto& companion = args.require("companion");
        auto key = keyFrom(args);
        if (!key) return refuseKey();
        return phone::fetch({relayURL, companion, *key, watch, sequenceFile});
    }
    auto stored = stateFile(args);
    if (!stored) return refuse(rawValue(stored.error()));
    const auto& file = *stored;
    auto pairing = phone::loadPairing(file);
    if (!pairing) return refuse(rawValue(pairing.error()));
    std::string url = relay != args.options.end() ? relay->second : pairing->relayBaseURL.value_or("");
    if (url.empty()) return refuse("noRelay");
    // The last sequence seen lives beside the pairing, so no run ever goes backwards.
    auto sequenceFile = file.parent_path() / (file.stem().string() + "-relay-sequence.json");
    return phone::fetch({url, pairing->companionID, pairing->key, watch, sequenceFile});
}

int run(const Arguments& args) {
    if (args.command == "fetch") return fetch(args);
    if (args.command == "invitation") return invitation(args);
    if (args.command == "pair") return pair(args);
    if (args.command == "listen") return listen(args);
    if (args.command == "verify") {
        auto key = keyFrom(args);
        if (!key) return refuseKey();
        security::SnapshotNonceReplayGuard guard;
        auto now = nowFrom(args);
        auto payload = security::SignedEnvelopeReceiver::check(readInput(), *key, now, guard);
        if (!payload) return refuse(rawValue(payload.error()));
        writeBytes(*payload);
        return 0;
    }
    if (args.command == "open") {
        auto key = keyFrom(args);
        if (!key) return refuseKey();
        auto payload = security::EncryptedCloudSnapshotEnvelope::open(readInput(), *key);
        if (!payload) return refuse(rawValue(payload.error()));
        writeBytes(*payload);
        return 0;
    }
    if (args.command == "hello") {
        auto key = keyFrom(args);
        if (!key) return refuseKey();
        const auto& companion = args.require("companion");
        const auto& device = args.require("device");
        return printDocument(security::PairingHello::make(key->bytes(), companion, device, nowFrom(args)).encode());
    }
    throw UsageError{};
}

}  // namespace

int main(int argc, char** argv) {
    if (auto answered = answerHelpOrVersion(argc, argv, "vigilorb-peer", VIGILORB_VERSION, usage)) return *answered;
    try {
        return run(parse(argc, argv));
    } catch (const UsageError&) {
        std::cerr << usage;
        return 2;
    } catch (const std::exception& e) {
        // Only what no input can cause (libcrypto failing, memory running out) gets here.
        std::cerr << "failure: " << e.what() << "\n";
        return 1;
    }
}
