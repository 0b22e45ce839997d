// metrics_command.cpp - qxstation metrics [--textfile PATH].
#include "metrics_command.h"

#include "client/station_metrics.h"
#include "failures.h"
#include "output.h"
#include "trace/metrics_text.h"

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
