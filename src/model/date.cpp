#include "model/date.hpp"

namespace vigilorb {

namespace {

bool digits(std::string_view s, std::size_t at, std::size_t n, int& out) {
    if (at + n > s.size()) return false;
    int v = 0;
    for (std::size_t i = at; i < at + n; ++i) {
        if (s[i] < '0' || s[i] > '9') return false;
        v = v * 10 + (s[i] - '0');
    }
    out = v;
    return true;
}

}  // namespace

std::optional<Date> parseInternetDateTime(std::string_view s, DateTimeForm form) {
    const bool lenient = form == DateTimeForm::rfc3339;
    int year, month, day, hour, minute, second;
    if (s.size() < 19 || !digits(s, 0, 4, year) || s[4] != '-' || !digits(s, 5, 2, month) || s[7] != '-' ||
        !digits(s, 8, 2, day) || (s[10] != 'T' && !(lenient && s[10] == 't')) || !digits(s, 11, 2, hour) ||
        s[13] != ':' || !digits(s, 14, 2, minute) || s[16] != ':' || !digits(s, 17, 2, second))
        return std::nullopt;
    using namespace std::chrono;
    year_month_day ymd{std::chrono::year{year}, std::chrono::month{static_cast<unsigned>(month)},
                       std::chrono::day{static_cast<unsigned>(day)}};
    if (!ymd.ok() || hour > 23 || minute > 59 || second > (lenient ? 60 : 59)) return std::nullopt;

    std::size_t i = 19;
    double fraction = 0;
    if (lenient && i < s.size() && s[i] == '.') {
        ++i;
        double scale = 0.1;
        std::size_t first = i;
        while (i < s.size() && s[i] >= '0' && s[i] <= '9') {
            fraction += (s[i] - '0') * scale;
            scale /= 10;
            ++i;
        }
        if (i == first) return std::nullopt;
    }
    if (i >= s.size()) return std::nullopt;  // a time zone is required
    int offsetSeconds = 0;
    if (s[i] == 'Z' || (lenient && s[i] == 'z')) {
        ++i;
    } else if (s[i] == '+' || s[i] == '-') {
        int sign = s[i] == '-' ? -1 : 1;
        int oh, om;
        if (!digits(s, i + 1, 2, oh)) return std::nullopt;
        std::size_t at = i + 3;
        if (at < s.size() && s[at] == ':') ++at;
        else if (!lenient) return std::nullopt;
        if (!digits(s, at, 2, om) || oh > 23 || om > 59) return std::nullopt;
        offsetSeconds = sign * (oh * 3600 + om * 60);
        i = at + 2;
    } else {
        return std::nullopt;
    }
    if (i != s.size()) return std::nullopt;

    auto days = sys_days{ymd}.time_since_epoch().count();
    double unixSeconds = static_cast<double>(days) * 86400.0 + hour * 3600 + minute * 60 + second - offsetSeconds;
    return Date::fromUnix(unixSeconds + fraction);
}

}  // namespace vigilorb
