#include "engine/handler_set.h"
#include "formats/arw_handler.h"
#include "formats/avi_handler.h"
#include "formats/bmp_handler.h"
#include "formats/cr2_handler.h"
#include "formats/crw_handler.h"
#include "formats/dng_handler.h"
#include "formats/gif_handler.h"
#include "formats/jpeg2000_handlers.h"
#include "formats/jpeg_handler.h"
#include "formats/mov_handler.h"
#include "formats/mpeg_handler.h"
#include "formats/mrw_handler.h"
#include "formats/png_handler.h"
#include "formats/raf_handler.h"
#include "formats/tiff_handler.h"
#include "formats/tiff_raw_handlers.h"
#include "formats/wav_handler.h"
#include "formats/x3f_handler.h"

namespace pictavo {

std::unique_ptr<FormatHandler> MakeHandler(FileTypeId id) {
  switch (id) {
    case kTypeJpeg:
      return std::make_unique<JpegHandler>();
    case kTypePng:
      return std::make_unique<PngHandler>();
    case kTypeGif:
      return std::make_unique<GifHandler>();
    case kTypeBmp:
      return std::make_unique<BmpHandler>();
    case kTypeCrw:
      return std::make_unique<CrwHandler>();
    case kTypeJ2k:
      return std::make_unique<Jpeg2000CodestreamHandler>();
    case kTypeJp2:
      return std::make_unique<Jp2Handler>();
    case kTypeAvi:
      return std::make_unique<AviHandler>();
    case kTypeWav:
      return std::make_unique<WavHandler>();
    case kTypeRaf:
      return std::make_unique<RafHandler>();
    case kTypeMrw:
      return std::make_unique<MrwHandler>();
    case kTypeX3f:
      return std::make_unique<X3fHandler>();
    case kTypeMov:
      return std::make_unique<MovHandler>();
    case kTypeMpeg:
      return std::make_unique<MpegHandler>();
    case kTypeTiff:
      return std::make_unique<TiffHandler>();
    case kTypeCr2:
      return std::make_unique<Cr2Handler>();
    case kTypeNef:
      return std::make_unique<NefHandler>();
    case kTypeOrf:
      return std::make_unique<OrfHandler>();
    case kTypePef:
      return std::make_unique<PefHandler>();
    case kTypeRaw:
      return std::make_unique<PanasonicRawHandler>();
    case kTypeArw:
      return std::make_unique<ArwHandler>();
    case kTypeDng:
      return std::make_unique<DngHandler>();
    default:
      return nullptr;
  }
}

}  // namespace pictavo
