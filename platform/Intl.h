// Translation of catalogue texts through gettext, so a translated message set
// can replace the built-in texts without code changes.
#pragma once

#include <string>

namespace platform {

// The translation of msgid in the text domain, or msgid itself when none is
// installed. Translations are looked for under $QUELM_LOCALEDIR (default: the
// system's locale folder).
std::string TranslateText(const char* domain, const char* msgid);

}  // namespace platform
