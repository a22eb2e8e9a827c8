// The one error type of the model reader and runner: a message that names the model file.
#pragma once

#include <new>
#include <stdexcept>
#include <string>

namespace kov {

class ModelError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The edge of a service that loads models: the service `load` makes, or none with `error` set to
// one line ending in a line feed, the model's own message or that memory ran out for `models`.
template <typename Load>
auto loadedOrNone(Load load, const char* models, std::string& error) -> decltype(load()) {
  try {
    return load();
  } catch (const ModelError& e) {
    error = std::string(e.what()) + "\n";
  } catch (const std::bad_alloc&) {
    error = std::string("not enough memory for ") + models + "\n";
  }
  return nullptr;
}

}  // namespace kov
