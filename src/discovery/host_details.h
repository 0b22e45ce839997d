// host_details.h - BuildHostDetails, the message that describes this station.
//
// The station announcement (JOIN, UPDATE, LEAVE), the test answer and the "GetHostDetails"
// answer are all this one message: EVENT, Receiver, Host, Domain, User, IP and IP_Mask, and,
// unless the event is LEAVE or TEST, the installation values and a PROJECTLIST of the registry
// projects (multi-user projects only for JOIN and UPDATE). The names and addresses are the
// station's host identity. Any thread may call.
//
//   AnswerText text;
//   HRESULT hr = BuildHostDetails(station, "QXDISCOVER", "JOIN", "*", &text);
#pragma once

#include <string_view>

#include "common/answer.h"
#include "common/hresult.h"
#include "station/station.h"

namespace qx {

// On failure the answer is left untouched; a null answer is allowed.
HRESULT BuildHostDetails(const Station& station, std::string_view root, std::string_view event,
                         std::string_view receiver, AnswerText* answer);

}  // namespace qx
