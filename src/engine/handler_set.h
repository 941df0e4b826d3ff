#pragma once

#include <memory>
#include <vector>

#include "engine/file_types.h"
#include "engine/format_handler.h"

namespace pictavo {

using HandlerList = std::vector<std::unique_ptr<FormatHandler>>;

// A new handler for `id`, or null when the file-type table has none for it.
std::unique_ptr<FormatHandler> MakeHandler(FileTypeId id);

// One handler for each selected type that has one, in the trial order of the file-type table
// (MPEG first and BMP last among the classic types). Raw types that share the TIFF header are
// tried before TIFF, so a raw photo is recorded as TIFF only when its own handler rejects it or
// its type is not selected. Each handler measures in the exact-ends mode when `exact_ends` is set.
HandlerList BuildHandlerList(const FileTypeSelection& selection, bool exact_ends = false);

}  // namespace pictavo
