// host_details.cpp - BuildHostDetails from the local host identity and the registry.
//
// Writing the details reads the registry (a dozen keys and the project list), which costs more
// than taking in the JOIN that they answer. So the last details of each root and event are
// kept, cut around the Receiver's text, until the registry's content, the host's names and
// address or the local project's state change: a JOIN's UPDATE reply is then two copies. What is
// kept belongs to one host identity: another station's details are written afresh.
#include "discovery/host_details.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/mutex.h"
#include "common/text.h"
#include "hostinfo/local_host_info.h"
#include "registry/project_state.h"
#include "registry/reg_key.h"
#include "registry/registry_projects.h"
#include "registry/store/registry_store.h"
#include "rpc/rpc_settings.h"
#include "xml/xml_element.h"

namespace qx {
namespace {

// The receiver that the kept details are written with, and the child that holds it.
constexpr std::string_view kReceiverMark = "<Receiver>R</Receiver>";
constexpr std::size_t kReceiverTextAt = 10;  // after "<Receiver>"

HRESULT WriteHostDetails(const LocalHostInfo& host, std::string_view root, std::string_view event,
                         std::string_view receiver, std::string* out) {
  CXmlElement details;
  if (!details.CreateRoot(root)) return E_FAIL;
  details.AddTextChild("EVENT", event);
  details.AddTextChild("Receiver", receiver);
  details.AddTextChild("Host", host.computerName());
  details.AddTextChild("Domain", host.domainName());
  details.AddTextChild("User", host.userName());
  // In local mode (the RPC endpoints listen on a loopback address) the others reach this
  // station only at that address, so that is the address it announces; otherwise the current
  // address of the host's table.
  const std::string listen = ReadRpcSettings().listenAddress;
  if (listen.starts_with("127.")) {
    details.AddTextChild("IP", listen);
    details.AddTextChild("IP_Mask", "255.0.0.0");
  } else {
    details.AddTextChild("IP", host.currentAddress());
    details.AddTextChild("IP_Mask", host.currentMask());
  }

  if (!IEquals(event, "LEAVE") && !IEquals(event, "TEST")) {
    CREGKEY setup(kSetupKey);
    const struct {
      const char* element;
      const char* value;
    } kSetupValues[] = {
        {"NorvaneVersion", "Version"},
        {"NorvaneBuild", "BuildNr"},
        {"NorvanePath", "Inst_Path"},
    };
    for (const auto& item : kSetupValues) {
      std::string value;
      if (!setup.IsOpen() || !setup.GetString(item.value, &value, kRegBufferChars)) value.clear();
      details.AddTextChild(item.element, value);
    }
    CXmlElement list;
    if (details.AddChild("PROJECTLIST", &list)) {
      const bool announcement = IEquals(event, "JOIN") || IEquals(event, "UPDATE");
      ReadListFromRegistry(&list, announcement ? kModeMultiUser : kModeAllProjects);
    }
  }

  return details.GetXml(out) ? S_OK : E_FAIL;
}

// What the details are written from; kept details serve while it stays the same.
struct DetailsSource {
  const LocalHostInfo* identity = nullptr;
  std::uint64_t registry = 0;
  std::uint64_t host = 0;
  std::uint64_t projectState = 0;
  bool operator==(const DetailsSource&) const = default;
};

std::optional<DetailsSource> CurrentSource(const LocalHostInfo& host) {
  const std::optional<std::uint64_t> registry = Registry().ContentVersion();
  if (!registry) return std::nullopt;  // the store can't tell: nothing is kept
  return DetailsSource{&host, *registry, host.version(), CurrentProjectStateVersion()};
}

// The last details of each root and event, cut around the receiver's text. Any thread.
class KeptDetails {
 public:
  // The kept details of root and event for receiver, when written from source.
  std::optional<std::string> Find(std::string_view root, std::string_view event,
                                  const DetailsSource& source, std::string_view receiver)
      EXCLUDES(mutex_) {
    MutexLock lock(&mutex_);
    for (const Entry& entry : entries_) {
      if (entry.source == source && entry.root == root && entry.event == event) {
        return entry.head + XmlEscape(receiver) + entry.tail;
      }
    }
    return std::nullopt;
  }

  // Keeps text, written from source with kReceiverMark; false when it does not hold the mark.
  bool Keep(std::string_view root, std::string_view event, const DetailsSource& source,
            const std::string& text) EXCLUDES(mutex_) {
    const std::size_t mark = text.find(kReceiverMark);
    if (mark == std::string::npos) return false;
    Entry entry{std::string(root), std::string(event), source,
                text.substr(0, mark + kReceiverTextAt), text.substr(mark + kReceiverTextAt + 1)};
    MutexLock lock(&mutex_);
    std::erase_if(entries_, [&](const Entry& kept) {
      return kept.root == entry.root && kept.event == entry.event;
    });
    if (entries_.size() >= kMaxEntries) entries_.erase(entries_.begin());
    entries_.push_back(std::move(entry));
    return true;
  }

 private:
  struct Entry {
    std::string root;
    std::string event;
    DetailsSource source;
    std::string head;  // up to the receiver's text
    std::string tail;  // after it
  };
  static constexpr std::size_t kMaxEntries = 8;  // roots and events in use
  Mutex mutex_;
  std::vector<Entry> entries_ GUARDED_BY(mutex_);
};

KeptDetails& Kept() {
  static KeptDetails kept;
  return kept;
}

}  // namespace

HRESULT BuildHostDetails(const Station& station, std::string_view root, std::string_view event,
                         std::string_view receiver, AnswerText* answer) {
  const LocalHostInfo& host = station.localHost();
  const std::optional<DetailsSource> source = CurrentSource(host);
  std::optional<std::string> text;
  if (source) text = Kept().Find(root, event, *source, receiver);
  if (!text) {
    std::string written;
    if (source) {
      // Written with the mark, kept, and answered from what was kept.
      const HRESULT hr = WriteHostDetails(host, root, event, "R", &written);
      if (Failed(hr)) return hr;
      if (Kept().Keep(root, event, *source, written)) {
        text = Kept().Find(root, event, *source, receiver);
      }
    }
    if (!text) {
      const HRESULT hr = WriteHostDetails(host, root, event, receiver, &written);
      if (Failed(hr)) return hr;
      text = std::move(written);
    }
  }
  if (answer != nullptr) *answer = std::move(*text);
  return S_OK;
}

}  // namespace qx
