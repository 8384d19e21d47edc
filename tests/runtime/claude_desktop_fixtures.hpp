#pragma once
// Generated Claude Desktop files: plan-usage history and Cowork sessions under a home folder.
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "claude/claude_desktop_session_parser.hpp"

namespace vigilorb::test::desktop {

inline std::string isoUTC(double unixSeconds) {
    std::time_t t = static_cast<std::time_t>(unixSeconds);
    std::tm tm{};
    ::gmtime_r(&t, &tm);
    char buffer[32];
    std::strftime(buffer, sizeof buffer, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return buffer;
}

struct UsageSample {
    double unixSeconds;
    double fiveHour;
    double sevenDay;
};

inline void writeHistory(const std::filesystem::path& file, const std::vector<UsageSample>& samples) {
    std::filesystem::create_directories(file.parent_path());
    std::string s = R"({"samples":[)";
    for (std::size_t i = 0; i < samples.size(); ++i) {
        if (i) s += ",";
        s += R"({"t":)" + std::to_string(static_cast<long long>(samples[i].unixSeconds * 1000)) +
             R"(,"org":"org-1","u":{"fh":)" + std::to_string(samples[i].fiveHour) +
             R"(,"sd":)" + std::to_string(samples[i].sevenDay) + "}}";
    }
    s += "]}";
    auto temporary = file;
    temporary += ".tmp";
    std::ofstream(temporary) << s;
    std::filesystem::rename(temporary, file);
}

// One Cowork session: metadata local_<name>.json and, when given, local_<name>/audit.jsonl.
inline void writeSession(const std::filesystem::path& folder, const std::string& name, const std::string& sessionID,
                         const std::string& title, double lastActivityUnix, const std::string& auditLines = "",
                         bool archived = false) {
    std::filesystem::create_directories(folder / ("local_" + name));
    auto meta = folder / ("local_" + name + ".json");
    std::ofstream(meta) << R"({"sessionId":")" << sessionID << R"(","title":")" << title
                        << R"(","lastActivityAt":)" << static_cast<long long>(lastActivityUnix * 1000)
                        << R"(,"isArchived":)" << (archived ? "true" : "false") << "}";
    if (!auditLines.empty()) std::ofstream(folder / ("local_" + name) / "audit.jsonl") << auditLines;
}

inline std::string auditLine(const std::string& body, double unixSeconds) {
    return "{" + body + R"(,"_audit_timestamp":")" + isoUTC(unixSeconds) + "\"}\n";
}

inline std::string taskID(const std::string& sessionID) { return claude::coworkTaskID(sessionID); }

}  // namespace vigilorb::test::desktop
