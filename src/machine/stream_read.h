// Reading a whole file, or as much of it as a limit allows, with the standard library alone: the
// machine uses it for ROM files, the front end for every file the user hands it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

namespace kivo {

// Reads from the current position of `file` to its end, but at most `limit` bytes, into *out.
// The buffer starts at the size the file has left (when the stream can tell it) and grows only
// if the file turns out longer, so a small file never costs a buffer of the limit's size and a
// file that changes while it is read is still read correctly. Returns false on a read error, with
// errno as the failing call left it; *out then holds the bytes read before the error.
bool ReadStreamUpTo(std::FILE* file, std::size_t limit, std::vector<std::uint8_t>* out);

}  // namespace kivo
