// The read and write loops of fd_io.hpp.
#include "fd_io.hpp"

#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "system_error.hpp"

static_assert(sizeof(off_t) == 8, "whole reads need 64-bit file offsets");

namespace tovik {

int write_all(int fd, std::string_view data) noexcept {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), std::min(data.size(), MAX_IO_CHUNK));
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (n == 0) return WROTE_NOTHING;
    data.remove_prefix(static_cast<size_t>(n));
  }
  return 0;
}

Error write_error(int err) {
  if (err == WROTE_NOTHING) return Error::msg("failed to write whole buffer");
  return Error::msg(system_error_text(err));
}

bool pread_exact(int fd, std::string& out, uint64_t offset) {
  size_t done = 0;
  while (done < out.size()) {
    const ssize_t n = ::pread(fd, out.data() + done, std::min(out.size() - done, MAX_IO_CHUNK),
                              static_cast<off_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace tovik
