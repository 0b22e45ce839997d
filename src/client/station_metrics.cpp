// station_metrics.cpp - asks the local agent for its counters.
#include "client/station_metrics.h"

namespace qx {

HRESULT FetchStationMetrics(std::string* exposition) {
  if (exposition) exposition->clear();
  return E_NOTIMPL;
}

}  // namespace qx
