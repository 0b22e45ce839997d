// fuzz_xml.cpp - libFuzzer target for CXmlElement: parses arbitrary text, reads and rebuilds it.
//
// Checks, beyond the sanitizers: a parsed message serialises to text that parses again, and
// serialisation reaches a fixed point after one round (the first round may normalise line ends
// and drop white space); texts read never exceed a field; building from the input never writes
// text that fails to parse.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "common/text.h"
#include "xml/xml_element.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

std::string Serialise(const qx::CXmlElement& element) {
  std::string xml;
  Check(element.GetXml(&xml));
  return xml;
}

void ReadEverything(const qx::CXmlElement& message) {
  const int count = message.GetChildCount();
  Check(count >= 0);
  qx::CXmlElement child;
  for (int i = 0; i < count && i < 64; ++i) {
    Check(message.GetChild(i, &child));
    const std::string name = child.GetName();
    Check(qx::Utf16Units(name) <= qx::kMaxNameUnits);
    Check(qx::Utf16Units(child.GetText()) <= qx::kMaxFieldUnits);
    Check(qx::Utf16Units(message.GetSubText(name)) <= qx::kMaxFieldUnits);
    bool ok = false;
    (void)message.GetSubUInt(name, &ok);
    (void)message.GetSubInt(name, &ok);
  }
  std::string inner;
  Check(message.GetInnerXml(&inner));
  qx::CXmlElement::ChildList list;
  Check(message.GetChildList(&list));
  while (message.NextChild(&list, "", &child)) (void)child.GetName();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  qx::CXmlElement message;
  if (message.LoadXml(text)) {
    ReadEverything(message);
    const std::string first = Serialise(message);
    qx::CXmlElement again;
    Check(again.LoadXml(first));
    const std::string second = Serialise(again);
    Check(again.LoadXml(second));
    Check(Serialise(again) == second);
  }

  // Building: the input as a child name or fragment, as a text, and copied whole.
  qx::CXmlElement root;
  Check(root.CreateRoot("F"));
  qx::CXmlElement added;
  if (root.AddChild(text, &added)) (void)added.AddTextChild("T", text);
  if (text.find('\0') == std::string_view::npos) Check(root.AddTextChild("T", text));
  if (!message.IsEmpty()) Check(root.AppendCopy(message));
  qx::CXmlElement rebuilt;
  Check(rebuilt.LoadXml(Serialise(root)));
  (void)root.ReplaceTextChild("t", "x");
  (void)root.RemoveChildByTag(text);
  return 0;
}
