#pragma once

namespace pictavo::app {

// Starts the program: refuses a second running copy, then runs the wizard until it is closed.
// Returns the process's exit status.
int RunPictavo(int argc, char** argv);

}  // namespace pictavo::app
