// metrics_command.cpp - qxstation metrics [--textfile PATH].
#include "metrics_command.h"

#include "client/station_metrics.h"
#include "failures.h"
#include "liveness_view.h"
#include "network_view.h"
#include "output.h"
#include "trace/metrics_text.h"
#include "web_content.h"

namespace qxstation {

int RunMetrics(const std::optional<std::string>& textfile, std::FILE* out, std::FILE* err) {
  std::string text;
  const HRESULT hr = qx::FetchStationMetrics(&text);
  if (hr == kAccessDenied) {
    std::fprintf(err,
                 "qxstation: permission denied: only root and the group qxadmin may read the "
                 "station's metrics\n");
    return kFailure;
  }
  if (hr < 0) return ReportLocalFailure("GetStationMetrics", hr, err);
  // The tree's gauges, as the web view's /metrics adds them: a textfile holds the same families.
  NetworkView view;
  LocalFailure failure;
  if (LoadNetworkView(&view, /*withHostDetails=*/false, &failure) >= 0) {
    if (const std::optional<LivenessView> live = LoadLiveness()) ApplyLiveness(*live, &view.hosts);
    text += TreeMetricsText(view);
  }
  if (!textfile) {
    std::fwrite(text.data(), 1, text.size(), out);
    return kSuccess;
  }
  std::string error;
  if (!qx::WriteMetricsTextfile(*textfile, text, &error)) {
    std::fprintf(err, "qxstation: cannot write the metrics: %s; the file stays as it was\n",
                 Printable(error, 512).c_str());
    return kFailure;
  }
  return kSuccess;
}

}  // namespace qxstation
