// station_metrics.cpp - asks the local agent for its metrics over the multicast component's
// socket (kStationMetricsRequest) and checks the answer before handing it on: at most
// kMaxStationMetricsBytes of printable lines that start as the agent writes them.
#include "client/station_metrics.h"

#include <memory>
#include <utility>

#include "messaging/netqxkomm.h"
#include "messaging/netqxkomm_station.h"

namespace qx {
namespace {

bool LooksLikeMetricsText(const std::string& text) {
  if (text.size() > kMaxStationMetricsBytes || text.rfind("# HELP qxremote_", 0) != 0 ||
      text.back() != '\n') {
    return false;
  }
  for (const char c : text) {
    if (c != '\n' && (c < 0x20 || c > 0x7e)) return false;
  }
  return true;
}

}  // namespace

HRESULT FetchStationMetrics(std::string* exposition) {
  if (exposition == nullptr) return E_POINTER;
  exposition->clear();
  std::unique_ptr<INetQXKomm> component;
  HRESULT hr = CreateNetQXKomm(&component);
  if (hr < 0) return hr;
  AnswerText answer;
  hr = component->LocalRequest(kStationMetricsRequest, &answer);
  if (hr < 0) return hr;
  if (!answer || !LooksLikeMetricsText(*answer)) return E_FAIL;
  *exposition = std::move(*answer);
  return S_OK;
}

}  // namespace qx
