// What the engine asks of the user interface while it scans. The desktop program and the
// command-line scanner each implement it; every method has a do-nothing default.
#pragma once

#include <cstdint>
#include <string>

namespace kv {

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
};

// Drains the change notifications of the download-folder watch after a boot-area scan, so
// the file that the boot-area scan writes does not start a watch scan. Internet mode
// provides it; without one there is nothing to drain.
class WatchDrain {
public:
    virtual ~WatchDrain() = default;
    // Waits at most `timeout_ms` on all watches, re-arming each signalled one, until a wait
    // times out.
    virtual void Drain(int timeout_ms) = 0;
};

}  // namespace kv
