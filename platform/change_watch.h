// Change notifications for watched folders, on inotify. One `ChangeWatch` is one inotify
// instance watching one folder (and, with `subtree`, folders below it, new ones included as
// they appear). It becomes signalled when a file in it is written, closed after writing or
// moved in; it stays signalled until it is re-armed, which discards what is pending.
//
// Anyone who can write into a watched folder decides how many folders lie below it, so the
// subfolder watches are bounded (per watched folder and over all watches together) and are
// added a bounded number per poll: a poll never walks a whole tree, and a lost-event overflow
// costs one change and one lazy re-walk, never a re-walk per overflow. Changes to the
// program's own files (its temporary files, its log) are no change.
//
// `WatchTable` holds up to 11 watches with the list index of each one's folder, and answers
// the timer's question "which watch, lowest first, is signalled" without blocking, or with a
// bounded wait.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <deque>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/folder_listing.h"

namespace kv::platform {

// Bounds on the watches of a watch table.
struct WatchLimits {
    // Subfolder watches below one watched folder (its own watch not counted).
    std::size_t per_folder = 2000;
    // Watches of all watched folders together, their own included. Never more is taken than
    // half of what the system allows one user (fs.inotify.max_user_watches), so the other
    // programs of the same user keep theirs.
    std::size_t total = 8192;
    // Work of one poll of one watch: new subfolder watches, and folder entries read while
    // looking for subfolders.
    std::size_t added_per_poll = 256;
    std::size_t entries_per_poll = 4096;
};

// The watches taken from a table's total, shared by its watches.
struct WatchBudget {
    std::size_t limit = 0;
    std::size_t used = 0;
};

// The files the program writes itself: temporary files (a prefix followed by six characters
// in the temporary folder) and the log file. Writing them is no change.
struct OwnFiles {
    std::string temp_folder;
    std::string temp_prefix;
    std::string log_file;
};

class ChangeWatch {
public:
    ChangeWatch() = default;
    ~ChangeWatch();
    ChangeWatch(const ChangeWatch&) = delete;
    ChangeWatch& operator=(const ChangeWatch&) = delete;
    ChangeWatch(ChangeWatch&& other) noexcept;
    ChangeWatch& operator=(ChangeWatch&& other) noexcept;

    // Starts watching `folder`. With `subtree`, the folders below it are watched as well (on
    // the same file system, without following links or entering folders whose names begin
    // with a point), within `limits`, the first ones at once and the rest over the next polls.
    // `budget`, when given, is the shared total the watches are taken from (the folder's own
    // included); it must outlive the watch. False, with nothing open, when the folder cannot
    // be watched.
    bool Open(const std::string& folder, bool subtree, const WatchLimits& limits = WatchLimits(),
              WatchBudget* budget = nullptr);
    void Close();
    bool IsOpen() const { return fd_ >= 0; }
    // The inotify descriptor, readable when events are pending.
    int Descriptor() const { return fd_; }
    // The folders watched now (1 without subtree).
    std::size_t FolderCount() const { return folders_.size(); }
    // Whether a folder below was left unwatched because a bound was reached.
    bool LimitReached() const { return limit_reached_; }
    // Whether subfolders are still being looked for (more polls will add watches).
    bool Walking() const { return listing_ != nullptr || !walk_.empty(); }
    // Changes to these files are ignored from now on.
    void SetOwnFiles(const OwnFiles& own);

    // Reads the pending events without waiting, watches a bounded number of new subfolders
    // and tells whether the watch is signalled. A subfolder that arrives already holding
    // something counts as a change.
    bool Signalled();
    // Discards the pending events (new subfolders are still watched) and clears the signal.
    void Rearm();
    // Reads the pending events and keeps the signal, without adding watches: keeps the
    // system's event queue from overflowing while the poll is held back.
    void Collect() { ReadEvents(); }
    // What a lost-event overflow does: a change, and the subfolders looked for again from the
    // top over the next polls (one such walk at a time).
    void Overflowed();

private:
    struct Folder {
        std::string path;
        ino_t inode = 0;
    };
    // A folder to look into: one already watched (`name` empty), or a folder `name` that
    // appeared in the watched folder `parent`, to be watched first. The path is made when the
    // entry is taken, so a folder moved in the meantime is found under its new name.
    struct Pending {
        int parent = -1;
        std::string name;
        bool arrived = false;
    };
    struct OwnName {
        dev_t device = 0;
        ino_t folder = 0;
        std::string name;
        bool prefix = false;
    };

    void ReadEvents();
    void Step();
    // Watches a folder below the top; its watch descriptor, or -1 (with `limit_reached_` set
    // when a bound refused it).
    int AddFolder(const std::string& folder);
    bool AtLimit() const;
    bool IsOwnFile(const Folder& folder, const std::string& name) const;
    void Forget(int wd);

    int fd_ = -1;
    bool subtree_ = false;
    bool signalled_ = false;
    bool limit_reached_ = false;
    bool rewalk_queued_ = false;
    dev_t device_ = 0;
    std::string root_;
    int root_wd_ = -1;
    WatchLimits limits_;
    WatchBudget* budget_ = nullptr;
    std::unordered_map<int, Folder> folders_;  // watch descriptor -> folder
    std::vector<OwnName> own_;

    // The look for subfolders in progress: the folders still to look into, the one being
    // listed, and the folders listed in this walk (a folder reached twice, as through a bind
    // mount of a folder above it, is listed once, so the walk cannot loop).
    std::deque<Pending> walk_;
    std::size_t pending_adds_ = 0;
    std::unique_ptr<FolderListing> listing_;
    int listing_wd_ = -1;
    bool listing_arrived_ = false;
    std::unordered_set<int> walked_;
};

class WatchTable {
public:
    static constexpr int kMaxWatches = 11;

    explicit WatchTable(const WatchLimits& limits = WatchLimits());
    WatchTable(const WatchTable&) = delete;
    WatchTable& operator=(const WatchTable&) = delete;

    // Bounds for the watches added from now on.
    void SetLimits(const WatchLimits& limits);
    // The files whose changes are ignored, for the open watches and those added later.
    void SetOwnFiles(const OwnFiles& own);

    // Adds a watch for `folder` with the list index of its folder, unless the table is full or
    // the folder cannot be watched. Returns whether it was added.
    bool Add(const std::string& folder, bool subtree, int list_index);
    // Closes every watch.
    void Clear();
    int Count() const { return static_cast<int>(watches_.size()); }
    int ListIndex(int table_index) const { return watches_[table_index].list_index; }
    const ChangeWatch& Watch(int table_index) const { return watches_[table_index].watch; }
    // The watches of all folders together.
    std::size_t FolderCount() const { return budget_.used; }
    // True once after a bound has first left a folder unwatched (again after Clear): the
    // caller tells the user.
    bool TakeLimitNotice();

    // The lowest table index whose watch is signalled, waiting up to `timeout_ms` (0: only
    // looking) for one; -1 when the time ran out or the table is empty. Every watch is polled.
    int Wait(int timeout_ms);
    void Rearm(int table_index);
    // Reads every watch's pending events (see ChangeWatch::Collect).
    void Collect();
    // Re-arms every watch that signals within `timeout_ms` of the last, until a wait times
    // out. A folder that never stops changing cannot hold the caller: the whole drain ends
    // after five times `timeout_ms` at the latest.
    void Drain(int timeout_ms);

private:
    struct Entry {
        ChangeWatch watch;
        int list_index = 0;
    };
    WatchLimits limits_;
    WatchBudget budget_;
    OwnFiles own_;
    bool limit_noticed_ = false;
    bool limit_refused_ = false;
    std::vector<Entry> watches_;
};

}  // namespace kv::platform
