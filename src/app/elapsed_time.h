#pragma once

#include <QString>
#include <cstdint>

namespace pictavo::app {

// "HH:MM:SS" of an elapsed time, as the progress dialogs show it; the hours wrap after a day.
QString ElapsedText(int64_t seconds);

// The permission advice added to messages about devices this user may not read.
QString PermissionAdvice();

}  // namespace pictavo::app
