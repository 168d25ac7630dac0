// What the engine asks of the user interface while it scans. The desktop program and the
// command-line scanner each implement it; every method has a do-nothing default.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace kv {

// Why the boot area of a drive root could not be scanned: neither the direct read of its
// device nor the boot-sector companion program delivered it.
struct BootAreaProblem {
    // The errno of the direct read (EACCES for an ordinary user).
    int device_error = 0;
    enum class Companion : std::uint8_t {
        kMissing,        // it could not be started (not in the program folder, not runnable)
        kTimedOut,       // it did not end in time and was killed
        kTooMuchOutput,  // it wrote more than two sectors and was killed
        kFailed,         // it ended with a status other than 0 (its exit code below)
        kShort,          // it ended well but delivered less than a sector
    };
    Companion companion = Companion::kMissing;
    int companion_exit_code = -1;
    std::size_t companion_bytes = 0;
};

class ScanUi {
public:
    virtual ~ScanUi() = default;
    // Lets pending events run once: called once per folder entry (and once by the boot-area
    // scan). A handler reached from here may set StopRequested.
    virtual void PumpEvents() {}
    // The progress label's caption: the file being scanned.
    virtual void SetProgressCaption(const std::string& caption) { (void)caption; }
    // The scan button is disabled while a resource is scanned.
    virtual void SetScanButtonEnabled(bool enabled) { (void)enabled; }
    // The stop button's caption, set back to the exit caption when a resource ends.
    virtual void SetStopButtonCaption(const std::string& caption) { (void)caption; }
    // The archive gauge: `done` of `total` bytes of the archive read.
    virtual void DrawArchiveGauge(std::int64_t done, std::int64_t total) {
        (void)done;
        (void)total;
    }
    // The boot area of the drive root `root` could not be read; the walk goes on. Called
    // once per scan of that root.
    virtual void BootAreaNotScanned(const std::string& root, const BootAreaProblem& problem) {
        (void)root;
        (void)problem;
    }
    // A temporary file in `folder` (ending in '/') could not be created or written (`error`
    // is the errno), so members of archives that are archives or documents themselves were
    // not scanned. Called at most once per resource, at the first failure.
    virtual void TemporaryFilesFailed(const std::string& folder, int error) {
        (void)folder;
        (void)error;
    }
};

// Drains the change notifications of the download-folder watch after a boot-area scan that
// opened the device, so that what the scan touched does not start a watch scan. Internet mode
// provides it; without one there is nothing to drain.
class WatchDrain {
public:
    virtual ~WatchDrain() = default;
    // Waits at most `timeout_ms` on all watches, re-arming each signalled one, until a wait
    // times out.
    virtual void Drain(int timeout_ms) = 0;
};

}  // namespace kv
