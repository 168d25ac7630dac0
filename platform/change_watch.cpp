#include "platform/change_watch.h"

#include <errno.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <utility>

#include "platform/folder_listing.h"

namespace kv::platform {

namespace {

// The changes that make a watch signalled: a file written, closed after writing, moved in.
constexpr std::uint32_t kChangeMask = IN_MODIFY | IN_CLOSE_WRITE | IN_MOVED_TO;
// The characters a unique temporary name adds to its prefix.
constexpr std::size_t kTempSuffix = 6;

std::string JoinPath(const std::string& folder, const std::string& name) {
    if (!folder.empty() && folder.back() == '/') return folder + name;
    return folder + "/" + name;
}

bool EqualNoCase(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

// Half of the watches the system allows one user, or `wanted` when that is less.
std::size_t SystemShare(std::size_t wanted) {
    std::FILE* file = std::fopen("/proc/sys/fs/inotify/max_user_watches", "re");
    if (file == nullptr) return wanted;
    unsigned long long allowed = 0;
    const bool read = std::fscanf(file, "%llu", &allowed) == 1;
    std::fclose(file);
    if (!read) return wanted;
    return std::min<unsigned long long>(wanted, allowed / 2);
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
        limit_reached_ = std::exchange(other.limit_reached_, false);
        rewalk_queued_ = std::exchange(other.rewalk_queued_, false);
        device_ = other.device_;
        root_ = std::move(other.root_);
        root_wd_ = std::exchange(other.root_wd_, -1);
        limits_ = other.limits_;
        budget_ = std::exchange(other.budget_, nullptr);
        folders_ = std::move(other.folders_);
        other.folders_.clear();
        own_ = std::move(other.own_);
        walk_ = std::move(other.walk_);
        other.walk_.clear();
        pending_adds_ = std::exchange(other.pending_adds_, 0);
        listing_ = std::move(other.listing_);
        listing_wd_ = other.listing_wd_;
        listing_arrived_ = other.listing_arrived_;
        walked_ = std::move(other.walked_);
        other.walked_.clear();
    }
    return *this;
}

void ChangeWatch::Close() {
    if (budget_ != nullptr) budget_->used -= std::min(budget_->used, folders_.size());
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    signalled_ = false;
    limit_reached_ = false;
    rewalk_queued_ = false;
    root_wd_ = -1;
    folders_.clear();
    walk_.clear();
    pending_adds_ = 0;
    listing_.reset();
    walked_.clear();
}

bool ChangeWatch::Open(const std::string& folder, bool subtree, const WatchLimits& limits,
                       WatchBudget* budget) {
    Close();
    budget_ = budget;
    limits_ = limits;
    struct stat st;
    if (folder.empty() || ::stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
    if (budget_ != nullptr && budget_->used >= budget_->limit) return false;
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
    folders_[wd] = Folder{folder, st.st_ino};
    if (budget_ != nullptr) ++budget_->used;
    if (subtree_) {
        walked_.insert(wd);
        walk_.push_back(Pending{wd, std::string(), false});
        Step();
    }
    return true;
}

bool ChangeWatch::AtLimit() const {
    const std::size_t below = (folders_.empty() ? 0 : folders_.size() - 1) + pending_adds_;
    if (below >= limits_.per_folder) return true;
    return budget_ != nullptr && budget_->used + pending_adds_ >= budget_->limit;
}

int ChangeWatch::AddFolder(const std::string& folder) {
    if (AtLimit()) {
        limit_reached_ = true;
        return -1;
    }
    struct stat st;
    if (::lstat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_dev != device_)
        return -1;
    std::uint32_t mask = kChangeMask | IN_CREATE | IN_ONLYDIR | IN_DONT_FOLLOW | IN_EXCL_UNLINK;
    int wd = ::inotify_add_watch(fd_, folder.c_str(), mask);
    if (wd < 0) {
        // The system's own bound for this user.
        if (errno == ENOSPC) limit_reached_ = true;
        return -1;
    }
    // A folder watched already (moved within the tree) is known by its new path from now on.
    auto [where, added] = folders_.try_emplace(wd);
    where->second = Folder{folder, st.st_ino};
    if (added && budget_ != nullptr) ++budget_->used;
    return wd;
}

void ChangeWatch::Forget(int wd) {
    if (folders_.erase(wd) != 0 && budget_ != nullptr && budget_->used > 0) --budget_->used;
    if (wd == root_wd_) root_wd_ = -1;
}

void ChangeWatch::Step() {
    // Looks for subfolders within this poll's share of work; the rest waits for the next poll.
    // In folders that have just arrived, a file found on the way came before their watches
    // existed, which counts as a change.
    if (fd_ < 0) return;
    std::size_t added = 0;
    std::size_t entries = 0;
    while (added < limits_.added_per_poll && entries < limits_.entries_per_poll) {
        if (listing_ == nullptr) {
            if (walk_.empty()) {
                walked_.clear();
                return;
            }
            Pending next = std::move(walk_.front());
            walk_.pop_front();
            int wd = next.parent;
            if (!next.name.empty()) {
                --pending_adds_;
                auto parent = folders_.find(next.parent);
                if (parent == folders_.end()) continue;
                const std::size_t before = folders_.size();
                wd = AddFolder(JoinPath(parent->second.path, next.name));
                if (wd < 0) continue;
                if (folders_.size() > before) ++added;
                // Looked into again even when known: a folder moved in brings its subfolders,
                // whose paths changed with it.
                walked_.insert(wd);
            } else if (wd == root_wd_) {
                rewalk_queued_ = false;
            }
            auto folder = folders_.find(wd);
            if (folder == folders_.end()) continue;
            listing_ = std::make_unique<FolderListing>(folder->second.path);
            listing_wd_ = wd;
            listing_arrived_ = next.arrived;
            ++entries;
            continue;
        }
        FolderEntry entry;
        if (!listing_->Next(entry)) {
            listing_.reset();
            continue;
        }
        ++entries;
        if (entry.name.empty() || entry.name[0] == '.') continue;
        if (!entry.is_folder) {
            if (listing_arrived_) signalled_ = true;
            continue;
        }
        auto folder = folders_.find(listing_wd_);
        if (folder == folders_.end()) {
            listing_.reset();
            continue;
        }
        const std::size_t before = folders_.size();
        int wd = AddFolder(JoinPath(folder->second.path, entry.name));
        if (wd < 0) continue;
        if (folders_.size() > before) ++added;
        if (walked_.insert(wd).second)
            walk_.push_back(Pending{wd, std::string(), listing_arrived_});
    }
}

void ChangeWatch::Overflowed() {
    // Events were lost: count it as a change, and look for the subfolders anew from the top,
    // lazily and at most one such walk at a time, however many overflows come.
    signalled_ = true;
    if (!subtree_ || root_wd_ < 0 || rewalk_queued_) return;
    walked_.clear();
    walked_.insert(root_wd_);
    walk_.push_back(Pending{root_wd_, std::string(), false});
    rewalk_queued_ = true;
}

void ChangeWatch::SetOwnFiles(const OwnFiles& own) {
    own_.clear();
    struct stat st;
    if (!own.temp_folder.empty() && !own.temp_prefix.empty() &&
        ::stat(own.temp_folder.c_str(), &st) == 0) {
        own_.push_back(OwnName{st.st_dev, st.st_ino, own.temp_prefix, true});
    }
    const std::size_t slash = own.log_file.rfind('/');
    const std::string name =
        slash == std::string::npos ? own.log_file : own.log_file.substr(slash + 1);
    std::string folder =
        slash == std::string::npos ? std::string(".") : own.log_file.substr(0, slash);
    if (folder.empty()) folder = "/";
    if (!name.empty() && ::stat(folder.c_str(), &st) == 0)
        own_.push_back(OwnName{st.st_dev, st.st_ino, name, false});
}

bool ChangeWatch::IsOwnFile(const Folder& folder, const std::string& name) const {
    for (const OwnName& own : own_) {
        if (own.device != device_ || own.folder != folder.inode) continue;
        if (own.prefix) {
            // A unique temporary name: the prefix and six letters or digits, nothing else, so
            // a download named like one (with an extension) is still a change.
            if (name.size() == own.name.size() + kTempSuffix &&
                name.compare(0, own.name.size(), own.name) == 0 &&
                std::all_of(name.begin() + own.name.size(), name.end(),
                            [](char c) { return std::isalnum(static_cast<unsigned char>(c)); }))
                return true;
        } else if (EqualNoCase(name, own.name)) {
            // The log is opened without regard to letter case, so its name on disk may differ
            // from the one asked for in case.
            return true;
        }
    }
    return false;
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
                Overflowed();
                continue;
            }
            if (event.mask & IN_IGNORED) {
                Forget(event.wd);
                continue;
            }
            auto where = folders_.find(event.wd);
            if (where == folders_.end()) continue;
            if (event.mask & IN_ISDIR) {
                // A folder that appeared: watched with what it holds when watching a subtree
                // (on a later step, within the bounds); a change once something is in it.
                if (!(event.mask & (IN_CREATE | IN_MOVED_TO)) || name.empty() || name[0] == '.')
                    continue;
                if (subtree_) {
                    if (AtLimit()) {
                        limit_reached_ = true;
                        continue;
                    }
                    walk_.push_back(Pending{event.wd, name, true});
                    ++pending_adds_;
                } else {
                    FolderListing listing(JoinPath(where->second.path, name));
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
            if ((event.mask & kChangeMask) && !IsOwnFile(where->second, name)) signalled_ = true;
        }
    }
}

bool ChangeWatch::Signalled() {
    ReadEvents();
    Step();
    return signalled_;
}

void ChangeWatch::Rearm() {
    ReadEvents();
    Step();
    signalled_ = false;
}

WatchTable::WatchTable(const WatchLimits& limits) {
    SetLimits(limits);
}

void WatchTable::SetLimits(const WatchLimits& limits) {
    limits_ = limits;
    budget_.limit = SystemShare(limits.total);
}

void WatchTable::SetOwnFiles(const OwnFiles& own) {
    own_ = own;
    for (Entry& entry : watches_) entry.watch.SetOwnFiles(own_);
}

bool WatchTable::Add(const std::string& folder, bool subtree, int list_index) {
    if (Count() >= kMaxWatches) return false;
    if (budget_.used >= budget_.limit) {
        limit_refused_ = true;
        return false;
    }
    Entry entry;
    if (!entry.watch.Open(folder, subtree, limits_, &budget_)) return false;
    entry.watch.SetOwnFiles(own_);
    entry.list_index = list_index;
    watches_.push_back(std::move(entry));
    return true;
}

void WatchTable::Clear() {
    watches_.clear();
    limit_noticed_ = false;
    limit_refused_ = false;
}

bool WatchTable::TakeLimitNotice() {
    if (limit_noticed_) return false;
    bool reached = limit_refused_;
    for (const Entry& entry : watches_) reached = reached || entry.watch.LimitReached();
    limit_noticed_ = reached;
    return reached;
}

int WatchTable::Wait(int timeout_ms) {
    if (watches_.empty()) return -1;
    // Every watch is polled, so each one's look for subfolders goes on even while a folder
    // before it keeps changing.
    auto lowest = [this] {
        int found = -1;
        for (int i = 0; i < Count(); ++i) {
            if (watches_[i].watch.Signalled() && found < 0) found = i;
        }
        return found;
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

void WatchTable::Collect() {
    for (Entry& entry : watches_) entry.watch.Collect();
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
