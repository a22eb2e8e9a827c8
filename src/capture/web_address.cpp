#include "capture/web_address.h"

#include <uriparser/Uri.h>

#include <string>

namespace kov {
namespace {

std::string_view schemeOf(const UriUriA& uri) {
  if (uri.scheme.first == nullptr || uri.scheme.afterLast == nullptr) return {};
  return {uri.scheme.first, static_cast<size_t>(uri.scheme.afterLast - uri.scheme.first)};
}

}  // namespace

bool isWebAddress(std::string_view text) {
  UriUriA uri;
  const char* errorPos = nullptr;
  if (uriParseSingleUriExA(&uri, text.data(), text.data() + text.size(), &errorPos) != URI_SUCCESS)
    return false;
  std::string_view scheme = schemeOf(uri);
  bool accepted = scheme == "http" || scheme == "https";
  uriFreeUriMembersA(&uri);
  return accepted;
}

}  // namespace kov
