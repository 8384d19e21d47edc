#pragma once
// The fake shared app-server (codex_fake_daemon.py) as a child process: commands go to its
// standard input, what it reports (connections, every message it received) is collected from
// its standard output.
#include <QProcess>

#include <filesystem>
#include <string>
#include <vector>

#include "codex_test_support.hpp"
#include "model/json.hpp"

namespace vigilorb::test {

class FakeCodexDaemon {
public:
    // Listens on `socket`; `link` (when given) becomes a symbolic link to it, as Codex makes in
    // CODEX_HOME.
    FakeCodexDaemon(const std::filesystem::path& socket, const std::filesystem::path& link = {},
                    std::size_t maxBytes = 16777216) {
        process_.setProgram("/usr/bin/python3");
        process_.setArguments({CODEX_FAKE_DAEMON, QString::fromStdString(socket.string()), "--max-bytes",
                               QString::number(maxBytes)});
        process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        QObject::connect(&process_, &QProcess::readyReadStandardOutput, [this] { collect(); });
        process_.start();
        if (!runUntil([&] { return has("listening"); }, std::chrono::seconds(60))) return;
        if (!link.empty()) {
            std::filesystem::create_directories(link.parent_path());
            std::filesystem::remove(link);
            std::filesystem::create_symlink(socket, link);
        }
    }
    ~FakeCodexDaemon() { stop(); }

    bool listening() { return has("listening"); }
    void command(const Json& cmd) {
        auto before = count("done");
        process_.write(QByteArray::fromStdString(cmd.dump() + "\n"));
        runUntil([&] { return count("done") > before; }, std::chrono::seconds(60));
    }
    void setThread(const Json& thread) { command({{"cmd", "thread"}, {"thread", thread}}); }
    void send(const Json& message) { command({{"cmd", "send"}, {"message", message}}); }
    void stop() {
        if (process_.state() == QProcess::NotRunning) return;
        process_.kill();
        process_.waitForFinished(-1);
    }

    std::size_t count(const char* key) {
        std::size_t n = 0;
        for (const auto& e : events_) n += e.contains(key) ? 1 : 0;
        return n;
    }
    bool has(const char* key) { return count(key) > 0; }
    // Everything it reported, for failure messages.
    std::string log() const {
        std::string out;
        for (const auto& e : events_) out += e.dump() + "\n";
        return out;
    }
    // Every message the daemon received, in order.
    std::vector<Json> received() {
        std::vector<Json> out;
        for (const auto& e : events_)
            if (e.contains("recv")) out.push_back(e["recv"]);
        return out;
    }

private:
    void collect() {
        buffer_ += process_.readAllStandardOutput().toStdString();
        std::size_t nl;
        while ((nl = buffer_.find('\n')) != std::string::npos) {
            events_.push_back(Json::parse(buffer_.substr(0, nl)));
            buffer_.erase(0, nl + 1);
        }
    }

    QProcess process_;
    std::string buffer_;
    std::vector<Json> events_;
};

inline Json codexThread(const std::string& id, const Json& status, bool ephemeral = false,
                        const Json& name = nullptr) {
    return {{"id", id},           {"ephemeral", ephemeral}, {"status", status},  {"name", name},
            {"preview", "hello"}, {"cliVersion", "0.171.0"}, {"createdAt", 1796888000}, {"updatedAt", 1796888000},
            {"turns", Json::array()}};
}
inline const Json waitingOnApproval = {{"type", "active"}, {"activeFlags", {"waitingOnApproval"}}};
inline const Json activeNoFlags = {{"type", "active"}, {"activeFlags", Json::array()}};
inline const Json idleStatus = {{"type", "idle"}};

inline Json statusChanged(const std::string& id, const Json& status) {
    return {{"method", "thread/status/changed"}, {"params", {{"threadId", id}, {"status", status}}}};
}

}  // namespace vigilorb::test
