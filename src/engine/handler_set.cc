#include "engine/handler_set.h"

namespace pictavo {

std::unique_ptr<FormatHandler> MakeHandler(FileTypeId id) {
  const FileTypeInfo* info = FindFileType(id);
  return info && info->make_handler ? info->make_handler() : nullptr;
}

HandlerList BuildHandlerList(const FileTypeSelection& selection, bool exact_ends) {
  HandlerList handlers;
  for (const FileTypeId id : TrialOrder()) {
    if (!selection.IsSelected(id)) continue;
    if (auto handler = MakeHandler(id)) {
      handler->set_exact_ends(exact_ends);
      handlers.push_back(std::move(handler));
    }
  }
  return handlers;
}

}  // namespace pictavo
