#include "engine/handler_set.h"

#include <algorithm>

namespace pictavo {

HandlerList BuildHandlerList(const FileTypeSelection& selection, bool exact_ends) {
  HandlerList handlers;
  for (const FileTypeId id : kHandlerCreationOrder) {
    if (!selection.IsSelected(id)) continue;
    if (auto handler = MakeHandler(id)) {
      handler->set_exact_ends(exact_ends);
      handlers.push_back(std::move(handler));
    }
  }
  std::reverse(handlers.begin(), handlers.end());
  return handlers;
}

}  // namespace pictavo
