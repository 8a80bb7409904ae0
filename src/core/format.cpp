#include "format.h"

// Placeholder bodies; the real formatting lands with its tests.
namespace nuvel {

std::string fmt_py(double) { return {}; }
std::string fmt_quoted_list(const std::vector<std::string>&) { return {}; }
std::string fmt_debug_list(const std::vector<std::string>&) { return {}; }

}  // namespace nuvel
