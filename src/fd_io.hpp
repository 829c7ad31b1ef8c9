// Whole reads and writes on file descriptors: the loops around read and write that
// retry interrupted calls and short transfers. Reentrant: safe from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "result.hpp"

namespace tovik {

// The most one read or write call is asked for (what Linux transfers at most in one).
constexpr size_t MAX_IO_CHUNK = 2147483647;

// What write_all reports when a write took no bytes (never an errno value).
constexpr int WROTE_NOTHING = -1;

// Writes all of `data` to fd, retrying interrupted writes. Returns 0 once every byte
// is written, else the errno of the write that failed, or WROTE_NOTHING. Allocates
// nothing, so it serves when memory has run out too.
int write_all(int fd, std::string_view data) noexcept;

// The message for write_all's failure `err`: system_error_text(err), or "failed to
// write whole buffer" for WROTE_NOTHING.
Error write_error(int err);

// Reads exactly out.size() bytes starting at `offset`, without moving the file
// position; false on any error other than an interruption, or when the file ends first.
bool pread_exact(int fd, std::string& out, uint64_t offset);

}  // namespace tovik
