// recording_komm.h - a multicast component double that records every send (tests only).
//
// RecordingTransport is the factory of a test's station: it makes the real component, or
// while a RecordSends lives, the recording double.
//
//   test::RecordSends record;          // records from now until the end of its scope
//   ... std::vector<test::Sent> s = test::TakeSent();
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/mutex.h"
#include "messaging/netqxkomm.h"
#include "xml/xml_element.h"

namespace qx::test {

struct Sent {
  std::string receiver;  // "*" for a group send
  std::string text;
};

inline Mutex sentMutex;
inline std::vector<Sent> sentMessages GUARDED_BY(sentMutex);

class RecordingKomm : public INetQXKomm {
 public:
  HRESULT SendToGroup(std::string_view text) override { return Record("*", text); }
  HRESULT LocalRequest(std::string_view, AnswerText*) override { return E_NOTIMPL; }
  HRESULT SendToHost(std::string_view receiver, std::string_view text) override {
    return Record(receiver, text);
  }

 private:
  static HRESULT Record(std::string_view receiver, std::string_view text) {
    MutexLock lock(&sentMutex);
    sentMessages.push_back({std::string(receiver), std::string(text)});
    return S_OK;
  }
};

inline std::vector<Sent> TakeSent() {
  MutexLock lock(&sentMutex);
  return std::exchange(sentMessages, {});
}

inline std::atomic<bool> recordSends{false};

inline HRESULT RecordingTransport(std::unique_ptr<INetQXKomm>* component) {
  if (!recordSends) return CreateNetQXKomm(component);
  *component = std::make_unique<RecordingKomm>();
  return S_OK;
}

struct RecordSends {
  RecordSends() {
    recordSends = true;
    TakeSent();
  }
  ~RecordSends() { recordSends = false; }
};

// "<root>/<text of tag>" of a sent message.
inline std::string RootAndField(const std::string& text, const char* tag) {
  CXmlElement message;
  if (!message.LoadXml(text)) return "<not xml>";
  return message.GetName() + "/" + message.GetSubText(tag);
}

}  // namespace qx::test
