#pragma once
#include <string>

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

}  // namespace vigilorb
