#pragma once
#include <exception>
#include <string>
#include <utility>

namespace vigilorb {

// Every component reports failures as a small enum. Errors are thrown to the caller wrapped
// in Failure<E>, so `catch (const Failure<StoreError>& e)` sees the exact case.
template <class E>
class Failure : public std::exception {
public:
    explicit Failure(E code, std::string detail = {}) : code_(code), detail_(std::move(detail)) {}
    E code() const noexcept { return code_; }
    const std::string& detail() const noexcept { return detail_; }
    const char* what() const noexcept override { return detail_.empty() ? "failure" : detail_.c_str(); }

private:
    E code_;
    std::string detail_;
};

}  // namespace vigilorb
