#include "metric.h"

#include "result.h"

namespace nuvel {

std::vector<std::string> op_names(const MetricValue& metric) {
  std::vector<std::string> names;
  if (const MultiOp* ops = std::get_if<MultiOp>(&metric)) {
    names.reserve(ops->size());
    for (const auto& [name, value] : *ops) names.push_back(name);
  }
  return names;
}

const SingleMetric& as_single(const MetricValue& metric) {
  if (const SingleMetric* single = std::get_if<SingleMetric>(&metric)) return *single;
  throw InternalError("a multi-operation metric was used as a single value");
}

SingleMetric& as_single_mut(MetricValue& metric) {
  if (SingleMetric* single = std::get_if<SingleMetric>(&metric)) return *single;
  throw InternalError("a multi-operation metric was used as a single value");
}

}  // namespace nuvel
