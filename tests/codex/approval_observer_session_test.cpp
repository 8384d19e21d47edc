#include "codex/approval_observer_session.hpp"

#include <gtest/gtest.h>

using namespace vigilorb;
using namespace vigilorb::codex;
using namespace std::string_literals;

namespace {

const Date t0 = Date::fromUnix(1'800'000'000);

template <class T>
std::vector<T> only(const ApprovalEffects& effects) {
    std::vector<T> out;
    for (const auto& e : effects)
        if (auto* v = std::get_if<T>(&e)) out.push_back(*v);
    return out;
}

std::vector<Json> sent(const ApprovalEffects& effects) {
    std::vector<Json> out;
    for (const auto& s : only<SendMessage>(effects)) out.push_back(Json::parse(s.message.text()));
    return out;
}

std::vector<std::string> methods(const ApprovalEffects& effects) {
    std::vector<std::string> out;
    for (const auto& m : sent(effects)) out.push_back(m["method"]);
    return out;
}

std::vector<double> timers(const ApprovalEffects& effects) {
    std::vector<double> out;
    for (const auto& a : only<ArmTimer>(effects)) out.push_back(a.seconds);
    return out;
}

std::vector<std::string> waitIDs(const CodexApprovalObserverSession& s) {
    std::vector<std::string> out;
    for (const auto& [id, w] : s.waits()) out.push_back(id);
    return out;
}

std::string thread(const std::string& id, const std::string& status, bool ephemeral = false, const char* name = nullptr) {
    Json t = {{"id", id}, {"ephemeral", ephemeral}, {"status", Json::parse(status)}, {"preview", "hi"}};
    t["name"] = name ? Json(name) : Json(nullptr);
    return t.dump();
}
const std::string waiting = R"({"type":"active","activeFlags":["waitingOnApproval"]})";
const std::string running = R"({"type":"active","activeFlags":[]})";
const std::string idle = R"({"type":"idle"})";

std::string statusChanged(const std::string& id, const std::string& status) {
    return R"({"method":"thread/status/changed","params":{"threadId":")" + id + R"(","status":)" + status + "}}";
}

// Answers every request in `effects` the way a daemon holding `threads` (id → Thread JSON)
// would, and returns what the session did in reply. Requests it cannot answer stay open.
ApprovalEffects answer(CodexApprovalObserverSession& s, const ApprovalEffects& effects,
                       const std::map<std::string, std::string>& threads) {
    ApprovalEffects all;
    std::vector<Json> queue = sent(effects);
    while (!queue.empty()) {
        Json m = queue.front();
        queue.erase(queue.begin());
        if (!m.contains("id")) continue;
        Json reply;
        if (m["method"] == "initialize") {
            reply = {{"id", m["id"]}, {"result", {{"userAgent", "vigil-orb/0.171.0"}, {"platformOs", "linux"}}}};
        } else if (m["method"] == "thread/loaded/list") {
            Json data = Json::array();
            for (const auto& [id, t] : threads) data.push_back(id);
            reply = {{"id", m["id"]}, {"result", {{"data", data}, {"nextCursor", nullptr}}}};
        } else if (m["method"] == "thread/read") {
            auto it = threads.find(m["params"]["threadId"]);
            if (it == threads.end())
                reply = {{"id", m["id"]}, {"error", {{"code", -32600}, {"message", "thread not loaded"}}}};
            else
                reply = {{"id", m["id"]}, {"result", {{"thread", Json::parse(it->second)}}}};
        } else {
            continue;
        }
        auto out = s.received(reply.dump(), t0);
        for (auto& m2 : sent(out)) queue.push_back(m2);
        all.insert(all.end(), out.begin(), out.end());
    }
    return all;
}

// A session connected to a daemon holding `threads`, with its first snapshot taken.
struct Live {
    CodexApprovalObserverSession session;
    explicit Live(const std::map<std::string, std::string>& threads) {
        session.start();
        answer(session, session.opened(t0), threads);
    }
};

TEST(ApprovalObserverSession, HandshakeAndFirstSnapshot) {
    CodexApprovalObserverSession s("2.0.0");
    auto start = s.start();
    EXPECT_EQ(only<OpenConnection>(start).size(), 1u);
    EXPECT_EQ(timers(start), std::vector{60.0});

    auto opened = s.opened(t0);
    auto init = sent(opened);
    ASSERT_EQ(init.size(), 1u);
    EXPECT_EQ(init[0]["method"], "initialize");
    EXPECT_EQ(init[0]["params"]["clientInfo"], (Json{{"name", "vigil-orb"}, {"title", "Tallyloom"}, {"version", "2.0.0"}}));
    const Json& caps = init[0]["params"]["capabilities"];
    EXPECT_EQ(caps["experimentalApi"], false);
    // Nothing that would make Codex hand this client a request to answer.
    EXPECT_FALSE(caps.contains("requiredHumanApproval"));
    std::set<std::string> optedOut(caps["optOutNotificationMethods"].begin(), caps["optOutNotificationMethods"].end());
    for (const char* noisy : {"configWarning", "remoteControl/status/changed", "item/agentMessage/delta",
                              "account/rateLimits/updated", "turn/started"})
        EXPECT_TRUE(optedOut.contains(noisy)) << noisy;
    for (const char* needed : {"thread/status/changed", "thread/started", "thread/closed"})
        EXPECT_FALSE(optedOut.contains(needed)) << needed;

    auto afterInit = s.received(R"({"id":1,"result":{"userAgent":"vigil-orb/0.171.0"}})", t0);
    EXPECT_EQ(methods(afterInit), (std::vector<std::string>{"initialized", "thread/loaded/list"}));
    EXPECT_EQ(only<StatusChanged>(afterInit), std::vector{StatusChanged{ApprovalWatchStatus::watching}});
    EXPECT_FALSE(s.settled());

    auto list = s.received(
        R"({"id":2,"result":{"data":["t-wait","t-idle","t-title"],"nextCursor":"page2"}})", t0);
    auto next = sent(list);
    ASSERT_EQ(next.size(), 1u);
    EXPECT_EQ(next[0]["params"]["cursor"], "page2");
    auto reads = s.received(R"({"id":3,"result":{"data":["t-late"],"nextCursor":null}})", t0);
    EXPECT_EQ(methods(reads), std::vector<std::string>(4, "thread/read"));
    for (const auto& r : sent(reads)) EXPECT_EQ(r["params"]["includeTurns"], false);

    const std::map<std::string, std::string> daemon = {
        {"t-wait", thread("t-wait", waiting, false, "Deploy the site")},
        {"t-idle", thread("t-idle", idle)},
        {"t-title", thread("t-title", waiting, /*ephemeral=*/true)},
    };  // t-late unloaded meanwhile: its read fails
    auto done = answer(s, reads, daemon);
    EXPECT_EQ(waitIDs(s), std::vector<std::string>{"t-wait"});
    EXPECT_EQ(s.waits().at("t-wait"), (ApprovalWait{"Deploy the site", t0}));
    EXPECT_TRUE(s.settled());
    EXPECT_FALSE(only<WaitsChanged>(done).empty());
}

TEST(ApprovalObserverSession, LiveNotifications) {
    struct Case {
        const char* what;
        bool waitingBefore;  // t-1 waits for approval before the message
        std::string message;
        std::vector<std::string> waitsAfter;
        bool changed;
        std::vector<std::string> requests;  // methods sent in reply
    };
    const Case cases[] = {
        {"flag set", false, statusChanged("t-1", waiting), {"t-1"}, true, {}},
        {"flag set again", true, statusChanged("t-1", waiting), {"t-1"}, false, {}},
        {"flag cleared", true, statusChanged("t-1", running), {}, true, {}},
        {"other flag only", true,
         statusChanged("t-1", R"({"type":"active","activeFlags":["waitingOnUserInput"]})"), {}, true, {}},
        {"idle", true, statusChanged("t-1", idle), {}, true, {}},
        {"system error", true, statusChanged("t-1", R"({"type":"systemError"})"), {}, true, {}},
        {"closed", true, R"({"method":"thread/closed","params":{"threadId":"t-1"}})", {}, true, {}},
        {"ephemeral thread waiting", false, statusChanged("t-eph", waiting), {}, false, {}},
        {"unknown thread waiting: read first", false, statusChanged("t-new", waiting), {}, false, {"thread/read"}},
        {"unknown thread idle", false, statusChanged("t-new", idle), {}, false, {}},
        {"started already waiting", false,
         R"({"method":"thread/started","params":{"thread":)" + thread("t-2", waiting) + "}}", {"t-2"}, true, {}},
        {"ephemeral started waiting", false,
         R"({"method":"thread/started","params":{"thread":)" + thread("t-3", waiting, true) + "}}", {}, false, {}},
        {"server request to us", false,
         R"({"id":0,"method":"item/commandExecution/requestApproval","params":{"threadId":"t-1","itemId":"i"}})", {}, false, {}},
        {"server request while waiting", true,
         R"({"id":"x","method":"thread/status/changed","params":{"threadId":"t-1","status":{"type":"idle"}}})", {"t-1"},
         false, {}},
        {"turn notification", true, R"({"method":"turn/completed","params":{"threadId":"t-1"}})", {"t-1"}, false, {}},
        {"not JSON", true, "{\"method\":", {"t-1"}, false, {}},
        {"a list", true, "[1,2]", {"t-1"}, false, {}},
        // nlohmann's lexer stops at a NUL as at the end of a C string.
        {"a NUL and garbage after the message", true, statusChanged("t-1", idle) + "\0garbage"s, {"t-1"}, false, {}},
        {"no params", true, R"({"method":"thread/closed"})", {"t-1"}, false, {}},
        {"thread ID a number", true, R"({"method":"thread/closed","params":{"threadId":1}})", {"t-1"}, false, {}},
        {"response to nothing", true, R"({"id":99,"result":{"thread":{"id":"t-1","status":{"type":"idle"}}}})", {"t-1"},
         false, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Live live({{"t-1", thread("t-1", c.waitingBefore ? waiting : idle)}, {"t-eph", thread("t-eph", idle, true)}});
        ASSERT_EQ(live.session.waits().size(), c.waitingBefore ? 1u : 0u);
        auto out = live.session.received(c.message, t0 + 5);
        EXPECT_EQ(waitIDs(live.session), c.waitsAfter);
        EXPECT_EQ(!only<WaitsChanged>(out).empty(), c.changed);
        EXPECT_EQ(methods(out), c.requests);
        EXPECT_TRUE(only<StatusChanged>(out).empty());
        EXPECT_TRUE(only<CloseConnection>(out).empty());
    }
}

TEST(ApprovalObserverSession, AnUnknownWaitingThreadIsShownOnceReadAndNotIfEphemeral) {
    for (bool ephemeral : {false, true}) {
        Live live({});
        auto out = live.session.received(statusChanged("t-new", waiting), t0 + 1);
        // A second change before the answer does not read it twice.
        EXPECT_TRUE(sent(live.session.received(statusChanged("t-new", waiting), t0 + 1)).empty());
        answer(live.session, out, {{"t-new", thread("t-new", waiting, ephemeral, "Named")}});
        EXPECT_EQ(waitIDs(live.session), ephemeral ? std::vector<std::string>{} : std::vector<std::string>{"t-new"});
        // Once known, an ephemeral thread's changes are ignored without another read.
        auto again = live.session.received(statusChanged("t-new", waiting), t0 + 2);
        EXPECT_TRUE(sent(again).empty());
    }
}

TEST(ApprovalObserverSession, NothingSentIsAnAnswerOrOutsideTheAllowList) {
    // Every kind of message a daemon may send, requests to us included; whatever the session
    // sends in return must be an allowed request or `initialized`, and never carry a result.
    const std::vector<std::string> traffic = {
        R"({"id":7,"method":"item/commandExecution/requestApproval","params":{"threadId":"t-1","itemId":"c"}})",
        R"({"id":8,"method":"item/fileChange/requestApproval","params":{"threadId":"t-1"}})",
        R"({"id":9,"method":"item/tool/requestUserInput","params":{"threadId":"t-1"}})",
        R"({"id":10,"method":"account/chatgptAuthTokens/refresh","params":{}})",
        statusChanged("t-1", waiting),
        statusChanged("t-9", waiting),
        R"({"method":"thread/started","params":{"thread":)" + thread("t-5", running) + "}}",
        R"({"method":"serverRequest/resolved","params":{"threadId":"t-1","requestId":7}})",
        statusChanged("t-1", idle),
        R"({"method":"thread/closed","params":{"threadId":"t-5"}})",
    };
    Live live({{"t-1", thread("t-1", idle)}});
    ApprovalEffects all;
    for (const auto& m : traffic) {
        auto out = live.session.received(m, t0);
        all.insert(all.end(), out.begin(), out.end());
    }
    auto timer = live.session.timerFired(t0 + 60);
    all.insert(all.end(), timer.begin(), timer.end());
    ASSERT_FALSE(sent(all).empty());
    for (const auto& m : sent(all)) {
        SCOPED_TRACE(m.dump());
        ASSERT_TRUE(m.contains("method"));
        EXPECT_TRUE(ReadOnlyAppServerMessage::isAllowedRequest(m["method"].get<std::string>()) ||
                    ReadOnlyAppServerMessage::isAllowedNotification(m["method"].get<std::string>()));
        EXPECT_FALSE(m.contains("result"));
        EXPECT_FALSE(m.contains("error"));
        if (m.contains("id")) {
            EXPECT_TRUE(m["id"].is_number_integer() && m["id"].get<int>() < 7);
        }
    }
}

TEST(ApprovalObserverSession, AllowList) {
    struct Case {
        const char* method;
        bool request;
        bool notification;
    };
    const Case cases[] = {
        {"initialize", true, false},
        {"initialized", false, true},
        {"thread/loaded/list", true, false},
        {"thread/read", true, false},
        {"thread/list", true, false},
        {"thread/resume", false, false},
        {"thread/fork", false, false},
        {"thread/start", false, false},
        {"turn/start", false, false},
        {"turn/steer", false, false},
        {"turn/interrupt", false, false},
        {"item/commandExecution/requestApproval", false, false},
        {"account/read", false, false},
        {"thread/read ", false, false},
        {"Thread/Read", false, false},
        {"", false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.method);
        auto r = ReadOnlyAppServerMessage::request(4, c.method, Json::object());
        EXPECT_EQ(r.has_value(), c.request);
        if (!r) {
            EXPECT_EQ(r.error(), ReadOnlyMessageError::methodNotAllowed);
        }
        EXPECT_EQ(ReadOnlyAppServerMessage::notification(c.method, Json::object()).has_value(), c.notification);
    }
    auto read = ReadOnlyAppServerMessage::request(3, "thread/read", Json{{"threadId", "t"}});
    EXPECT_EQ(read->text(), R"({"id":3,"method":"thread/read","params":{"threadId":"t"}})");
}

TEST(ApprovalObserverSession, RetriesWithoutADaemonBackOffTo60Seconds) {
    CodexApprovalObserverSession s;
    s.start();
    std::vector<double> delays;
    std::vector<StatusChanged> statuses;
    for (int attempt = 0; attempt < 9; ++attempt) {
        auto failed = s.openFailed(t0 + attempt);
        EXPECT_TRUE(s.settled());
        auto st = only<StatusChanged>(failed);
        statuses.insert(statuses.end(), st.begin(), st.end());
        auto d = timers(failed);
        ASSERT_EQ(d.size(), 1u);
        delays.push_back(d[0]);
        auto retry = s.timerFired(t0 + attempt);
        EXPECT_EQ(only<OpenConnection>(retry).size(), 1u);
    }
    EXPECT_EQ(delays, (std::vector<double>{1, 2, 4, 8, 16, 32, 60, 60, 60}));
    // One row, not one per attempt.
    EXPECT_EQ(statuses, std::vector{StatusChanged{ApprovalWatchStatus::notRunning}});
    EXPECT_EQ(statusText(ApprovalWatchStatus::notRunning),
              "Codex approval waits are not visible until a Codex session runs");

    // A completed snapshot starts the schedule again; a daemon that goes away clears its waits.
    answer(s, s.opened(t0 + 100), {{"t-1", thread("t-1", waiting)}});
    EXPECT_EQ(s.status(), ApprovalWatchStatus::watching);
    EXPECT_EQ(waitIDs(s), std::vector<std::string>{"t-1"});
    auto gone = s.connectionEnded(ApprovalConnectionEnd::closed, t0 + 101);
    EXPECT_TRUE(s.waits().empty());
    EXPECT_TRUE(s.settled());
    EXPECT_FALSE(only<WaitsChanged>(gone).empty());
    EXPECT_EQ(only<StatusChanged>(gone), std::vector{StatusChanged{ApprovalWatchStatus::sessionEnded}});
    EXPECT_EQ(timers(gone), std::vector{1.0});
    s.timerFired(t0 + 102);
    auto stillGone = s.openFailed(t0 + 102);
    EXPECT_EQ(timers(stillGone), std::vector{2.0});
    EXPECT_TRUE(only<StatusChanged>(stillGone).empty());  // the row keeps saying the session ended
}

TEST(ApprovalObserverSession, SnapshotEveryMinuteAndAHungDaemonIsDropped) {
    Live live({{"t-1", thread("t-1", waiting)}});
    auto tick = live.session.timerFired(t0 + 60);
    EXPECT_EQ(methods(tick), std::vector<std::string>{"thread/loaded/list"});
    EXPECT_EQ(timers(tick), std::vector{60.0});
    // The thread was unloaded meanwhile: the new snapshot drops its wait.
    auto done = answer(live.session, tick, {});
    EXPECT_TRUE(live.session.waits().empty());
    EXPECT_FALSE(only<WaitsChanged>(done).empty());

    // A list request still unanswered a minute later: the daemon hangs.
    auto unanswered = live.session.timerFired(t0 + 120);
    EXPECT_EQ(methods(unanswered), std::vector<std::string>{"thread/loaded/list"});
    auto hung = live.session.timerFired(t0 + 180);
    EXPECT_EQ(only<CloseConnection>(hung).size(), 1u);
    EXPECT_EQ(live.session.status(), ApprovalWatchStatus::refused);
    EXPECT_EQ(timers(hung), std::vector{1.0});
}

TEST(ApprovalObserverSession, ConnectionEnds) {
    struct Case {
        const char* what;
        bool initialized;
        ApprovalConnectionEnd why;
        ApprovalWatchStatus status;
    };
    const Case cases[] = {
        {"closed mid-snapshot", true, ApprovalConnectionEnd::closed, ApprovalWatchStatus::sessionEnded},
        {"message over the limit mid-snapshot", true, ApprovalConnectionEnd::messageTooLarge,
         ApprovalWatchStatus::tooLarge},
        {"closed during the handshake", false, ApprovalConnectionEnd::closed, ApprovalWatchStatus::notRunning},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        CodexApprovalObserverSession s;
        s.start();
        s.opened(t0);
        if (c.initialized) {
            s.received(R"({"id":1,"result":{}})", t0);
            // A wait seen live before the snapshot's reads came back.
            s.received(R"({"method":"thread/started","params":{"thread":)" + thread("t-1", waiting) + "}}", t0);
            ASSERT_EQ(waitIDs(s), std::vector<std::string>{"t-1"});
        }
        auto out = s.connectionEnded(c.why, t0 + 1);
        EXPECT_TRUE(s.waits().empty());
        EXPECT_TRUE(s.settled());
        EXPECT_EQ(s.status(), c.status);
        EXPECT_EQ(timers(out), std::vector{1.0});
        // Late messages of the ended connection change nothing.
        EXPECT_TRUE(s.received(statusChanged("t-1", waiting), t0 + 2).empty());
    }
}

TEST(ApprovalObserverSession, RefusedHandshakeAndStop) {
    CodexApprovalObserverSession s;
    s.start();
    s.opened(t0);
    auto refused = s.received(R"({"id":1,"error":{"code":-32600,"message":"unsupported client"}})", t0);
    EXPECT_EQ(only<CloseConnection>(refused).size(), 1u);
    EXPECT_EQ(s.status(), ApprovalWatchStatus::refused);
    EXPECT_FALSE(isHealthy(ApprovalWatchStatus::refused));
    EXPECT_TRUE(isHealthy(ApprovalWatchStatus::watching));

    Live live({});
    EXPECT_EQ(only<CloseConnection>(live.session.stop()).size(), 1u);
    EXPECT_TRUE(live.session.timerFired(t0 + 60).empty());
    EXPECT_TRUE(live.session.received(statusChanged("t-1", waiting), t0).empty());
}

TEST(ApprovalObserverSession, AFloodingDaemonIsBounded) {
    CodexApprovalObserverSession s;
    s.start();
    s.opened(t0);
    s.received(R"({"id":1,"result":{}})", t0);
    Json data = Json::array();
    for (int i = 0; i < 5000; ++i) data.push_back("t-" + std::to_string(i));
    auto out = s.received(Json{{"id", 2}, {"result", {{"data", data}, {"nextCursor", "more"}}}}.dump(), t0);
    // The first page already fills what the observer tracks: no more pages, one read each.
    EXPECT_EQ(sent(out).size(), approvalMaxTrackedThreads);
    EXPECT_EQ(methods(out).front(), "thread/read");
}

TEST(ApprovalObserverSession, MessageLimitFromTheUpgradeHeader) {
    struct Case {
        std::optional<std::string_view> header;
        std::size_t limit;
    };
    const Case cases[] = {
        {"16777216", 16777216}, {"4096", 4096},     {"0", approvalMaxMessageBytes},
        {"99999999999", approvalMaxMessageBytes},   {std::nullopt, approvalMaxMessageBytes},
        {"", approvalMaxMessageBytes},              {"12kB", approvalMaxMessageBytes},
        {"-5", approvalMaxMessageBytes},            {"99999999999999999999999", approvalMaxMessageBytes},
    };
    for (const auto& c : cases) EXPECT_EQ(approvalMessageLimit(c.header), c.limit) << (c.header ? *c.header : "none");
}

}  // namespace
