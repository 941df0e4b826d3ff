#include "engine/handler_set.h"
#include "formats/jpeg_handler.h"
#include "formats/tiff_handler.h"

namespace pictavo {

std::unique_ptr<FormatHandler> MakeHandler(FileTypeId id) {
  switch (id) {
    case kTypeJpeg:
      return std::make_unique<JpegHandler>();
    case kTypeTiff:
      return std::make_unique<TiffHandler>();
    default:
      return nullptr;
  }
}

}  // namespace pictavo
