#pragma once
#include <exception>
#include <string>
#include <utility>

namespace vigilorb {

// An expected failure, returned as the error of std::expected<T, Error<E>>: the component's
// small enum says which case it is, `detail` says what happened for a person to read (it may
// be shown in a status line). Components that have nothing to tell beyond the case return
// std::expected<T, E> with the bare enum. Exceptions are kept for programming errors.
template <class E>
struct Error {
    E code;
    std::string detail = {};
    bool operator==(const Error&) const = default;
};

// Still thrown by the components that do not return their failures yet; `catch (const
// Failure<StoreError>& e)` sees the exact case.
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
