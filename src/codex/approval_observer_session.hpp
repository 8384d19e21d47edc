#pragma once
// The read-only conversation with Codex's shared background app-server of one Codex home, without
// any I/O: connection outcomes, received WebSocket text messages and timer expiries in; effects
// out (open or close the connection, send an allowed message, arm the one timer, "the waits
// changed", a new status).
//
// What it keeps is the set of threads that wait for the user's approval
// (`thread/status/changed` with the `waitingOnApproval` flag, or the same status in a snapshot
// taken with `thread/loaded/list` + `thread/read`). Ephemeral threads (Codex's short-lived title
// threads) are ignored. A message carrying both `id` and `method` is a request to us: it is never
// answered, and the session has no way to answer (ReadOnlyAppServerMessage).
//
// Timing, with one timer: while connected, a new snapshot about once a minute (Codex logs every
// request, so never more often); a request still unanswered when the minute is up means a hung
// daemon, and the connection is dropped. Without a connection, a retry after 1 s, doubling up to
// 60 s; the delay starts again at 1 s once a snapshot has completed.
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "codex/read_only_message.hpp"
#include "model/date.hpp"

namespace vigilorb::codex {

inline constexpr double approvalSnapshotPeriodSeconds = 60;
inline constexpr double approvalFirstRetrySeconds = 1;
inline constexpr double approvalMaxRetrySeconds = 60;
// Bounds on what a daemon can make us hold.
inline constexpr std::size_t approvalMaxTrackedThreads = 512;
inline constexpr std::size_t approvalMaxLoadedListPages = 4;
// The largest WebSocket message accepted, whatever the server announces.
inline constexpr std::size_t approvalMaxMessageBytes = 16 * 1024 * 1024;

// Frame limit from the server's `x-codex-websocket-max-unfragmented-message-bytes` header: its
// decimal value, capped at approvalMaxMessageBytes; the cap when absent, zero or not a plain
// number.
std::size_t approvalMessageLimit(std::optional<std::string_view> announced);

// One thread that waits for the user's approval.
struct ApprovalWait {
    std::string title;  // the thread's name, or the default Codex title
    Date since;         // when this observer first saw the wait
    bool operator==(const ApprovalWait&) const = default;
};
using ApprovalWaits = std::map<std::string, ApprovalWait>;  // thread ID → wait

// The one status row of the observer.
enum class ApprovalWatchStatus {
    notRunning,    // no daemon to talk to (yet)
    watching,      // connected, snapshot taken, live
    sessionEnded,  // a daemon we watched went away; what it reported was cleared
    refused,       // the daemon refused the handshake or stopped answering
    tooLarge,      // the daemon sent a message over the limit
};
// The sentence the window shows, and whether the row is green.
std::string_view statusText(ApprovalWatchStatus status);
bool isHealthy(ApprovalWatchStatus status);

// Why a connection ended, as the shell saw it.
enum class ApprovalConnectionEnd { closed, messageTooLarge };

struct OpenConnection {
    bool operator==(const OpenConnection&) const = default;
};
struct CloseConnection {
    bool operator==(const CloseConnection&) const = default;
};
struct SendMessage {
    ReadOnlyAppServerMessage message;
    bool operator==(const SendMessage&) const = default;
};
struct ArmTimer {  // replaces the armed timer
    double seconds = 0;
    bool operator==(const ArmTimer&) const = default;
};
// waits() or settled() changed: bring the store in line with them.
struct WaitsChanged {
    bool operator==(const WaitsChanged&) const = default;
};
struct StatusChanged {
    ApprovalWatchStatus status{};
    bool operator==(const StatusChanged&) const = default;
};
using ApprovalEffect = std::variant<OpenConnection, CloseConnection, SendMessage, ArmTimer, WaitsChanged, StatusChanged>;
using ApprovalEffects = std::vector<ApprovalEffect>;

class CodexApprovalObserverSession {
public:
    explicit CodexApprovalObserverSession(std::string clientVersion = "1.9.1");

    // The first connection attempt.
    ApprovalEffects start();
    // The socket is connected and the WebSocket upgrade accepted.
    ApprovalEffects opened(Date now);
    // No daemon (missing socket, refused connection, refused upgrade).
    ApprovalEffects openFailed(Date now);
    // One text message.
    ApprovalEffects received(std::string_view text, Date now);
    // The connection ended (by the peer, an error, or a message over the limit).
    ApprovalEffects connectionEnded(ApprovalConnectionEnd why, Date now);
    ApprovalEffects timerFired(Date now);
    // Final: closes the connection; nothing more happens.
    ApprovalEffects stop();

    // The threads that wait for approval now.
    const ApprovalWaits& waits() const { return waits_; }
    // True when waits() is the whole truth: a snapshot has completed on this connection, or there
    // is no connection (no daemon, no waits). False while the first snapshot of a connection is
    // being taken, when waits that were shown before may simply not have been read yet.
    bool settled() const { return settled_; }
    std::optional<ApprovalWatchStatus> status() const { return status_; }
    double nextRetrySeconds() const { return retrySeconds_; }

private:
    enum class Stage { idle, waitingToRetry, connecting, initializing, live, stopped };
    enum class Purpose { initialize, loadedList, read };
    struct Pending {
        Purpose purpose;
        std::string threadID;  // read only
        std::uint64_t sentAtTick = 0;
    };
    struct Thread {
        bool ephemeral = false;
        std::string title;
    };

    void send(ApprovalEffects& out, Purpose purpose, std::string_view method, Json params, std::string threadID = {});
    void setStatus(ApprovalEffects& out, ApprovalWatchStatus status);
    void end(ApprovalEffects& out, ApprovalWatchStatus status);
    void startSnapshot(ApprovalEffects& out);
    void finishSnapshotIfDone(ApprovalEffects& out);
    void handleResponse(ApprovalEffects& out, const Pending& pending, const Json& message, Date now);
    void handleNotification(ApprovalEffects& out, const std::string& method, const Json& params, Date now);
    // Records what a Thread object says; returns whether the waits changed.
    bool applyThread(const Json& thread, Date now);
    bool applyStatus(const std::string& threadID, const Json& status, Date now);
    bool forget(const std::string& threadID);
    void requestRead(ApprovalEffects& out, const std::string& threadID);

    std::string clientVersion_;
    Stage stage_ = Stage::idle;
    std::optional<ApprovalWatchStatus> status_;
    double retrySeconds_ = approvalFirstRetrySeconds;
    std::int64_t nextID_ = 1;
    std::uint64_t tick_ = 0;  // timer expiries on this connection
    std::map<std::int64_t, Pending> pending_;
    std::set<std::string> readsInFlight_;
    bool snapshotting_ = false;
    std::size_t loadedPages_ = 0;
    std::set<std::string> loadedIDs_;
    std::map<std::string, Thread> threads_;
    ApprovalWaits waits_;
    bool settled_ = false;
};

}  // namespace vigilorb::codex
