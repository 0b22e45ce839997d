// hresult.h - the result codes that every operation of the module returns.
//
// Failures are HRESULTs, returned and traced; nothing throws across a handler's edge.
//   HRESULT hr = AnswerRemoteRequest(request, &answer);
//   if (Failed(hr)) { ... }
#pragma once

#include <cstdint>

namespace qx {

using HRESULT = std::int32_t;

inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT S_FALSE = 1;
inline constexpr HRESULT E_NOTIMPL = static_cast<HRESULT>(0x80004001u);
inline constexpr HRESULT E_POINTER = static_cast<HRESULT>(0x80004003u);
inline constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005u);
inline constexpr HRESULT E_UNEXPECTED = static_cast<HRESULT>(0x8000FFFFu);
inline constexpr HRESULT E_OUTOFMEMORY = static_cast<HRESULT>(0x8007000Eu);
inline constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057u);
// E_ACCESSDENIED: a request outside what this station's settings allow (library or file roots).
inline constexpr HRESULT E_ACCESSDENIED = static_cast<HRESULT>(0x80070005u);

inline constexpr bool Failed(HRESULT hr) { return hr < 0; }
inline constexpr bool Succeeded(HRESULT hr) { return hr >= 0; }

}  // namespace qx
