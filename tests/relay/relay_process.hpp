#pragma once
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "child_process.hpp"

namespace vigilorb::test {

// A real vigilorb-relay on a free loopback port.
class RelayProcess {
public:
    explicit RelayProcess(std::vector<std::string> arguments, std::map<std::string, std::string> env = baseEnvironment());
    int port() const { return port_; }
    bool running() { return child_->running(); }
    // Resident memory in KiB.
    long residentKiB() const;
    const std::string& err() const { return child_->err(); }

private:
    std::unique_ptr<ChildProcess> child_;
    int port_ = 0;
};

}  // namespace vigilorb::test
