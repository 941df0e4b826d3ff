#pragma once

#include <sys/types.h>

#include <string>

namespace pictavo {

// The system's English message for an errno value, independent of the user's locale; "failed to
// retrieve system error" when the system has no message for it.
std::string SystemErrorText(int code);

// Whether running with more privileges (as root, or in the 'disk' group) could get past an open
// that failed with `code` for a process of effective user `euid`: only a refused permission for
// a user other than root. An EPERM ("Operation not permitted") refuses root as well, so advice
// about privileges would mislead.
bool PrivilegesMayHelp(int code, uid_t euid);
// The same for this process.
bool PrivilegesMayHelp(int code);

}  // namespace pictavo
