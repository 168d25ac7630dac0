#include "engine/engine.h"

#include <cstring>

#include "catalogue/catalogue.h"
#include "platform/device.h"
#include "platform/files.h"
#include "platform/folder_listing.h"
#include "report/report.h"

namespace kv {

void ScanOptions::SetDefaultExtensions() {
    static const char* const kTable[8] = {"COM", "EXE", "SYS", "OV?", "DLL", "DO?", "XLS", "ZIP"};
    for (int i = 0; i < 8; ++i) std::memcpy(ExtensionTable[i], kTable[i], 4);
}

Engine::Engine(Catalogue& catalogue, ReportList& report, ScanUi& ui)
    : DriverDevice(platform::kDriverDevice), catalogue_(catalogue), report_(report), ui_(ui) {
    Options.SetDefaultExtensions();
}

Engine::~Engine() = default;

void Engine::NotifyDriver(unsigned long request) {
    platform::SendDeviceRequest(DriverDevice, request);
}

int Engine::ScanResource(const std::string& database_folder, const std::string& target) {
    Options.ScanRunning = 1;
    Options.StopRequested = 0;
    Counters.Clear();
    temp_failure_reported_ = false;

    database_folder_ = database_folder;
    int loaded = LoadSignatureDatabase(database_folder);
    if (loaded != 0) {
        Options.ScanRunning = 0;
        return loaded;
    }
    // The names of document signatures are read on demand from the name file, which stays
    // open for the whole resource.
    if (!database_.OpenNameFile(database_folder)) {
        ReleaseSignatureDatabase();
        Options.ScanRunning = 0;
        return SignatureDatabase::kMissing;
    }
    NotifyDriver(1);

    database_.ResetNameCache();
    engine_buffer_.assign(kEngineBufferSize, 0);
    RestoreEngineWindow();
    kernel_.ResetHits();

    ui_.SetScanButtonEnabled(false);
    if (!target.empty() && target.back() != '/') {
        // A single file named by the user is scanned whatever its extension: only the kind
        // of the classification is taken.
        // An extension outside the table leaves the file a program file rather than keeping
        // the kind of whatever was classified before.
        Counters[ScanCounters::FilesFound] += 1;
        Kind = kKindNone;
        ClassifyFile(target);
        ScanFile(target);
    } else if (!target.empty()) {
        if (BootDevices.IsDriveRoot(target)) {
            bool device_opened = ScanBootArea(target);
            if (device_opened && Watches != nullptr) Watches->Drain(1000);
        }
        WalkFolder(target);
    }

    Options.ScanRunning = 0;
    ui_.SetScanButtonEnabled(true);
    ui_.SetStopButtonCaption(catalogue_.Text(138));
    kernel_.SetWindow(0, nullptr);
    extract_files_.clear();
    engine_buffer_.clear();
    engine_buffer_.shrink_to_fit();
    ReleaseSignatureDatabase();
    NotifyDriver(2);
    database_.CloseNameFile();
    return 0;
}

void Engine::RestoreEngineWindow() {
    if (engine_buffer_.size() < kEngineBufferSize) engine_buffer_.assign(kEngineBufferSize, 0);
    kernel_.SetWindow(kEngineWindowCapacity, engine_buffer_.data());
}

void Engine::WalkFolder(const std::string& folder) {
    platform::FolderListing listing(folder);
    platform::FolderEntry entry;
    while (Options.StopRequested == 0 && listing.Next(entry)) {
        ui_.PumpEvents();
        if (Options.StopRequested != 0) return;
        if (entry.name.empty() || entry.name[0] == '.') continue;
        if (entry.is_folder) {
            if (Options.ScanSubfolders == 1) WalkFolder(folder + entry.name + "/");
        } else {
            Counters[ScanCounters::FilesFound] += 1;
            if (ClassifyFile(entry.name)) {
                source_ = FileSource{listing.Descriptor(), &entry.name, nullptr, 0};
                ScanFile(folder + entry.name);
            }
        }
    }
}

bool Engine::ClassifyFile(const std::string& name) {
    std::size_t dot = name.rfind('.');
    if (dot == std::string::npos || dot + 1 >= name.size()) return false;
    // Only the final name's extension counts: a point in a folder name is no extension.
    std::size_t slash = name.rfind('/');
    if (slash != std::string::npos && slash > dot) return false;
    char ext[4] = {0, 0, 0, 0};
    for (std::size_t i = 0; i < 3 && dot + 1 + i < name.size(); ++i) {
        char c = name[dot + 1 + i];
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        ext[i] = c;
    }
    static const FileKind kKinds[8] = {kKindCom,     kKindExe,      kKindDriver,      kKindOverlay,
                                       kKindLibrary, kKindDocument, kKindSpreadsheet, kKindArchive};
    for (int e = 0; e < 8; ++e) {
        const char* entry = Options.ExtensionTable[e];
        if (entry[0] == '\0') continue;
        if (e == 7 && Options.ScanArchives != 1) continue;
        bool match = true;
        for (int i = 0; i < 3 && match; ++i) {
            // '?' matches any character, also the end of a shorter extension.
            if (entry[i] != '?' && entry[i] != ext[i]) match = false;
        }
        if (match) {
            Kind = kKinds[e];
            return true;
        }
    }
    return false;
}

int Engine::ScanFile(const std::string& path, const std::string& display_name) {
    const FileSource source = source_;
    source_ = FileSource{};
    const std::string& display = display_name.empty() ? path : display_name;
    if (display_name.empty()) {
        top_level_name_ = path;
        top_level_folder_fd_ = source.name != nullptr ? source.folder_fd : -1;
        top_level_noted_ = false;
        top_level_file_.reset();
    }
    ui_.SetProgressCaption(display);
    switch (Kind) {
        case kKindSpreadsheet:
        case kKindDocument:
            return ScanDocumentFile(path, display, source);
        case kKindArchive:
            return ScanArchiveFile(path, display, source);
        default:
            return ScanProgramFile(path, source);
    }
}

// ---- Operations filled in by the signature database, the pipeline and the boot scan ----

int Engine::LoadSignatureDatabase(const std::string& folder) {
    int result = database_.Load(folder);
    if (result == SignatureDatabase::kLoaded) kernel_.Attach(database_.View());
    return result;
}

void Engine::ReleaseSignatureDatabase() {
    kernel_.Detach();
    database_.Release();
}

bool Engine::OpenSource(const FileSource& source, const std::string& path, platform::File& file) {
    if (source.name != nullptr) return file.OpenReadIn(source.folder_fd, *source.name);
    if (source.written != nullptr) {
        file.Borrow(*source.written, source.written_size);
        return file.IsOpen();
    }
    return file.OpenRead(path);
}

int Engine::ScanProgramFile(const std::string& path, const FileSource& source) {
    // Program files are reported by their path.
    int infected = 0;
    {
        platform::File file;
        if (!OpenSource(source, path, file)) return 0;
        Counters[ScanCounters::FilesScanned] += 1;

        // The block at the entry point, then the anchored pass over the same block, then the
        // tail of the file (or of the EXE image) when the window did not hold all of it.
        kernel_.LocateEntry(file);
        kernel_.ScanWindow(MatchKernel::kModeAll);
        if (kernel_.HitCount() == 0) {
            kernel_.Window().saved_count = kernel_.Window().count;
            kernel_.ScanWindow(MatchKernel::kModeAnchored);
        }
        if (kernel_.HitCount() == 0 && kernel_.Window().complete == 0) {
            kernel_.ReadTail(file);
            kernel_.ScanWindow(MatchKernel::kModeAll);
        }
        if (kernel_.HitCount() > 0) {
            database_.DecodeVirusName(kernel_.HitAt(0).record);
            const bool top_level = source.written == nullptr && archive_depth_ == 0;
            if (top_level) NoteTopLevelFile(file);
            TieLine(report_.AddReportLine(path, database_.VirusName(), kind::InfectedFile),
                    top_level);
            Counters[ScanCounters::VirusesFound] += 1;
            infected = 1;
        }
    }
    // A program that carries "PK" at offset 30 is a self-extracting archive: scan it once
    // more as an archive.
    if (kernel_.ArchiveMark() == MatchKernel::kArchiveMarkPk) {
        Kind = kKindArchive;
        source_ = source;
        if (ScanFile(path) == 1) infected = 1;
    }
    return infected;
}

void Engine::NoteTopLevelFile(platform::File& file) {
    if (top_level_noted_ || !file.IsOpen()) return;
    top_level_noted_ = file.DeviceAndInode(top_level_device_, top_level_inode_);
}

std::shared_ptr<platform::ScannedFile> Engine::TopLevelFile() {
    if (!top_level_file_ && top_level_noted_) {
        top_level_file_ = std::make_shared<platform::ScannedFile>(platform::DescribeScannedFile(
            top_level_folder_fd_, top_level_name_, top_level_device_, top_level_inode_));
    }
    return top_level_file_;
}

void Engine::TieLine(ReportLine* line, bool names_top_level_file) {
    if (line == nullptr) return;
    (names_top_level_file ? line->File : line->Archive) = TopLevelFile();
}

}  // namespace kv
