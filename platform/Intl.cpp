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
  });
  const char* t = dgettext(domain, msgid);
  return t ? std::string(t) : std::string(msgid);
}

}  // namespace platform
