// Metric values held by nodes.
#pragma once

#include <string>
#include <variant>

#include "ordered_map.h"

namespace nuvel {

/// One measured quantity. `value` may be any double (NaN and infinities
/// included); `unit` is kept exactly as supplied and never interpreted.
struct SingleMetric {
  double value = 0.0;
  std::string unit;
};

/// A multi-operation metric: operation name to its value. May be empty, and
/// an empty one stays distinct from a Single.
using MultiOp = OrderedMap<SingleMetric>;

/// A node's value of one metric: Single or MultiOp.
using MetricValue = std::variant<SingleMetric, MultiOp>;

}  // namespace nuvel
