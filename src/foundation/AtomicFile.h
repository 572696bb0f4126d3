// Replacing a file's contents so that readers see either the old file or the
// whole new one, never a part.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>

namespace quorvel {

// Writes the bytes to a new file next to `path` and renames it over `path`.
// The new file gets `mode`, or the present file's permissions when
// `keepExistingMode` is set and there is one. Nothing is left behind on
// failure. Returns 0 or the errno value of the step that failed.
int WriteFileAtomically(const std::string& path, const void* bytes, std::size_t length, mode_t mode,
                        bool keepExistingMode = false);

inline int WriteFileAtomically(const std::string& path, const std::string& text, mode_t mode,
                               bool keepExistingMode = false) {
  return WriteFileAtomically(path, text.data(), text.size(), mode, keepExistingMode);
}

}  // namespace quorvel
