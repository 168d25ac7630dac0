// Change notifications for watched folders, on inotify. One `ChangeWatch` is one inotify
// instance watching one folder (and, with `subtree`, every folder below it, new ones included
// as they appear). It becomes signalled when a file in it is written, closed after writing or
// moved in; it stays signalled until it is re-armed, which discards what is pending.
//
// `WatchTable` holds up to 11 watches with the list index of each one's folder, and answers
// the timer's question "which watch, lowest first, is signalled" without blocking, or with a
// bounded wait.
#pragma once

#include <sys/types.h>

#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace kv::platform {

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
    // with a point). False, with nothing open, when the folder cannot be watched.
    bool Open(const std::string& folder, bool subtree);
    void Close();
    bool IsOpen() const { return fd_ >= 0; }
    // The inotify descriptor, readable when events are pending.
    int Descriptor() const { return fd_; }
    // The folders watched now (1 without subtree).
    std::size_t FolderCount() const { return folders_.size(); }

    // Reads the pending events without waiting and tells whether the watch is signalled.
    // New subfolders are watched here; one that already holds something counts as a change.
    bool Signalled();
    // Discards the pending events (new subfolders are still watched) and clears the signal.
    void Rearm();

private:
    void ReadEvents();
    void AddTree(const std::string& top, int top_wd, bool arrived, std::unordered_set<int>& walked);
    // Watches a folder below the root; its watch descriptor, or -1.
    int AddFolder(const std::string& folder);

    int fd_ = -1;
    bool subtree_ = false;
    bool signalled_ = false;
    dev_t device_ = 0;
    std::string root_;
    int root_wd_ = -1;
    std::unordered_map<int, std::string> folders_;  // watch descriptor -> folder path
};

class WatchTable {
public:
    static constexpr int kMaxWatches = 11;

    // Adds a watch for `folder` with the list index of its folder, unless the table is full or
    // the folder cannot be watched. Returns whether it was added.
    bool Add(const std::string& folder, bool subtree, int list_index);
    // Closes every watch.
    void Clear() { watches_.clear(); }
    int Count() const { return static_cast<int>(watches_.size()); }
    int ListIndex(int table_index) const { return watches_[table_index].list_index; }
    const ChangeWatch& Watch(int table_index) const { return watches_[table_index].watch; }

    // The lowest table index whose watch is signalled, waiting up to `timeout_ms` (0: only
    // looking) for one; -1 when the time ran out or the table is empty.
    int Wait(int timeout_ms);
    void Rearm(int table_index);
    // Re-arms every watch that signals within `timeout_ms` of the last, until a wait times
    // out. A folder that never stops changing cannot hold the caller: the whole drain ends
    // after five times `timeout_ms` at the latest.
    void Drain(int timeout_ms);

private:
    struct Entry {
        ChangeWatch watch;
        int list_index = 0;
    };
    std::vector<Entry> watches_;
};

}  // namespace kv::platform
