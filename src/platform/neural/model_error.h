// The one error type of the model reader and runner: a message that names the model file.
#pragma once

#include <stdexcept>
#include <string>

namespace kov {

class ModelError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace kov
