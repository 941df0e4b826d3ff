#pragma once

namespace pictavo::cli {

// Each command takes the arguments after its name and returns the process exit status.
int RunScanCommand(int argc, char** argv, int first);
int RunPreviewCommand(int argc, char** argv, int first);

}  // namespace pictavo::cli
