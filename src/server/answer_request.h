// answer_request.h - answers to the requests that other stations send (data id 777).
//
// AnswerRemoteRequest selects a handler by the request's root tag (ignoring case): answers from
// this station's own knowledge (host details, project details, share paths, a test), library
// calls and file times, and requests forwarded whole to the project manager. Runs on the thread
// that delivers the request (an RPC pool thread, or a host thread for a local receiver); takes
// no lock of its own. The station's host identity answers GetHostDetails.
//
//   AnswerText answer;
//   HRESULT hr = AnswerRemoteRequest(station, request, &answer);
#pragma once

#include <string_view>

#include "common/answer.h"
#include "common/hresult.h"
#include "discovery/host_details.h"
#include "station/station.h"
#include "xml/xml_element.h"

namespace qx {

HRESULT AnswerRemoteRequest(Station& station, const CXmlElement& request, AnswerText* answer);
// A request that this process addresses to its own station: answered here, with this process
// as the local caller (the client's local request handler).
HRESULT AnswerLocalRequest(Station& station, const CXmlElement& request, AnswerText* answer);
// Hands a request whole to this station's project manager. A request that came from another
// station is forwarded as such (fromRemote): the project manager then sees no local caller.
HRESULT ForwardToProjectManager(std::string_view text, AnswerText* answer, bool fromRemote = false);
bool IsProjectManagerRunning();

inline constexpr const char* kProjectManagerNotRunning =
    "<Result>ProjectManager not Running</Result>";

}  // namespace qx
