// export_support.cpp - reading inputs and writing answers of the exported functions.
#include "module/export_support.h"

#include "common/bstr.h"
#include "common/text.h"
#include "xml/xml_element.h"

namespace qx {
namespace {

HRESULT FitRequest(std::string request, std::string* out) {
  if (Utf16Units(request) > kMaxStateRequestUnits) return E_INVALIDARG;
  *out = std::move(request);
  return S_OK;
}

}  // namespace

HRESULT ReadInputText(const OLECHAR* text, std::string* out) {
  if (text == nullptr) return E_POINTER;
  const std::size_t length = BoundedLength16(text, kMaxInputUnits);
  if (length > kMaxInputUnits) return E_INVALIDARG;
  std::optional<std::string> utf8 = Utf16ToUtf8(std::u16string_view(text, length));
  if (!utf8) return E_INVALIDARG;
  *out = std::move(*utf8);
  return S_OK;
}

HRESULT SubTextOf(std::string_view text, std::string_view tag, std::string* subText) {
  CXmlElement message;
  if (!message.LoadXml(text)) return E_FAIL;
  std::string found = message.GetSubText(tag);
  if (found.empty()) return E_FAIL;
  *subText = std::move(found);
  return S_OK;
}

HRESULT BuildMachineStateRequest(std::string_view host, std::string* request) {
  return FitRequest(
      "<GetStateOfProjectManager><Host>" + XmlEscape(host) + "</Host></GetStateOfProjectManager>",
      request);
}

HRESULT BuildProjectStateRequest(std::string_view host, std::string_view path,
                                 std::string* request) {
  return FitRequest("<GetStateOfNorvaneProject><Host>" + XmlEscape(host) + "</Host><Path>" +
                        XmlEscape(path) + "</Path></GetStateOfNorvaneProject>",
                    request);
}

HRESULT WriteAnswer(HRESULT result, const AnswerText& answer, BSTR* out) {
  if (out == nullptr || !answer) return result;
  BSTR text = AllocBstrFromUtf8(*answer);
  if (text == nullptr) return E_OUTOFMEMORY;
  *out = text;
  return result;
}

}  // namespace qx
