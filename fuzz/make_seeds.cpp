// Writes the generated seeds: documents only the program's own encoders make well (signed,
// sealed, framed, or simply complete), under the fuzz pairing and clock, into
// <corpus>/<target>/gen-<name>. Run after a format changes:
//   cmake --build --preset ci --target fuzz_make_seeds && build/ci/bin/fuzz_make_seeds fuzz/corpus
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "cli/claude_inbox.hpp"
#include "fuzz_support.hpp"
#include "link/frame_codec.hpp"
#include "pairing_fixture.hpp"
#include "relay/protocol.hpp"
#include "security/cloud_envelope.hpp"
#include "security/identity.hpp"
#include "security/pairing.hpp"
#include "security/snapshot_envelope.hpp"
#include "store/snapshot.hpp"

using namespace vigilorb;
using namespace vigilorb::security;
namespace fs = std::filesystem;

namespace {

fs::path corpus;

void write(const char* target, const char* name, std::string_view bytes) {
    auto folder = corpus / target;
    fs::create_directories(folder);
    std::ofstream(folder / (std::string("gen-") + name), std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

store::CompanionSnapshot sampleSnapshot() {
    Date t = fuzz::now - 30;
    store::CompanionSnapshot s;
    s.applyEvent(ProviderEventEnvelope{"00000000-0000-4000-8000-000000000001", t,
        NormalizedProviderEvent::quota(AccountQuotaSnapshot{std::nullopt, "work", AIProvider::claude,
            {{QuotaWindowKind::fiveHour, 37.5, t + 3600, 300}, {QuotaWindowKind::sevenDay, 12, t + 86400, 10080}}, t})}, fuzz::now);
    s.applyEvent(ProviderEventEnvelope{"00000000-0000-4000-8000-000000000002", t,
        NormalizedProviderEvent::quota(AccountQuotaSnapshot{"app-server", "codex-default", AIProvider::codex,
            {{QuotaWindowKind::primary, 4, std::nullopt, std::nullopt}}, t})}, fuzz::now);
    const std::pair<const char*, TaskState> tasks[] = {{"s1", TaskState::running},
                                                       {"s2", TaskState::waitingApproval},
                                                       {"s3", TaskState::completed},
                                                       {"s1/1", TaskState::failed}};
    int n = 3;
    for (auto [id, state] : tasks)
        s.applyEvent(ProviderEventEnvelope{"00000000-0000-4000-8000-00000000000" + std::to_string(n++), t,
            NormalizedProviderEvent::task(TaskSnapshot{id, std::nullopt, "work", AIProvider::claude, "Fix the parser", state, t})},
            fuzz::now);
    s.applyEvent(ProviderEventEnvelope{"00000000-0000-4000-8000-000000000009", t,
        NormalizedProviderEvent::pendingAction(PendingAction{"s2-permission", std::nullopt, "s2", "work", AIProvider::claude,
            PendingActionKind::command, t})}, fuzz::now);
    return s;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: fuzz_make_seeds CORPUS-FOLDER\n");
        return 2;
    }
    corpus = argv[1];
    auto snapshot = sampleSnapshot();
    const auto& key = fuzz::pairingKey();

    write("snapshot", "sample", store::encodeSnapshot(snapshot));
    std::vector<ProviderEventEnvelope> run{
        {"00000000-0000-4000-8000-000000000011", fuzz::now,
         NormalizedProviderEvent::task(TaskSnapshot{"s2", std::nullopt, fuzz::accountID, AIProvider::claude, "Fix it",
                                                    TaskState::waitingApproval, fuzz::now})},
        {"00000000-0000-4000-8000-000000000012", fuzz::now,
         NormalizedProviderEvent::pendingAction(PendingAction{"s2-permission", std::nullopt, "s2", fuzz::accountID,
                                                              AIProvider::claude, PendingActionKind::fileChange, fuzz::now})}};
    write("event_file", "permission-request", cli::encodeEventFile(run));

    auto signedEnvelope = fuzz::must(SignedSnapshotEnvelope::create(snapshot, key, fuzz::now), "the sample signs");
    write("signed_envelope", "sample", signedEnvelope);
    write("signed_envelope", "empty",
          fuzz::must(SignedSnapshotEnvelope::create(store::CompanionSnapshot{}, key, fuzz::now), "an empty snapshot signs"));

    auto sealed = fuzz::must(
        fuzz::must(EncryptedCloudSnapshotEnvelope::seal(snapshot, fuzz::companionID, "Work laptop", key, 7, fuzz::now),
                   "the sample seals")
            .encode(),
        "the sealed sample encodes");
    write("cloud_envelope", "sample", sealed);

    auto hello = fuzz::must(PairingHello::make(key.bytes(), fuzz::companionID, "Phone", fuzz::now).encode(), "a hello encodes");
    write("hello", "sample", hello);
    write("link_admission", "hello-then-more", link::encodeFrame(hello) + link::encodeFrame("ignored"));
    write("link_admission", "other-companion",
          link::encodeFrame(fuzz::must(PairingHello::make(key.bytes(), "mac-other", "Phone", fuzz::now).encode(), "a hello encodes")));
    write("link_frames", "two-frames", "\x04" + link::encodeFrame(hello.substr(0, 40)) + link::encodeFrame(""));
    write("link_frames", "too-large", "\x01" + link::encodeFrame(hello));

    auto invitation = fuzz::must(PairingInvitation::generate(CompanionIdentity{fuzz::companionID, "Work laptop"},
                                                             std::string("https://relay.example.org/base"), fuzz::now),
                                 "an invitation is made");
    write("pairing_invitation", "sample", fuzz::must(invitation.qrPayload(), "an invitation encodes"));
    auto local = fuzz::must(PairingInvitation::generate(CompanionIdentity{fuzz::companionID, "Mac"}, std::nullopt, fuzz::now),
                            "an invitation is made");
    write("pairing_invitation", "no-relay", fuzz::must(local.qrPayload(), "an invitation encodes"));

    auto credentials = RelayCredentials::make("https://relay.example.org", key, fuzz::companionID);
    auto path = "/v1/channels/" + credentials.channelID + "/sources/" + fuzz::companionID;
    auto auth = "Bearer " + credentials.accessToken;
    write("relay_request", "put", "PUT\n" + path + "\n" + auth + "\napplication/json\n" + sealed);
    write("relay_request", "get", "GET\n" + path + "\n" + auth + "\n\n");
    write("relay_request", "list", "GET\n/v1/channels/" + credentials.channelID + "/sources\n" + auth + "\n\n");
    write("relay_request", "events", "GET\n/v1/channels/" + credentials.channelID + "/events\n" + auth + "\n\n");
    write("relay_events", "stream",
          ": subscribed\n\n" + relay::sseEvent(sealed, 7) + std::string(relay::sseKeepAlive) + relay::sseEvent("{\n}", 8));
    return 0;
}
