// The Qt wizard's entry point.
#include "app/startup.h"

int main(int argc, char** argv) { return pictavo::app::RunPictavo(argc, argv); }
