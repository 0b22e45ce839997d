// export_support.h - the argument and answer handling shared by the exported functions.
//
// Inputs arrive as NUL-terminated UTF-16 and are read with a bound; answers leave as BSTRs
// that the caller owns. The request builders refuse a host or path that would not fit the
// request of the state queries. Pure apart from the BSTR allocation; any thread may call.
//
//   std::string command;
//   HRESULT hr = ReadInputText(text, &command);          // E_POINTER, E_INVALIDARG or S_OK
//   if (Succeeded(hr)) hr = WriteAnswer(doRemoteCommand(command, &reply), reply, answer);
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "common/answer.h"
#include "common/hresult.h"
#include "qxremoteserver.h"

namespace qx {

// Longest input text of the C interface, in UTF-16 units (1 MiB of units).
inline constexpr std::size_t kMaxInputUnits = std::size_t{1} << 20;
// Longest request text of the state queries, in UTF-16 units (a 528-unit buffer).
inline constexpr std::size_t kMaxStateRequestUnits = 527;

// A NUL-terminated UTF-16 input as UTF-8: E_POINTER for a null text, E_INVALIDARG for one of
// more than kMaxInputUnits units or with a lone surrogate.
HRESULT ReadInputText(const OLECHAR* text, std::string* out);

// The sub-text of tag in the message text (first child with that tag, ignoring case): S_OK,
// or E_FAIL when the text does not parse or the sub-text is empty or missing.
HRESULT SubTextOf(std::string_view text, std::string_view tag, std::string* subText);

// "<GetStateOfProjectManager><Host>host</Host></GetStateOfProjectManager>", the host escaped.
HRESULT BuildMachineStateRequest(std::string_view host, std::string* request);
// "<GetStateOfNorvaneProject><Host>host</Host><Path>path</Path></GetStateOfNorvaneProject>".
HRESULT BuildProjectStateRequest(std::string_view host, std::string_view path,
                                 std::string* request);

// Passes result on and, when an answer text was written and out is set, gives it to the
// caller as a BSTR; E_OUTOFMEMORY when that BSTR cannot be allocated.
HRESULT WriteAnswer(HRESULT result, const AnswerText& answer, BSTR* out);

}  // namespace qx
