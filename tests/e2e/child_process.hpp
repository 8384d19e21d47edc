#pragma once
#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace vigilorb::test {

// A real child process with its own environment (nothing inherited except what is given),
// standard input from a string, standard output and error captured.
class ChildProcess {
public:
    ChildProcess(std::vector<std::string> argv, std::map<std::string, std::string> env, std::string input = {});
    ~ChildProcess();  // kills and reaps a child still running
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }
    void signal(int sig);
    // Waits for the exit and returns the exit status, or 128 + signal.
    int wait();
    bool running();
    const std::string& out() const { return out_; }
    const std::string& err() const { return err_; }

private:
    void collect(bool block);
    pid_t pid_ = -1;
    int outFd_ = -1, errFd_ = -1;
    int status_ = -1;
    std::string out_, err_;
};

// Runs to the end and returns the child.
struct Finished {
    int status;
    std::string out, err;
};
Finished run(std::vector<std::string> argv, std::map<std::string, std::string> env, std::string input = {});

// Polls `condition` every 50 ms; gives up after `limit` (a guard against hanging, not a
// measurement). Returns the last result.
bool eventually(const std::function<bool()>& condition, std::chrono::seconds limit = std::chrono::seconds(60));

// Environment entries of the parent worth passing on (sanitizer options, PATH).
std::map<std::string, std::string> baseEnvironment();

// baseEnvironment() for a companion of its own below `dir`: home, data, config and a 0700
// runtime folder `dir`/run (created here), and no session bus, so the pairing key goes to the
// 0600 file store and nothing reaches the desktop the tests run on.
std::map<std::string, std::string> isolatedCompanionEnvironment(const std::filesystem::path& dir);

std::filesystem::path binDir();
std::filesystem::path sourceDir();

}  // namespace vigilorb::test
