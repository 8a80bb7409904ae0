#include "persistence.h"

// Placeholder until the writer lands.
namespace nuvel {

Result<Unit> save_json(const NuvelGraphInner&, std::string_view) {
  return PendingError{ErrorKind::IO, "not implemented (os error 38)"};
}

}  // namespace nuvel
