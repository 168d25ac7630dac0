// The records shared between the scan engine and its callers: the scan options, the scan
// counters and the file kind.
#pragma once

#include <array>
#include <cstdint>

namespace kv {

// Which files a scan selects and how it runs. Written by the caller before each scan.
struct ScanOptions {
    std::uint8_t ScanArchives = 0;
    std::uint8_t ScanSubfolders = 1;
    // Eight entries of three upper-case characters and a zero; '?' matches any character.
    char ExtensionTable[8][4] = {};
    std::uint8_t StopRequested = 0;
    std::uint8_t ScanRunning = 0;

    // The table every scan uses: "COM", "EXE", "SYS", "OV?", "DLL", "DO?", "XLS", "ZIP".
    void SetDefaultExtensions();
};

// What the last classification made of a file.
enum FileKind : std::uint8_t {
    kKindNone = 0,
    kKindArchive = 1,
    kKindSpreadsheet = 2,
    kKindDocument = 3,
    kKindLibrary = 4,  // DLL
    kKindOverlay = 5,  // OV?
    kKindDriver = 6,   // SYS
    kKindExe = 7,
    kKindCom = 8,
};

// Six signed 32-bit counters, zeroed at the start of every resource.
struct ScanCounters {
    enum Index { FilesFound = 0, FilesScanned = 1, VirusesFound = 2, ArchivesOpened = 3 };
    std::array<std::int32_t, 6> Counts{};

    std::int32_t& operator[](int index) { return Counts[static_cast<std::size_t>(index)]; }
    std::int32_t operator[](int index) const { return Counts[static_cast<std::size_t>(index)]; }
    void Clear() { Counts.fill(0); }
    // Adds every counter of `other` to this one (the scan totals).
    void Add(const ScanCounters& other) {
        for (std::size_t i = 0; i < Counts.size(); ++i) Counts[i] += other.Counts[i];
    }
};

}  // namespace kv
