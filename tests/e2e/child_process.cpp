#include "child_process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <stdexcept>
#include <thread>

namespace vigilorb::test {

ChildProcess::ChildProcess(std::vector<std::string> argv, std::map<std::string, std::string> env, std::string input) {
    int in[2], out[2], err[2];
    if (::pipe2(in, O_CLOEXEC) || ::pipe2(out, O_CLOEXEC) || ::pipe2(err, O_CLOEXEC))
        throw std::runtime_error("pipe failed");
    std::vector<std::string> envText;
    for (const auto& [k, v] : env) envText.push_back(k + "=" + v);
    std::vector<char*> argp, envp;
    for (auto& a : argv) argp.push_back(a.data());
    argp.push_back(nullptr);
    for (auto& e : envText) envp.push_back(e.data());
    envp.push_back(nullptr);
    pid_ = ::fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        ::dup2(in[0], 0);
        ::dup2(out[1], 1);
        ::dup2(err[1], 2);
        ::execve(argp[0], argp.data(), envp.data());
        ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    outFd_ = out[0];
    errFd_ = err[0];
    // Input is written from a thread so a child that does not read cannot block the test.
    std::thread([fd = in[1], input = std::move(input)] {
        ::signal(SIGPIPE, SIG_IGN);
        std::string_view rest = input;
        while (!rest.empty()) {
            auto n = ::write(fd, rest.data(), rest.size());
            if (n <= 0) break;
            rest.remove_prefix(static_cast<std::size_t>(n));
        }
        ::close(fd);
    }).detach();
}

ChildProcess::~ChildProcess() {
    // Output is no longer wanted: close first, so that a grandchild holding the pipes open
    // cannot keep the test waiting.
    if (outFd_ >= 0) ::close(outFd_);
    if (errFd_ >= 0) ::close(errFd_);
    if (status_ < 0 && pid_ > 0) {
        ::kill(pid_, SIGKILL);
        while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
        }
    }
}

void ChildProcess::signal(int sig) {
    if (status_ < 0) ::kill(pid_, sig);
}

void ChildProcess::collect(bool block) {
    pollfd fds[2] = {{outFd_, POLLIN, 0}, {errFd_, POLLIN, 0}};
    while (fds[0].fd >= 0 || fds[1].fd >= 0) {
        int n = ::poll(fds, 2, block ? -1 : 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !fds[i].revents) continue;
            char buffer[65536];
            auto got = ::read(fds[i].fd, buffer, sizeof buffer);
            if (got > 0)
                (i == 0 ? out_ : err_).append(buffer, static_cast<std::size_t>(got));
            else
                fds[i].fd = -1;
        }
    }
}

int ChildProcess::wait() {
    if (status_ >= 0) return status_;
    collect(true);
    int raw = 0;
    while (::waitpid(pid_, &raw, 0) < 0 && errno == EINTR) {
    }
    status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    return status_;
}

bool ChildProcess::running() {
    if (status_ >= 0) return false;
    int raw = 0;
    pid_t r = ::waitpid(pid_, &raw, WNOHANG);
    if (r == 0) {
        collect(false);
        return true;
    }
    collect(true);
    status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    return false;
}

Finished run(std::vector<std::string> argv, std::map<std::string, std::string> env, std::string input) {
    ChildProcess child(std::move(argv), std::move(env), std::move(input));
    int status = child.wait();
    return {status, child.out(), child.err()};
}

bool eventually(const std::function<bool()>& condition, std::chrono::seconds limit) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (true) {
        if (condition()) return true;
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

std::map<std::string, std::string> baseEnvironment() {
    std::map<std::string, std::string> env;
    for (const char* name : {"PATH", "ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"})
        if (const char* v = std::getenv(name)) env[name] = v;
    return env;
}

std::filesystem::path binDir() {
    const char* v = std::getenv("VIGILORB_BIN_DIR");
    if (!v) throw std::runtime_error("VIGILORB_BIN_DIR is not set");
    return v;
}

std::filesystem::path sourceDir() {
    const char* v = std::getenv("VIGILORB_SOURCE_DIR");
    if (!v) throw std::runtime_error("VIGILORB_SOURCE_DIR is not set");
    return v;
}

std::map<std::string, std::string> isolatedCompanionEnvironment(const std::filesystem::path& dir) {
    std::filesystem::create_directories(dir / "run");
    std::filesystem::permissions(dir / "run", std::filesystem::perms::owner_all);
    auto env = baseEnvironment();
    env["HOME"] = (dir / "home").string();
    env["XDG_DATA_HOME"] = (dir / "data").string();
    env["XDG_CONFIG_HOME"] = (dir / "config").string();
    env["XDG_RUNTIME_DIR"] = (dir / "run").string();
    env["DBUS_SESSION_BUS_ADDRESS"] = "unix:path=/nonexistent/vigilorb-bus";
    return env;
}

}  // namespace vigilorb::test
