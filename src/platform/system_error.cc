#include "platform/system_error.h"

#include <errno.h>
#include <locale.h>
#include <string.h>
#include <unistd.h>

namespace pictavo {

std::string SystemErrorText(int code) {
  static const locale_t c_locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
  const char* text = c_locale ? strerror_l(code, c_locale) : nullptr;
  if (text == nullptr || *text == '\0' || strncmp(text, "Unknown error", 13) == 0) {
    return "failed to retrieve system error";
  }
  return text;
}

bool PrivilegesMayHelp(int code, uid_t euid) { return code == EACCES && euid != 0; }

bool PrivilegesMayHelp(int code) { return PrivilegesMayHelp(code, geteuid()); }

}  // namespace pictavo
