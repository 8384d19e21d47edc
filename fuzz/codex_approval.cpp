// WebSocket text messages from Codex's shared app-server, as the read-only approval observer
// reads them: one message per input line, a timer expiry after every eighth. Whatever the daemon
// sends, the observer holds a bounded number of waits and clears them when the daemon goes.
#include "codex/approval_observer_session.hpp"
#include "fuzz_support.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vigilorb;
    using namespace vigilorb::codex;
    CodexApprovalObserverSession session;
    session.start();
    session.opened(fuzz::now);
    auto rest = fuzz::text(data, size);
    Date at = fuzz::now;
    for (int n = 1; !rest.empty(); ++n) {
        auto [message, after] = fuzz::splitAt(rest, '\n');
        rest = after;
        at = at + 1;
        session.received(message, at);
        if (n % 8 == 0) session.timerFired(at + approvalSnapshotPeriodSeconds);
        fuzz::require(session.waits().size() <= approvalMaxTrackedThreads, "tracked waits within their bound");
    }
    session.connectionEnded(ApprovalConnectionEnd::closed, at);
    fuzz::require(session.waits().empty() && session.settled(), "a daemon that went away leaves no waits behind");
    session.stop();
    return 0;
}
