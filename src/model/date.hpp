#pragma once
#include <compare>
#include <chrono>
#include <optional>
#include <string_view>

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

// Which internet date-times a format accepts.
enum class DateTimeForm {
    // RFC 3339 as Codex writes it: "2026-12-10T06:28:05.215Z", a fraction of any length or
    // none, "T"/"Z" in either case, a "+01:00" or "+0100" offset, a leap second.
    rfc3339,
    // Seconds only, as Claude Desktop writes them: "2025-01-02T03:04:05Z" or with "+01:00";
    // a fraction, lower case, an offset without its colon or second 60 are refused.
    wholeSeconds,
};

// An internet date-time with a required zone; nullopt for anything the form does not accept
// (a space for the "T", no zone, a day that does not exist).
std::optional<Date> parseInternetDateTime(std::string_view text, DateTimeForm form = DateTimeForm::rfc3339);

}  // namespace vigilorb
