// The text of an operating-system error, as every message about a failed system call
// words it. Pure function: safe from any thread (strerror's buffer is read at once).
#pragma once

#include <string>

namespace tovik {

// The system's description of errno value `err`, then " (os error N)".
std::string system_error_text(int err);

}  // namespace tovik
