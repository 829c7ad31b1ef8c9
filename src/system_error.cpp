// The wording of operating-system errors.
#include "system_error.hpp"

#include <cstring>

namespace tovik {

std::string system_error_text(int err) {
  return std::string(std::strerror(err)) + " (os error " + std::to_string(err) + ")";
}

}  // namespace tovik
