#include "samples/jpeg2000_sample.h"

#include <algorithm>
#include <cstring>
#include <random>

#include "samples/openjpeg_memory.h"

namespace pictavo::samples {
namespace {

// OpenJPEG writes the JP2 box lengths by seeking back, so the output is a file in memory.
struct MemoryFile {
  std::vector<uint8_t> bytes;
  size_t position = 0;
};

extern "C" OPJ_SIZE_T WriteMemory(void* buffer, OPJ_SIZE_T count, void* user) {
  auto* file = static_cast<MemoryFile*>(user);
  if (file->bytes.size() < file->position + count) file->bytes.resize(file->position + count);
  std::memcpy(file->bytes.data() + file->position, buffer, count);
  file->position += count;
  return count;
}

extern "C" OPJ_BOOL SeekMemory(OPJ_OFF_T position, void* user) {
  auto* file = static_cast<MemoryFile*>(user);
  file->position = static_cast<size_t>(position);
  if (file->bytes.size() < file->position) file->bytes.resize(file->position);
  return OPJ_TRUE;
}

extern "C" OPJ_OFF_T SkipMemory(OPJ_OFF_T count, void* user) {
  auto* file = static_cast<MemoryFile*>(user);
  SeekMemory(static_cast<OPJ_OFF_T>(file->position) + count, user);
  return count;
}

extern "C" void Quiet(const char*, void*) {}

}  // namespace

std::vector<uint8_t> EncodeJpeg2000(const Jpeg2000Options& options) {
  opj_cparameters_t parameters;
  opj_set_default_encoder_parameters(&parameters);
  parameters.tcp_numlayers = 1;
  parameters.tcp_rates[0] = 0;  // lossless
  parameters.cp_disto_alloc = 1;
  // Each resolution level halves the image; the smallest must keep at least one pixel.
  parameters.numresolution = 1;
  while (parameters.numresolution < 4 &&
         (std::min(options.width, options.height) >> parameters.numresolution) > 0) {
    ++parameters.numresolution;
  }
  if (options.tile_size > 0) {
    parameters.tile_size_on = OPJ_TRUE;
    parameters.cp_tdx = options.tile_size;
    parameters.cp_tdy = options.tile_size;
  }
  std::string comment = options.comment;
  if (!comment.empty()) parameters.cp_comment = comment.data();

  std::vector<opj_image_cmptparm_t> component_parameters(options.components);
  for (auto& component : component_parameters) {
    component = {};
    component.dx = 1;
    component.dy = 1;
    component.w = static_cast<OPJ_UINT32>(options.width);
    component.h = static_cast<OPJ_UINT32>(options.height);
    component.prec = 8;
    component.sgnd = 0;
  }
  opj_image_t* image =
      opj_image_create(static_cast<OPJ_UINT32>(options.components), component_parameters.data(),
                       options.components == 3 ? OPJ_CLRSPC_SRGB : OPJ_CLRSPC_GRAY);
  if (image == nullptr) return {};
  image->x1 = static_cast<OPJ_UINT32>(options.width);
  image->y1 = static_cast<OPJ_UINT32>(options.height);
  std::mt19937 rng(options.seed);
  for (int c = 0; c < options.components; ++c) {
    for (int y = 0; y < options.height; ++y) {
      for (int x = 0; x < options.width; ++x) {
        image->comps[c].data[y * options.width + x] =
            static_cast<OPJ_INT32>((x * 3 + y * (c + 1) + static_cast<int>(rng() % 24)) & 0xFF);
      }
    }
  }

  return CompressJpeg2000(image, parameters, options.jp2);
}

std::vector<uint8_t> CompressJpeg2000(opj_image_t* image, opj_cparameters_t& parameters, bool jp2) {
  MemoryFile file;
  opj_codec_t* codec = opj_create_compress(jp2 ? OPJ_CODEC_JP2 : OPJ_CODEC_J2K);
  opj_set_error_handler(codec, Quiet, nullptr);
  opj_set_warning_handler(codec, Quiet, nullptr);
  opj_set_info_handler(codec, Quiet, nullptr);
  opj_stream_t* stream = opj_stream_create(OPJ_J2K_STREAM_CHUNK_SIZE, OPJ_FALSE);
  opj_stream_set_user_data(stream, &file, nullptr);
  opj_stream_set_write_function(stream, WriteMemory);
  opj_stream_set_skip_function(stream, SkipMemory);
  opj_stream_set_seek_function(stream, SeekMemory);
  const bool ok = opj_setup_encoder(codec, &parameters, image) &&
                  opj_start_compress(codec, image, stream) && opj_encode(codec, stream) &&
                  opj_end_compress(codec, stream);
  opj_stream_destroy(stream);
  opj_destroy_codec(codec);
  opj_image_destroy(image);
  if (!ok) return {};
  return file.bytes;
}

}  // namespace pictavo::samples
