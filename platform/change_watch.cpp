#include "platform/change_watch.h"

#include <errno.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <unordered_set>
#include <utility>

#include "platform/folder_listing.h"

namespace kv::platform {

namespace {

// The changes that make a watch signalled: a file written, closed after writing, moved in.
constexpr std::uint32_t kChangeMask = IN_MODIFY | IN_CLOSE_WRITE | IN_MOVED_TO;

std::string JoinPath(const std::string& folder, const std::string& name) {
    if (!folder.empty() && folder.back() == '/') return folder + name;
    return folder + "/" + name;
}

}  // namespace

ChangeWatch::~ChangeWatch() {
    Close();
}

ChangeWatch::ChangeWatch(ChangeWatch&& other) noexcept {
    *this = std::move(other);
}

ChangeWatch& ChangeWatch::operator=(ChangeWatch&& other) noexcept {
    if (this != &other) {
        Close();
        fd_ = std::exchange(other.fd_, -1);
        subtree_ = other.subtree_;
        signalled_ = std::exchange(other.signalled_, false);
        device_ = other.device_;
        root_ = std::move(other.root_);
        root_wd_ = other.root_wd_;
        folders_ = std::move(other.folders_);
        other.folders_.clear();
    }
    return *this;
}

void ChangeWatch::Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    signalled_ = false;
    folders_.clear();
}

bool ChangeWatch::Open(const std::string& folder, bool subtree) {
    Close();
    struct stat st;
    if (folder.empty() || ::stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
    fd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd_ < 0) return false;
    subtree_ = subtree;
    device_ = st.st_dev;
    // The folder the user named is resolved if it is a link; nothing below it is.
    std::uint32_t mask = kChangeMask | IN_ONLYDIR | IN_EXCL_UNLINK | (subtree ? IN_CREATE : 0);
    int wd = ::inotify_add_watch(fd_, folder.c_str(), mask);
    if (wd < 0) {
        Close();
        return false;
    }
    root_ = folder;
    root_wd_ = wd;
    folders_[wd] = folder;
    if (subtree_) {
        std::unordered_set<int> walked;
        AddTree(folder, wd, false, walked);
    }
    return true;
}

int ChangeWatch::AddFolder(const std::string& folder) {
    struct stat st;
    if (::lstat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_dev != device_)
        return -1;
    std::uint32_t mask = kChangeMask | IN_CREATE | IN_ONLYDIR | IN_DONT_FOLLOW | IN_EXCL_UNLINK;
    int wd = ::inotify_add_watch(fd_, folder.c_str(), mask);
    // A folder watched already (moved within the tree) is known by its new path from now on.
    if (wd >= 0) folders_[wd] = folder;
    return wd;
}

void ChangeWatch::AddTree(const std::string& top, int top_wd, bool arrived,
                          std::unordered_set<int>& walked) {
    // Walks below `top` (watched as `top_wd`), adding a watch for every folder. A folder is
    // walked once per walk, however it is reached (a bind mount of a folder above it), so the
    // walk cannot loop. For folders that have just `arrived`, a file found on the way came
    // before their watches existed, which counts as a change.
    if (!walked.insert(top_wd).second) return;
    std::vector<std::string> pending{top};
    while (!pending.empty()) {
        std::string folder = std::move(pending.back());
        pending.pop_back();
        FolderListing listing(folder);
        FolderEntry entry;
        while (listing.Next(entry)) {
            if (entry.name.empty() || entry.name[0] == '.') continue;
            if (!entry.is_folder) {
                if (arrived) signalled_ = true;
                continue;
            }
            std::string path = JoinPath(folder, entry.name);
            int wd = AddFolder(path);
            if (wd >= 0 && walked.insert(wd).second) pending.push_back(std::move(path));
        }
    }
}

void ChangeWatch::ReadEvents() {
    if (fd_ < 0) return;
    alignas(struct inotify_event) char buffer[8192];
    // A bounded number of reads per call, so a folder written without pause cannot hold the
    // caller; what is left stays pending for the next call.
    for (int reads = 0; reads < 64; ++reads) {
        ssize_t n = ::read(fd_, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;  // nothing more pending (EAGAIN), or the instance failed
        std::size_t pos = 0;
        while (pos + sizeof(struct inotify_event) <= static_cast<std::size_t>(n)) {
            struct inotify_event event;
            std::memcpy(&event, buffer + pos, sizeof event);
            const std::size_t size = sizeof(struct inotify_event) + event.len;
            if (pos + size > static_cast<std::size_t>(n)) break;
            const char* text = buffer + pos + sizeof(struct inotify_event);
            const std::string name(text, ::strnlen(text, event.len));
            pos += size;

            if (event.mask & IN_Q_OVERFLOW) {
                // Events were lost: count it as a change, and find the subfolders anew.
                signalled_ = true;
                if (subtree_ && folders_.count(root_wd_) != 0) {
                    std::unordered_set<int> walked;
                    AddTree(root_, root_wd_, false, walked);
                }
                continue;
            }
            if (event.mask & IN_IGNORED) {
                folders_.erase(event.wd);
                continue;
            }
            auto where = folders_.find(event.wd);
            if (where == folders_.end()) continue;
            if (event.mask & IN_ISDIR) {
                // A folder that appeared: watched with what it holds when watching a subtree;
                // a change once something is in it.
                if (!(event.mask & (IN_CREATE | IN_MOVED_TO)) || name.empty() || name[0] == '.')
                    continue;
                const std::string path = JoinPath(where->second, name);
                if (subtree_) {
                    int wd = AddFolder(path);
                    std::unordered_set<int> walked;
                    if (wd >= 0) AddTree(path, wd, true, walked);
                } else {
                    FolderListing listing(path);
                    FolderEntry entry;
                    while (listing.Next(entry)) {
                        if (entry.name != "." && entry.name != "..") {
                            signalled_ = true;
                            break;
                        }
                    }
                }
                continue;
            }
            if (event.mask & kChangeMask) signalled_ = true;
        }
    }
}

bool ChangeWatch::Signalled() {
    ReadEvents();
    return signalled_;
}

void ChangeWatch::Rearm() {
    ReadEvents();
    signalled_ = false;
}

bool WatchTable::Add(const std::string& folder, bool subtree, int list_index) {
    if (Count() >= kMaxWatches) return false;
    Entry entry;
    if (!entry.watch.Open(folder, subtree)) return false;
    entry.list_index = list_index;
    watches_.push_back(std::move(entry));
    return true;
}

int WatchTable::Wait(int timeout_ms) {
    if (watches_.empty()) return -1;
    auto lowest = [this] {
        for (int i = 0; i < Count(); ++i) {
            if (watches_[i].watch.Signalled()) return i;
        }
        return -1;
    };
    int found = lowest();
    if (found >= 0 || timeout_ms <= 0) return found;
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    std::vector<struct pollfd> fds(watches_.size());
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return -1;
        for (std::size_t i = 0; i < watches_.size(); ++i)
            fds[i] = {watches_[i].watch.Descriptor(), POLLIN, 0};
        int ready = ::poll(fds.data(), fds.size(), static_cast<int>(left));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return -1;
        found = lowest();
        if (found >= 0) return found;
    }
}

void WatchTable::Rearm(int table_index) {
    if (table_index >= 0 && table_index < Count()) watches_[table_index].watch.Rearm();
}

void WatchTable::Drain(int timeout_ms) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point end = Clock::now() + std::chrono::milliseconds(5LL * timeout_ms);
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
        if (left <= 0) return;
        int signalled = Wait(static_cast<int>(left < timeout_ms ? left : timeout_ms));
        if (signalled < 0) return;
        Rearm(signalled);
    }
}

}  // namespace kv::platform
