#include "platform/web/web_address.h"

#include <uriparser/Uri.h>

namespace kov {

std::optional<std::string> addressScheme(std::string_view text) {
  UriUriA uri;
  const char* errorPos = nullptr;
  if (uriParseSingleUriExA(&uri, text.data(), text.data() + text.size(), &errorPos) != URI_SUCCESS)
    return std::nullopt;
  std::string scheme;
  if (uri.scheme.first != nullptr && uri.scheme.afterLast != nullptr) scheme.assign(uri.scheme.first, uri.scheme.afterLast);
  uriFreeUriMembersA(&uri);
  return scheme;
}

}  // namespace kov
