#include "platform/foundation/MimeTypes.h"

#include <gio/gio.h>

namespace platform {

std::optional<std::string> mimeTypeForExtension(std::string_view extension) {
  if (extension.empty() || extension.find('\0') != std::string_view::npos) return std::nullopt;
  std::string name = "file." + std::string(extension);
  gboolean uncertain = FALSE;
  gchar* type = g_content_type_guess(name.c_str(), nullptr, 0, &uncertain);
  if (!type) return std::nullopt;
  std::optional<std::string> mime;
  // An extension the database does not know comes back as the uncertain generic type.
  if (!(uncertain && g_content_type_is_unknown(type))) {
    if (gchar* m = g_content_type_get_mime_type(type)) {
      mime = m;
      g_free(m);
    }
  }
  g_free(type);
  return mime;
}

}  // namespace platform
