// The output of `codex app-server --stdio` as the quota client's session reads it: lines of
// JSON-RPC arriving in pieces of any size. Cutting the same bytes differently must not change
// what the session does.
#include "codex/app_server_session.hpp"
#include "store_round_trip.hpp"

using namespace vigilorb;
using namespace vigilorb::codex;

namespace {

CodexAppServerSession started(codex::SessionEffects& effects) {
    CodexAppServerSession session(fuzz::accountID);
    for (auto&& e : session.willLaunch()) effects.push_back(std::move(e));
    for (auto&& e : session.sendInitialize()) effects.push_back(std::move(e));
    return session;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto bytes = fuzz::text(data, size);

    SessionEffects whole;
    auto one = started(whole);
    for (auto&& e : one.receive(bytes, fuzz::now)) whole.push_back(std::move(e));

    SessionEffects pieces;
    auto other = started(pieces);
    for (auto chunk : fuzz::chunks(bytes)) {
        for (auto&& e : other.receive(chunk, fuzz::now)) pieces.push_back(std::move(e));
        fuzz::require(other.bufferedBytes() <= maxBufferedOutput, "buffered output within its bound");
    }
    fuzz::require(pieces == whole, "the session's effects do not depend on how its input is cut");
    fuzz::require(other.phase() == one.phase(), "the session's phase does not depend on how its input is cut");

    for (const auto& effect : whole)
        if (auto* deliver = std::get_if<DeliverEvents>(&effect)) fuzz::requireStoredEqual(deliver->events);
    // What the driver does next: ask again, time out, see the child go.
    if (one.canRefresh(true)) one.refreshRateLimits(true);
    if (auto id = one.pendingID()) one.timeoutFired(*id);
    one.childExited(0);
    return 0;
}
