#include "engine/handler_set.h"
#include "formats/jpeg_handler.h"

namespace pictavo {

std::unique_ptr<FormatHandler> MakeHandler(FileTypeId id) {
  switch (id) {
    case kTypeJpeg:
      return std::make_unique<JpegHandler>();
    default:
      return nullptr;
  }
}

}  // namespace pictavo
