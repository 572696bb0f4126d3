// Replacing a file's contents so that readers see either the old file or the
// whole new one, never a part - also after a crash or a power cut when the
// write is synced.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>

#include "foundation/Status.h"

namespace quorvel {

// Writes the bytes to a new file next to `path` and renames it over `path`.
// The new file gets `mode`, or the present file's permissions when
// `keepExistingMode` is set and there is one. With `synced` the new file is
// flushed to the disk before the rename and its folder after it, so that the
// replacement survives a power cut; scratch files that a crash may lose pass
// false. Nothing is left behind on failure; the failure is a kPosixDomain
// Status naming the step and the path (permanent for a full disk, a denied
// permission and the like).
Status WriteFileAtomically(const std::string& path, const void* bytes, std::size_t length, mode_t mode,
                           bool keepExistingMode = false, bool synced = true);

inline Status WriteFileAtomically(const std::string& path, const std::string& text, mode_t mode,
                                  bool keepExistingMode = false, bool synced = true) {
  return WriteFileAtomically(path, text.data(), text.size(), mode, keepExistingMode, synced);
}

// Flushes a folder's entries (a rename or a new name in it) to the disk.
Status SyncFolder(const std::string& folder);

}  // namespace quorvel
