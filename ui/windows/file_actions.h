// The file work of the action window on one infected file: copy into a folder, the new name
// that renaming gives, and renaming without replacing another file. Plain POSIX, no window
// system, so the rules can be checked on real files.
#pragma once

#include <string>

namespace kv {

// Bytes moved per read and write by CopyInfectedFile.
inline constexpr std::size_t kCopyBlockSize = 8193;

// Copies `source` into `destination_folder` (which ends in '/') under the source's file name.
// 0 on success; -1 when the target is the source itself: the same path compared without
// regard to letter case, or the same file reached through another path (a link, another
// spelling of a folder), which is then left untouched; a positive code when the source cannot
// be read, the target cannot be created, or a read or write fails half-way (an incomplete
// target is removed, so it never passes for a copy).
int CopyInfectedFile(const std::string& source, const std::string& destination_folder);

// The name renaming gives `path`: an extension of at most one character after the point (or
// none) becomes ".VIR"; otherwise the extension's first character becomes 'V' ("a.exe" gives
// "a.Vxe"). Only the last path component is looked at.
std::string InfectedFileNewName(const std::string& path);

// Renames `from` to `to` without replacing a file that already has the new name. True when
// the file now has the new name (also when both names are the same).
bool RenameWithoutReplacing(const std::string& from, const std::string& to);

}  // namespace kv
