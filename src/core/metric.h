// Metric values held by nodes.
#pragma once

#include <string>
#include <variant>
#include <vector>

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

/// The operation names of a MultiOp in map order; empty for a Single.
std::vector<std::string> op_names(const MetricValue& metric);

/// The SingleMetric of a Single value. The caller has established the
/// variant; a MultiOp throws InternalError and is left untouched.
const SingleMetric& as_single(const MetricValue& metric);
SingleMetric& as_single_mut(MetricValue& metric);

}  // namespace nuvel
