#pragma once

#include <string>

namespace pictavo {

// The system's English message for an errno value, independent of the user's locale; "failed to
// retrieve system error" when the system has no message for it.
std::string SystemErrorText(int code);

}  // namespace pictavo
