#pragma once
// Durable replacement of small state files. One portable header; the POSIX
// implementation is FileSync_posix.cpp.
//
// ReplaceFileDurably writes the new content to a temporary file in the same
// folder, syncs it, renames it over the old file and syncs the folder, so a
// crash at any moment leaves either the complete old or the complete new
// file, and a file that was reported written survives a power loss.

#include <string>

namespace platform {

// Flushes a folder's entries (names created, renamed or removed) to the
// device.
bool SyncDirectory(const std::string& folder);
// See above. False (old file untouched, temporary removed) on any failure;
// LastFileError() tells why.
bool ReplaceFileDurably(const std::string& path, const std::string& data);

}  // namespace platform
