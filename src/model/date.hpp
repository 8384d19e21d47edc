#pragma once
#include <compare>
#include <chrono>

namespace vigilorb {

// A point in time as seconds since 2001-01-01T00:00:00Z, the form every JSON document of the
// program uses. Agents speak Unix time; convert at the edge with fromUnix/unix.
struct Date {
    static constexpr double unixOffset = 978307200.0;  // 2001-01-01 in Unix seconds

    double sinceReference = 0;

    static constexpr Date fromReference(double s) { return Date{s}; }
    static constexpr Date fromUnix(double unixSeconds) { return Date{unixSeconds - unixOffset}; }
    constexpr double unix() const { return sinceReference + unixOffset; }

    static Date now() {
        using namespace std::chrono;
        auto us = duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
        return fromUnix(static_cast<double>(us) / 1e6);
    }

    constexpr Date operator+(double seconds) const { return Date{sinceReference + seconds}; }
    constexpr Date operator-(double seconds) const { return Date{sinceReference - seconds}; }
    constexpr double operator-(Date other) const { return sinceReference - other.sinceReference; }
    constexpr auto operator<=>(const Date&) const = default;
};

}  // namespace vigilorb
