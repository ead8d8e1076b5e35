#include "tessel/queryprocessor.h"

void QueryProcessorRegistry::add(const QString& name,
                                 std::unique_ptr<TesselQueryProcessor> processor) {
  processors_[name] = std::move(processor);
}

TesselQueryProcessor* QueryProcessorRegistry::find(const QString& name) const {
  const auto found = processors_.find(name);
  return found == processors_.end() ? nullptr : found->second.get();
}
