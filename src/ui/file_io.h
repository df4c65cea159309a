// Whole-file reads and crash-safe writes for the files the user keeps: states, memory files,
// battery saves and the INI file. A write goes to a temporary file in the target's folder and is
// renamed over the target only once every byte is on disk, so a full disk, a missing folder or a
// crash never leaves a half-written save in place of the previous one.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "machine/layout.h"

namespace kivo {

// Replaces (or creates) `path` with `size` bytes. On failure returns false with
// "<path>: <reason>" in *error; an existing file at `path` is then left untouched and no
// temporary file remains.
bool WriteFileSafely(const std::string& path, const void* data, std::size_t size,
                     std::string* error);

// Reads at most `limit` bytes from the start of `path` into *out. Returns false with
// "<path>: <reason>" when the file is missing, is a directory or cannot be read; *out is then
// empty.
bool ReadFileUpTo(const std::string& path, std::size_t limit, std::vector<u8>* out,
                  std::string* error);

}  // namespace kivo
