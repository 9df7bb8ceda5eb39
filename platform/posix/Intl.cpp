// gettext binding for the message catalogue.
#include "platform/Intl.h"

#include <libintl.h>

#include <cstdlib>
#include <mutex>

namespace platform {

std::string TranslateText(const char* domain, const char* msgid) {
  static std::once_flag bound;
  std::call_once(bound, [domain] {
    if (const char* dir = std::getenv("QUELM_LOCALEDIR")) bindtextdomain(domain, dir);
    // Texts cross to the host byte for byte as Latin-1 (OleAuto.h); a translation in
    // any other encoding would arrive as the wrong characters.
    bind_textdomain_codeset(domain, "ISO-8859-1");
  });
  const char* t = dgettext(domain, msgid);
  return t ? std::string(t) : std::string(msgid);
}

}  // namespace platform
