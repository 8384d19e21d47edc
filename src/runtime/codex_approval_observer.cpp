#include "runtime/codex_approval_observer.hpp"

#include <fcntl.h>
#include <sys/un.h>
#include <unistd.h>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/asio/post.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>
#include <deque>
#include <thread>

namespace vigilorb::runtime {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using Local = asio::local::stream_protocol;

namespace {

constexpr const char* messageLimitHeader = "x-codex-websocket-max-unfragmented-message-bytes";

// Codex keeps its socket deep inside CODEX_HOME, which may be longer than a socket address can
// hold (108 bytes); then the folder is reached through a descriptor of it (`folder`, to be closed
// by the caller once the connection is made or refused).
std::optional<std::string> socketAddress(const std::filesystem::path& path, int& folder) {
    folder = -1;
    const std::string& p = path.native();
    if (p.size() < sizeof(sockaddr_un::sun_path)) return p;
    folder = ::open(path.parent_path().c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0) return std::nullopt;
    std::string viaDescriptor = "/proc/self/fd/" + std::to_string(folder) + "/" + path.filename().native();
    if (viaDescriptor.size() < sizeof(sockaddr_un::sun_path)) return viaDescriptor;
    return std::nullopt;
}

}  // namespace

// The I/O thread and the one connection on it. Everything below runs on that thread, except the
// three entry points (open, send, close), which post to it, and the destructor.
class CodexApprovalObserver::Io {
public:
    explicit Io(CodexApprovalObserver* owner)
        : owner_(owner), work_(asio::make_work_guard(io_)), thread_([this] { io_.run(); }) {}

    ~Io() {
        asio::post(io_, [this] {
            if (conn_) shut(*conn_);
            conn_.reset();
        });
        work_.reset();
        thread_.join();  // after this, nothing is posted to the owner any more
    }

    void open(std::uint64_t generation, std::filesystem::path path) {
        asio::post(io_, [this, generation, path = std::move(path)] { doOpen(generation, path); });
    }
    void send(std::uint64_t generation, std::string text) {
        asio::post(io_, [this, generation, text = std::move(text)]() mutable {
            if (!conn_ || conn_->generation != generation || conn_->closed) return;
            conn_->outbox.push_back(std::move(text));
            if (!conn_->writing) writeNext(conn_);
        });
    }
    void close(std::uint64_t generation) {
        asio::post(io_, [this, generation] {
            if (conn_ && conn_->generation == generation) {
                shut(*conn_);
                conn_.reset();
            }
        });
    }

private:
    struct Conn {
        Conn(asio::io_context& io, std::uint64_t g) : ws(io), generation(g) {}
        websocket::stream<Local::socket> ws;
        beast::flat_buffer buffer;
        websocket::response_type response;
        std::deque<std::string> outbox;
        bool writing = false;
        bool closed = false;  // by us or after an error: handlers still queued do nothing
        std::uint64_t generation;
    };
    using ConnPtr = std::shared_ptr<Conn>;

    template <class F>
    void toOwner(F f) {
        QMetaObject::invokeMethod(owner_, std::move(f), Qt::QueuedConnection);
    }

    static void shut(Conn& c) {
        c.closed = true;
        beast::error_code ignored;
        c.ws.next_layer().shutdown(Local::socket::shutdown_both, ignored);
        c.ws.next_layer().close(ignored);
    }

    void doOpen(std::uint64_t generation, const std::filesystem::path& path) {
        if (conn_) shut(*conn_);
        auto c = std::make_shared<Conn>(io_, generation);
        conn_ = c;
        int folder = -1;
        auto address = socketAddress(path, folder);
        if (!address) {
            if (folder >= 0) ::close(folder);
            shut(*c);
            toOwner([o = owner_, generation] { o->openFailed(generation); });
            return;
        }
        // Asynchronous, so that a daemon with a full backlog cannot block this thread (and stop()).
        c->ws.next_layer().async_connect(Local::endpoint(*address), [this, c, folder](beast::error_code ec) {
            if (folder >= 0) ::close(folder);
            if (c->closed) return;
            if (ec) {
                shut(*c);
                toOwner([o = owner_, g = c->generation] { o->openFailed(g); });
                return;
            }
            handshake(c);
        });
    }

    void handshake(const ConnPtr& c) {
        c->ws.async_handshake(c->response, "localhost", "/", [this, c](beast::error_code ec) {
            if (c->closed) return;
            if (ec) {
                shut(*c);
                toOwner([o = owner_, g = c->generation] { o->openFailed(g); });
                return;
            }
            std::optional<std::string_view> announced;
            if (auto it = c->response.find(messageLimitHeader); it != c->response.end())
                announced = std::string_view(it->value().data(), it->value().size());
            // Beast refuses a longer message with "message too big" and closes the connection.
            c->ws.read_message_max(codex::approvalMessageLimit(announced));
            c->ws.text(true);
            toOwner([o = owner_, g = c->generation] { o->opened(g); });
            readNext(c);
        });
    }

    void readNext(const ConnPtr& c) {
        c->ws.async_read(c->buffer, [this, c](beast::error_code ec, std::size_t) {
            if (c->closed) return;
            if (ec) {
                shut(*c);
                auto why = ec == websocket::error::message_too_big ? codex::ApprovalConnectionEnd::messageTooLarge
                                                                    : codex::ApprovalConnectionEnd::closed;
                toOwner([o = owner_, g = c->generation, why] { o->ended(g, why); });
                return;
            }
            if (c->ws.got_text())
                toOwner([o = owner_, g = c->generation, text = beast::buffers_to_string(c->buffer.data())] {
                    o->received(g, text);
                });
            c->buffer.consume(c->buffer.size());
            readNext(c);
        });
    }

    void writeNext(const ConnPtr& c) {
        c->writing = true;
        c->ws.async_write(asio::buffer(c->outbox.front()), [this, c](beast::error_code ec, std::size_t) {
            if (c->closed) return;
            if (ec) {
                shut(*c);
                toOwner([o = owner_, g = c->generation] { o->ended(g, codex::ApprovalConnectionEnd::closed); });
                return;
            }
            c->outbox.pop_front();
            if (c->outbox.empty())
                c->writing = false;
            else
                writeNext(c);
        });
    }

    CodexApprovalObserver* owner_;
    asio::io_context io_;
    asio::executor_work_guard<asio::io_context::executor_type> work_;
    ConnPtr conn_;
    std::thread thread_;  // last: starts once everything it uses exists
};

CodexApprovalObserver::CodexApprovalObserver(std::filesystem::path codexHome, Options options, QObject* parent)
    : QObject(parent),
      codexHome_(std::move(codexHome)),
      options_(std::move(options)),
      session_(options_.clientVersion) {
    timer_.setSingleShot(true);
    connect(&timer_, &QTimer::timeout, this, [this] { apply(session_.timerFired(options_.clock())); });
}

CodexApprovalObserver::~CodexApprovalObserver() { stop(); }

std::filesystem::path CodexApprovalObserver::socketPath(const std::filesystem::path& codexHome) {
    return codexHome / "app-server-control" / "app-server-control.sock";
}

void CodexApprovalObserver::start(WaitsHandler waitsHandler, StatusHandler statusHandler) {
    if (io_ || stopped_) return;
    waitsHandler_ = std::move(waitsHandler);
    statusHandler_ = std::move(statusHandler);
    io_ = std::make_unique<Io>(this);
    apply(session_.start());
}

void CodexApprovalObserver::stop() {
    if (stopped_) return;
    apply(session_.stop());
    stopped_ = true;
    timer_.stop();
    io_.reset();
}

void CodexApprovalObserver::apply(codex::ApprovalEffects effects) {
    for (auto& effect : effects) {
        if (stopped_) return;
        if (std::holds_alternative<codex::OpenConnection>(effect)) {
            ++generation_;
            io_->open(generation_, socketPath(codexHome_));
        } else if (std::holds_alternative<codex::CloseConnection>(effect)) {
            io_->close(generation_);
            ++generation_;  // whatever that connection still reports is ignored
        } else if (auto* send = std::get_if<codex::SendMessage>(&effect)) {
            io_->send(generation_, send->message.text());
        } else if (auto* arm = std::get_if<codex::ArmTimer>(&effect)) {
            timer_.start(std::chrono::milliseconds(static_cast<long long>(arm->seconds * options_.timeScale * 1000)));
        } else if (std::holds_alternative<codex::WaitsChanged>(effect)) {
            if (waitsHandler_) waitsHandler_();
        } else if (auto* status = std::get_if<codex::StatusChanged>(&effect)) {
            if (statusHandler_) statusHandler_(status->status);
        }
    }
}

void CodexApprovalObserver::opened(std::uint64_t generation) {
    if (generation == generation_) apply(session_.opened(options_.clock()));
}

void CodexApprovalObserver::openFailed(std::uint64_t generation) {
    if (generation == generation_) apply(session_.openFailed(options_.clock()));
}

void CodexApprovalObserver::received(std::uint64_t generation, const std::string& text) {
    if (generation == generation_) apply(session_.received(text, options_.clock()));
}

void CodexApprovalObserver::ended(std::uint64_t generation, codex::ApprovalConnectionEnd why) {
    if (generation == generation_) apply(session_.connectionEnded(why, options_.clock()));
}

}  // namespace vigilorb::runtime
