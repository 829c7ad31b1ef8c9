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

// Writes all of `data` to fd, retrying interrupted writes. Error: the failed write's
// system_error_text, or "failed to write whole buffer" when a write took nothing.
Result<void> write_all(int fd, std::string_view data);

// Reads exactly out.size() bytes starting at `offset`, without moving the file
// position; false on any error other than an interruption, or when the file ends first.
bool pread_exact(int fd, std::string& out, uint64_t offset);

}  // namespace tovik
