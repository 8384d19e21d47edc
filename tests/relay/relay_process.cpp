#include "relay_process.hpp"

#include <fstream>
#include <stdexcept>

namespace vigilorb::test {

RelayProcess::RelayProcess(std::vector<std::string> arguments, std::map<std::string, std::string> env) {
    std::vector<std::string> argv = {(binDir() / "vigilorb-relay").string(), "--listen", "127.0.0.1:0"};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    child_ = std::make_unique<ChildProcess>(argv, env);
    eventually([&] {
        if (!child_->running()) return true;
        auto at = child_->out().find("listening on http");
        if (at == std::string::npos || child_->out().find('\n', at) == std::string::npos) return false;
        auto line = child_->out().substr(at, child_->out().find('\n', at) - at);
        port_ = std::stoi(line.substr(line.rfind(':') + 1));
        return true;
    });
    if (port_ == 0) throw std::runtime_error("relay did not start: " + child_->err());
}

long RelayProcess::residentKiB() const {
    std::ifstream status("/proc/" + std::to_string(child_->pid()) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.starts_with("VmRSS:")) return std::stol(line.substr(6));
    return -1;
}

}  // namespace vigilorb::test
