// answer.h - the answer of a request or local command inside the module.
//
// A handler receives `AnswerText* answer`. A null pointer means the caller wants no answer;
// an empty optional means "untouched" (no answer written); a value is the answer text (UTF-8),
// which becomes the caller's BSTR at the C interface. Owned by the caller.
//
//   AnswerText answer;
//   HRESULT hr = AnswerRemoteRequest(request, &answer);
//   if (answer) Send(*answer);
#pragma once

#include <optional>
#include <string>

namespace qx {

using AnswerText = std::optional<std::string>;

}  // namespace qx
