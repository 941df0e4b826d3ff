// Writes the placeholder picture "corrupt.bmp" (shown in place of a photo that cannot be
// decoded) to the path given; the build puts it beside the programs.
#include <cstdio>

#include "imaging/placeholder.h"
#include "samples/image_builder.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s OUTPUT.bmp\n", argv[0]);
    return 2;
  }
  if (!pictavo::samples::WriteFile(argv[1], pictavo::MakePlaceholderBitmap())) {
    std::perror(argv[1]);
    return 1;
  }
  return 0;
}
