#pragma once

#include <memory>
#include <vector>

#include "engine/file_types.h"
#include "engine/format_handler.h"

namespace pictavo {

using HandlerList = std::vector<std::unique_ptr<FormatHandler>>;

// The order in which handlers are created; each new one goes to the front of the list, so they
// are tried in the reverse of this order (MPEG first, BMP last). Raw types that share the TIFF
// header are tried before TIFF, so a raw photo is recorded as TIFF only when its own handler
// rejects it or its type is not selected.
inline constexpr FileTypeId kHandlerCreationOrder[] = {
    kTypeBmp, kTypePng, kTypeGif, kTypeJpeg, kTypeJ2k, kTypeJp2,  kTypeTiff, kTypeCrw,
    kTypeCr2, kTypeOrf, kTypeRaf, kTypeRaw,  kTypeMrw, kTypeX3f,  kTypeNef,  kTypePef,
    kTypeArw, kTypeDng, kTypeAvi, kTypeMov,  kTypeWav, kTypeMpeg,
};

// A new handler for `id`, or null when this build has none for it. Defined by the recognisers.
std::unique_ptr<FormatHandler> MakeHandler(FileTypeId id);

// One handler for each selected type that has one, in trial order, each in the exact-ends mode
// when `exact_ends` is set.
HandlerList BuildHandlerList(const FileTypeSelection& selection, bool exact_ends = false);

}  // namespace pictavo
