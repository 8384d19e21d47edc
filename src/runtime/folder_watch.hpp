#pragma once
// FolderWatch: tells a loop when something changed in the folders it reads, so that the loop
// can act at once on a change and skip its work when nothing changed. One inotify watch per
// folder (never per file), read on the main thread through a socket notifier.
//
// Folders that do not exist yet are awaited: the nearest existing ancestor is watched for the
// missing name to appear, and once it does the folder itself is watched. The folder list is
// asked again whenever folders come or go, so loops can watch a tree whose shape changes.
//
// A watch can miss changes: inotify may be unavailable, a folder may not be watchable (the
// per-user watch limit), and the kernel drops events when its queue overflows. Each of these
// makes the next takeChange() true, so the loop falls back to its full pass; a failed watch
// keeps it that way. Besides, takeChange() compares the identity (device, inode, size, mtime)
// of each root given to the constructor with the one seen at its previous call: a root folder
// replaced or renamed in a way inotify cannot report on is still noticed by the next pass.
//
// inotify is used directly rather than through QFileSystemWatcher, which neither reports a
// queue overflow nor lets the caller pick the event kinds (the inbox drain must not wake
// itself up by deleting the files it has applied).

#include <QObject>
#include <QTimer>

#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

class QSocketNotifier;

namespace vigilorb::runtime {

class FolderWatch : public QObject {
    Q_OBJECT
public:
    // Which changes of entries count, besides folders coming and going (always watched).
    enum class Entries {
        // A file finished being written or was moved in (atomic replace): an inbox.
        arriving,
        // Any entry written, added, removed or renamed (not a change of attributes alone).
        any,
    };

    using Folders = std::function<std::vector<std::filesystem::path>()>;

    // `folders` lists the folders to watch (asked now and whenever folders come or go);
    // `roots` are the folders whose identity takeChange() checks. `settle` is how long changed()
    // waits after a first change, so that a burst of files gives one signal.
    FolderWatch(Folders folders, std::vector<std::filesystem::path> roots, Entries entries,
                std::chrono::milliseconds settle, QObject* parent = nullptr);
    ~FolderWatch() override;

    // True when a change was seen since the previous call, when the watch cannot be trusted
    // (no inotify, a folder that could not be watched, an overflow since the previous call) or
    // when a root's identity differs from the one seen at the previous call. The first call
    // is true. Each call costs one stat per root.
    bool takeChange();

    // Entry names whose changes do not count (for example files this process writes itself
    // by reading, such as a database's shared-memory index).
    void ignoreNames(std::function<bool(std::string_view)> ignored) { ignored_ = std::move(ignored); }

    // False when inotify could not be set up or a folder could not be watched.
    bool isReliable() const { return reliable_; }
    // The folders watched now, awaited ancestors included (for tests).
    std::vector<std::filesystem::path> watchedFolders() const;

signals:
    // Something changed (coalesced over the settle time).
    void changed();

private:
    struct Watch {
        std::filesystem::path folder;
        // Any event of the mask counts (a folder of the list).
        bool wanted = false;
        // Names awaited in this folder (the next step towards a missing folder of the list).
        std::set<std::string> awaited;
    };
    struct Identity {
        dev_t device = 0;
        ino_t inode = 0;
        off_t size = 0;
        timespec mtime{};
        bool operator==(const Identity& o) const {
            return device == o.device && inode == o.inode && size == o.size && mtime.tv_sec == o.mtime.tv_sec &&
                   mtime.tv_nsec == o.mtime.tv_nsec;
        }
    };

    void resync();
    void readEvents();
    void signalChange();
    static std::optional<Identity> identityOf(const std::filesystem::path& path);

    Folders folders_;
    std::vector<std::filesystem::path> roots_;
    Entries entries_;
    std::function<bool(std::string_view)> ignored_;
    int fd_ = -1;
    std::unique_ptr<QSocketNotifier> notifier_;
    std::map<int, Watch> watches_;
    bool reliable_ = true;
    bool changed_ = true;
    bool overflowed_ = false;
    std::vector<std::optional<Identity>> rootIdentities_;
    QTimer settle_;
};

}  // namespace vigilorb::runtime
