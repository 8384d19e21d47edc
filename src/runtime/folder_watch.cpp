#include "runtime/folder_watch.hpp"

#include <QSocketNotifier>

#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <system_error>

namespace vigilorb::runtime {

namespace fs = std::filesystem;

namespace {

constexpr uint32_t folderEntries = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO;
constexpr uint32_t itself = IN_DELETE_SELF | IN_MOVE_SELF;
constexpr uint32_t arrivingEntries = IN_CLOSE_WRITE | IN_MOVED_TO;
// Writes are seen as IN_MODIFY. IN_CLOSE_WRITE and IN_ATTRIB are left out: a reader of a SQLite
// database in write-ahead mode opens its log for writing and changes the log's status time on
// every read, so our own reads would count as changes. A file the loop could not read is
// read again by its next pass anyway.
constexpr uint32_t anyEntries = folderEntries | IN_MODIFY;
constexpr uint32_t awaitingMask = IN_CREATE | IN_MOVED_TO | itself | IN_ONLYDIR;

bool isFolder(const fs::path& path) {
    std::error_code ec;
    return fs::is_directory(path, ec);
}

}  // namespace

FolderWatch::FolderWatch(Folders folders, std::vector<fs::path> roots, Entries entries,
                         std::chrono::milliseconds settle, QObject* parent)
    : QObject(parent), folders_(std::move(folders)), roots_(std::move(roots)), entries_(entries) {
    settle_.setSingleShot(true);
    settle_.setTimerType(Qt::PreciseTimer);
    settle_.setInterval(settle);
    connect(&settle_, &QTimer::timeout, this, &FolderWatch::changed);
    fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd_ < 0) {
        reliable_ = false;
        return;
    }
    notifier_ = std::make_unique<QSocketNotifier>(fd_, QSocketNotifier::Read);
    connect(notifier_.get(), &QSocketNotifier::activated, this, [this] { readEvents(); });
    resync();
}

FolderWatch::~FolderWatch() {
    notifier_.reset();
    if (fd_ >= 0) ::close(fd_);
}

std::vector<fs::path> FolderWatch::watchedFolders() const {
    std::vector<fs::path> out;
    for (const auto& [wd, watch] : watches_) out.push_back(watch.folder);
    return out;
}

void FolderWatch::resync() {
    if (fd_ < 0) return;
    // What to watch: each listed folder that exists, else the nearest existing ancestor for the
    // next name on the way down to it.
    std::map<fs::path, Watch> wanted;
    for (const auto& folder : folders_()) {
        if (isFolder(folder)) {
            auto& w = wanted[folder];
            w.folder = folder;
            w.wanted = true;
            continue;
        }
        for (fs::path step = folder; step.has_relative_path() && step != step.parent_path(); step = step.parent_path()) {
            if (isFolder(step.parent_path())) {
                auto& w = wanted[step.parent_path()];
                w.folder = step.parent_path();
                w.awaited.insert(step.filename().string());
                break;
            }
        }
    }

    const uint32_t fullMask = (entries_ == Entries::arriving ? folderEntries | arrivingEntries : anyEntries) |
                              itself | IN_ONLYDIR;
    std::map<int, Watch> watches;
    bool reliable = true;
    for (auto& [folder, watch] : wanted) {
        int wd = inotify_add_watch(fd_, folder.c_str(), watch.wanted ? fullMask : awaitingMask);
        if (wd < 0) {
            // Gone since it was looked at: the parent's watch reports that, or the next pass
            // finds it. Anything else (the watch limit, no permission) cannot be watched.
            if (errno != ENOENT && errno != ENOTDIR) reliable = false;
            changed_ = true;
            continue;
        }
        auto [it, inserted] = watches.try_emplace(wd, watch);
        if (!inserted) {
            // Two paths to one folder (a link): one watch with the wider mask serves both.
            it->second.wanted = it->second.wanted || watch.wanted;
            it->second.awaited.insert(watch.awaited.begin(), watch.awaited.end());
            if (it->second.wanted) inotify_add_watch(fd_, folder.c_str(), fullMask);
        }
    }
    for (const auto& [wd, watch] : watches_)
        if (!watches.contains(wd)) inotify_rm_watch(fd_, wd);
    watches_ = std::move(watches);
    reliable_ = reliable;
}

void FolderWatch::readEvents() {
    alignas(inotify_event) char buffer[16 * (sizeof(inotify_event) + NAME_MAX + 1)];
    bool trigger = false;
    bool folders = false;
    for (;;) {
        ssize_t n = ::read(fd_, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        for (char* p = buffer; p < buffer + n;) {
            const auto* event = reinterpret_cast<const inotify_event*>(p);
            p += sizeof(inotify_event) + event->len;
            if (event->mask & IN_Q_OVERFLOW) {
                // Events were dropped: anything may have changed.
                overflowed_ = true;
                folders = trigger = true;
                continue;
            }
            auto it = watches_.find(event->wd);
            // A watch removed by resync() reports IN_IGNORED after it is forgotten.
            if (it == watches_.end()) continue;
            const Watch& watch = it->second;
            if (event->mask & (IN_IGNORED | itself)) {
                folders = trigger = true;
                continue;
            }
            std::string_view name = event->len ? std::string_view(event->name) : std::string_view();
            if (event->mask & IN_ISDIR) {
                if (event->mask & folderEntries) {
                    folders = true;
                    trigger = trigger || watch.wanted || watch.awaited.contains(std::string(name));
                }
                continue;
            }
            if (!watch.wanted) {
                if (watch.awaited.contains(std::string(name))) folders = trigger = true;
                continue;
            }
            if (ignored_ && ignored_(name)) continue;
            if (entries_ == Entries::arriving) {
                // Temporaries of an atomic replace are hidden; the rename that publishes one
                // is the event that counts.
                if (!name.empty() && name.front() != '.' && (event->mask & arrivingEntries)) trigger = true;
            } else {
                trigger = true;
            }
        }
    }
    if (folders) resync();
    if (trigger) signalChange();
}

void FolderWatch::signalChange() {
    changed_ = true;
    if (!settle_.isActive()) settle_.start();
}

std::optional<FolderWatch::Identity> FolderWatch::identityOf(const fs::path& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return std::nullopt;
    return Identity{st.st_dev, st.st_ino, st.st_size, st.st_mtim};
}

bool FolderWatch::takeChange() {
    bool change = changed_ || overflowed_ || !reliable_;
    changed_ = overflowed_ = false;
    rootIdentities_.resize(roots_.size());
    for (std::size_t i = 0; i < roots_.size(); ++i) {
        auto identity = identityOf(roots_[i]);
        if (identity != rootIdentities_[i]) change = true;
        rootIdentities_[i] = identity;
    }
    // Folders that appeared without an event reaching us (an overflow, a watch added late)
    // are picked up with the full pass.
    if (change && fd_ >= 0) resync();
    return change;
}

}  // namespace vigilorb::runtime
