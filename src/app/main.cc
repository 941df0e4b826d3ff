// The Qt wizard's entry point.
#include <cstdio>

#include "app/command_line.h"
#include "app/startup.h"

int main(int argc, char** argv) {
  if (const auto status = pictavo::app::AnswerCommandLine(argc, argv, stdout)) return *status;
  return pictavo::app::RunPictavo(argc, argv);
}
