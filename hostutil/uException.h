// The project's general error class. Only the allocation parser and the zip
// reader throw; callers catch Exception to treat either as missing data.
#pragma once

#include <stdexcept>

namespace tavex {

class Exception : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace tavex
