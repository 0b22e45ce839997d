// netqxkomm_station.cpp - the station's component object (see netqxkomm_station.h).
#include "messaging/netqxkomm_station.h"

#include <cctype>
#include <cstdint>
#include <utility>

#include "keys/cluster_keys.h"
#include "trace/metrics_text.h"

namespace qx {
namespace {

// A dotted IPv4 text as the transport takes it: four decimal parts.
bool LooksLikeIpv4(std::string_view text) {
  int dots = 0;
  for (const char c : text) {
    if (c == '.') {
      ++dots;
    } else if (!std::isdigit(static_cast<unsigned char>(c))) {
      return false;
    }
  }
  return dots == 3;
}

}  // namespace

std::shared_ptr<NetQXKommStation> NetQXKommStation::Start(const MulticastSettings& settings,
                                                          NetQXKommStationHooks hooks,
                                                          std::shared_ptr<NetQXKommEvents> events,
                                                          std::string* error) {
  auto station = std::make_shared<NetQXKommStation>(Key(), std::move(hooks), std::move(events));
  // The transport ends before the station does (Stop, at the latest in the destructor).
  NetQXKommStation* raw = station.get();
  std::unique_ptr<MulticastTransport> transport = MulticastTransport::Start(
      settings, [raw](const MulticastMessage& message) { raw->Received(message); }, &CurrentKeyRing,
      station->hooks_.interfaces, error);
  if (!transport) return nullptr;
  MutexLock lock(&station->mutex_);
  station->transport_ = std::move(transport);
  return station;
}

NetQXKommStation::NetQXKommStation(Key, NetQXKommStationHooks hooks,
                                   std::shared_ptr<NetQXKommEvents> events)
    : hooks_(std::move(hooks)), events_(std::move(events)) {}

NetQXKommStation::~NetQXKommStation() { Stop(); }

// One send's use of the transport.
class NetQXKommStation::Use {
 public:
  explicit Use(const NetQXKommStation& station)
      : station_(station), transport_(station.Acquire()) {}
  ~Use() {
    if (transport_ != nullptr) station_.Release();
  }
  Use(const Use&) = delete;
  Use& operator=(const Use&) = delete;
  MulticastTransport* get() const { return transport_; }

 private:
  const NetQXKommStation& station_;
  MulticastTransport* const transport_;
};

void NetQXKommStation::Stop() {
  {
    MutexLock lock(&receiveMutex_);
    receiving_ = false;
    while (receivesRunning_ > 0) receivesEnded_.Wait();
  }
  std::unique_ptr<MulticastTransport> transport;
  {
    MutexLock lock(&mutex_);
    while (uses_ > 0) usesEnded_.Wait();
    transport.swap(transport_);
  }
  transport.reset();  // joins the transport's threads
}

MulticastTransport* NetQXKommStation::Acquire() const {
  MutexLock lock(&mutex_);
  if (!transport_) return nullptr;
  ++uses_;
  return transport_.get();
}

void NetQXKommStation::Release() const {
  MutexLock lock(&mutex_);
  if (--uses_ == 0) usesEnded_.SignalAll();
}

HRESULT NetQXKommStation::SendToGroup(std::string_view text) {
  const Use transport(*this);
  return transport.get() != nullptr ? transport.get()->SendToGroup(text) : E_FAIL;
}

HRESULT NetQXKommStation::SendToHost(std::string_view receiver, std::string_view text) {
  if (receiver.empty()) return E_INVALIDARG;
  std::string address(receiver);
  if (!LooksLikeIpv4(receiver)) {
    const std::optional<std::string> resolved =
        hooks_.resolveHost ? hooks_.resolveHost(receiver) : std::nullopt;
    if (!resolved) return E_INVALIDARG;
    address = *resolved;
  }
  const Use transport(*this);
  return transport.get() != nullptr ? transport.get()->SendTo(address, text) : E_FAIL;
}

HRESULT NetQXKommStation::LocalRequest(std::string_view text, AnswerText* answer) {
  if (text == kMulticastCountersRequest) {
    if (answer != nullptr) *answer = MulticastCountersAnswer(TransportCounters());
    return S_OK;
  }
  if (text.size() >= kRaiseEventOpen.size() + kRaiseEventClose.size() &&
      text.substr(0, kRaiseEventOpen.size()) == kRaiseEventOpen &&
      text.substr(text.size() - kRaiseEventClose.size()) == kRaiseEventClose) {
    if (events_) {
      events_->Raise(MulticastDelivery::kUnicast,
                     text.substr(kRaiseEventOpen.size(),
                                 text.size() - kRaiseEventOpen.size() - kRaiseEventClose.size()));
    }
    return S_OK;
  }
  if (text == kStationMetricsRequest) {
    MetricsSnapshot snapshot = TakeMetricsSnapshot();
    if (const ClusterKey* key = CurrentKeyRing()->InUse()) snapshot.keyIdInUse = key->id;
    if (answer != nullptr) *answer = RenderMetricsText(snapshot);
    return S_OK;
  }
  if (!hooks_.localRequest) return E_NOTIMPL;
  return hooks_.localRequest(text, answer);
}

MulticastCounters NetQXKommStation::TransportCounters() const {
  const Use transport(*this);
  return transport.get() != nullptr ? transport.get()->Counters() : MulticastCounters{};
}

std::vector<InterfaceInfo> NetQXKommStation::Interfaces() const {
  const Use transport(*this);
  return transport.get() != nullptr ? transport.get()->Interfaces() : std::vector<InterfaceInfo>{};
}

void NetQXKommStation::Received(const MulticastMessage& message) {
  {
    MutexLock lock(&receiveMutex_);
    if (!receiving_) return;
    ++receivesRunning_;
  }
  struct Ended {  // also when a hook throws
    NetQXKommStation* station;
    ~Ended() { station->EndReceive(); }
  } ended{this};
  if (hooks_.received) hooks_.received(message);
  if (events_) events_->Raise(message.delivery, message.text);
}

void NetQXKommStation::EndReceive() {
  MutexLock lock(&receiveMutex_);
  if (--receivesRunning_ == 0) receivesEnded_.SignalAll();
}

namespace {

// The counters of the answer, by attribute name.
struct CounterField {
  const char* name;
  std::uint64_t MulticastCounters::*field;
};
constexpr CounterField kCounterFields[] = {
    {"DatagramsReceived", &MulticastCounters::datagramsReceived},
    {"MessagesDelivered", &MulticastCounters::messagesDelivered},
    {"Malformed", &MulticastCounters::malformed},
    {"Unopenable", &MulticastCounters::unopenable},
    {"ForeignKey", &MulticastCounters::foreignKey},
    {"Replayed", &MulticastCounters::replayed},
    {"QueueDrops", &MulticastCounters::queueDrops},
    {"MessagesSent", &MulticastCounters::messagesSent},
    {"SendFailures", &MulticastCounters::sendFailures},
    {"Relayed", &MulticastCounters::relayed},
};

}  // namespace

std::string MulticastCountersAnswer(const MulticastCounters& counters) {
  std::string text = "<MulticastCounters";
  for (const CounterField& one : kCounterFields) {
    text += std::string(" ") + one.name + "=\"" + std::to_string(counters.*one.field) + "\"";
  }
  return text + "/>";
}

bool ParseMulticastCountersAnswer(std::string_view text, MulticastCounters* counters) {
  if (text.size() > 4096 || text.rfind("<MulticastCounters ", 0) != 0) return false;
  MulticastCounters parsed;
  for (const CounterField& one : kCounterFields) {
    const std::string marker = std::string(" ") + one.name + "=\"";
    const std::size_t at = text.find(marker);
    if (at == std::string_view::npos) return false;
    std::uint64_t value = 0;
    std::size_t digits = 0;
    for (std::size_t i = at + marker.size(); i < text.size() && text[i] != '"'; ++i, ++digits) {
      if (text[i] < '0' || text[i] > '9') return false;
      const auto digit = static_cast<std::uint64_t>(text[i] - '0');
      if (value > (UINT64_MAX - digit) / 10) return false;  // beyond 64 bits
      value = value * 10 + digit;
    }
    if (digits == 0) return false;
    parsed.*one.field = value;
  }
  *counters = parsed;
  return true;
}

}  // namespace qx
