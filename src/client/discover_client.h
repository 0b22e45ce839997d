// discover_client.h - SendMulticast, the discovery client's group send of this station's notices.
//
// Carries the state-clearing notice of the project-manager watch and the project removals of the
// registry clean pass to the whole group. Each call creates its own instance of the station's
// multicast component and drops it at once; no state, any thread may call.
//
//   HRESULT hr = SendMulticast(station, "<PM_MULTICAST>...</PM_MULTICAST>");
#pragma once

#include <string_view>

#include "common/hresult.h"
#include "station/station.h"

namespace qx {

// Sends text unchanged to the group: E_FAIL when no component can be created, else the
// component's result. Every call traces the text; a result other than 0 is traced as an error.
HRESULT SendMulticast(const Station& station, std::string_view text);

}  // namespace qx
