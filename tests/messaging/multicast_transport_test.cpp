// Tests of the multicast transport: reassembly of fragments (duplicates, order, expiry, bounds,
// malformed datagrams) and real loopback traffic, sealed with the cluster key, between stations
// on 127.0.0.x. Multicast is sent only on the interface 127.0.0.1 with TTL 0.
#include "messaging/multicast_transport.h"

#include <gtest/gtest.h>

#include <malloc.h>
#include <sched.h>
#include <stdlib.h>

#include <algorithm>
#include <asio.hpp>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "common/little_endian.h"
#include "common/mutex.h"
#include "keys/cluster_keys.h"
#include "messaging/datagram_seal.h"
#include "messaging/multicast_fragments.h"
#include "platform/network_interfaces.h"

namespace qx {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

std::string JoinOf(int projects) {
  std::string text = "<QXDISCOVER><EVENT>JOIN</EVENT><HOST>BIG</HOST><PROJECTLIST>";
  for (int p = 0; p < projects; ++p) {
    const std::string n = std::to_string(p);
    text += "<PROJECT><Name>Line" + n + "</Name><DSN>BIG_Line" + n + "</DSN><FullPath>/srv/l" + n +
            "/line" + n + ".mcp</FullPath></PROJECT>";
  }
  return text + "</PROJECTLIST></QXDISCOVER>";
}

TEST(FragmentAssemblerTest, ReassemblesWhateverOrderAndDropsWhatDoesNotFit) {
  const std::string text = JoinOf(40);
  const auto t0 = Clock::now();
  auto parts = [&](std::uint32_t id) { return SplitMessage(7, 9, id, text, 300); };
  ASSERT_GT(parts(1).size(), 5u);
  auto mangled = [&](std::size_t offset, std::uint32_t value, int bytes) {
    std::string d = parts(1)[1];
    if (bytes == 4) PutLe32(d.data() + offset, value);
    if (bytes == 2) PutLe16(d.data() + offset, static_cast<std::uint16_t>(value));
    if (bytes == 1) d[offset] = static_cast<char>(value);
    return d;
  };
  const std::uint64_t n = parts(1).size();
  // The first fragment of a set fixes its count and total, and an index its offset: a datagram
  // that disagrees later is dropped; one that came first spoils the set (both passed the seal:
  // only a faulty key holder sends such a thing).
  const struct Case {
    const char* name;
    std::vector<std::string> extra;  // datagrams sent before the message's own, in reverse
    bool complete;
    std::uint64_t malformed, duplicates;
  } cases[] = {
      {"reverse order", {}, true, 0, 0},
      {"every fragment twice", parts(1), true, 0, n},
      {"too short", {std::string("QXM1")}, true, 1, 0},
      {"wrong magic", {mangled(0, 0x12345678, 4)}, true, 1, 0},
      {"next version", {mangled(4, 2, 1)}, true, 1, 0},
      {"sealed", {mangled(5, kFragmentSealedFlag, 1)}, true, 1, 0},
      {"header beyond datagram", {mangled(6, 60000, 2)}, true, 1, 0},
      {"index beyond count", {mangled(20, 500, 2)}, true, 1, 0},
      {"payload beyond total",
       {mangled(28, static_cast<std::uint32_t>(text.size()), 4)},
       true,
       1,
       0},
      {"other count, same id", {mangled(22, 99, 2)}, false, n, 0},
      {"same index, other offset", {mangled(28, 1, 4)}, false, 2, 0},
      {"total beyond 1 MiB", {mangled(24, (1u << 20) + 1, 4)}, true, 1, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FragmentAssembler assembler{AssemblerLimits{}};
    std::vector<std::string> datagrams = parts(1);
    std::reverse(datagrams.begin(), datagrams.end());
    datagrams.insert(datagrams.begin(), c.extra.begin(), c.extra.end());
    int whole = 0;
    for (const std::string& d : datagrams) {
      if (auto message = assembler.Add(d, t0)) {
        EXPECT_EQ(*message, text);
        ++whole;
      }
    }
    EXPECT_EQ(whole, c.complete ? 1 : 0);
    EXPECT_EQ(assembler.counters().malformed, c.malformed);
    EXPECT_EQ(assembler.counters().duplicates, c.duplicates);
    // A late copy of a finished message is not handed out again.
    EXPECT_FALSE(assembler.Add(parts(1)[2], t0 + milliseconds(10)));
  }
}

TEST(FragmentAssemblerTest, UnfinishedSetsExpireAndStayWithinTheirBounds) {
  AssemblerLimits limits;
  limits.expiry = milliseconds(2000);
  limits.maxOpenSets = 8;
  limits.maxOpenSetsPerSender = 3;
  limits.maxOpenBytes = 200000;
  FragmentAssembler assembler(limits);
  const std::string text(30000, 'x');
  const auto t0 = Clock::now();
  // One fragment each of many messages from four senders: never complete.
  for (std::uint32_t sender = 1; sender <= 4; ++sender) {
    for (std::uint32_t id = 1; id <= 5; ++id) {
      assembler.Add(SplitMessage(sender, 1, id, text, 1000)[0], t0 + milliseconds(id));
      EXPECT_LE(assembler.openSets(), limits.maxOpenSets);
      EXPECT_LE(assembler.openBytes(), limits.maxOpenBytes);
    }
  }
  EXPECT_GT(assembler.counters().evictedSets, 0u);
  const std::size_t open = assembler.openSets();
  EXPECT_GT(open, 0u);
  assembler.Expire(t0 + milliseconds(1000));
  EXPECT_EQ(assembler.openSets(), open);
  assembler.Expire(t0 + milliseconds(2100));
  EXPECT_EQ(assembler.openSets(), 0u);
  EXPECT_EQ(assembler.openBytes(), 0u);
  EXPECT_EQ(assembler.counters().expiredSets, open);
  // A sender that restarted (new incarnation) is a new sender: its message id 1 is new too.
  const auto again = SplitMessage(1, 2, 1, "hello", 1000);
  EXPECT_EQ(assembler.Add(again[0], t0 + milliseconds(2200)).value_or(""), "hello");
}

// Bytes the heap hands out at the moment (glibc), the arena's and the mapped chunks'.
std::size_t HeapInUse() {
  const struct mallinfo2 info = mallinfo2();
  return info.uordblks + info.hblkhd;
}

// A flood of first fragments that each claim a message of 1 MiB costs their own bytes, not the
// claimed ones; fragments that overlap beyond the message's length are not stored either.
TEST(FragmentAssemblerTest, UnfinishedSetsHoldOnlyTheBytesThatArrived) {
  struct Case {
    const char* name;
    std::uint16_t count;
    std::uint32_t offset;   // of every fragment
    std::uint32_t payload;  // bytes of every fragment
    bool oneSender;         // all fragments of one message, at distinct indices
    std::uint64_t malformed;
  };
  const Case cases[] = {
      {"first fragments of 60 messages of 1 MiB", 16, 0, 1024, false, 0},
      {"60 fragments of one message, each claiming all of it", 64, 0, 60000, true, 59},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FragmentAssembler assembler{AssemblerLimits{}};
    const std::size_t before = HeapInUse();
    std::string datagram(kFragmentHeaderBytes + c.payload, 'x');
    for (std::uint16_t i = 0; i < 60; ++i) {
      FragmentHeader header;
      header.senderId = c.oneSender ? 7u : 100u + i;
      header.messageId = 1;
      header.index = c.oneSender ? i : 0;
      header.count = c.count;
      header.totalLength = c.oneSender ? c.payload : 1u << 20;
      header.offset = c.offset;
      PutFragmentHeader(header, reinterpret_cast<std::uint8_t*>(datagram.data()));
      EXPECT_FALSE(assembler.Add(datagram, Clock::now()));
    }
    EXPECT_LT(HeapInUse() - before, std::size_t{8} << 20);
    EXPECT_EQ(assembler.counters().malformed, c.malformed);
  }
}

// ---- real loopback transports ----

// Collects what one transport receives.
class Inbox {
 public:
  MulticastReceiver Receiver() {
    return [this](const MulticastMessage& message) {
      MutexLock lock(&mutex_);
      messages_.push_back(message);
      arrived_.SignalAll();
    };
  }
  // The messages once count have arrived, or what arrived by the deadline.
  std::vector<MulticastMessage> WaitFor(std::size_t count, milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    MutexLock lock(&mutex_);
    while (messages_.size() < count && Clock::now() < deadline) arrived_.WaitUntil(deadline);
    return messages_;
  }

 private:
  Mutex mutex_;
  CondVar arrived_{&mutex_};
  std::vector<MulticastMessage> messages_ GUARDED_BY(mutex_);
};

MulticastSettings TestSettings(const char* unicast) {
  static const std::uint16_t port =
      static_cast<std::uint16_t>(20000 + std::random_device()() % 5000);
  MulticastSettings settings;
  settings.group = "239.255.47.99";
  settings.port = port;
  settings.interfaceAddress = "127.0.0.1";
  settings.ttl = 0;
  settings.unicastAddress = unicast;
  return settings;
}

class MulticastLoopbackTest : public ::testing::Test {
 protected:
  // The process's key ring: a generated one beside a registry in a directory of the test's own.
  void SetUp() override {
    char pattern[] = "/tmp/qxmcast.XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
    if (const char* previous = std::getenv("QX_REGISTRY")) savedRegistry_ = previous;
    ::setenv("QX_REGISTRY", (dir_ + "/registry.db").c_str(), 1);
    KeyRing ring;
    std::string error;
    ASSERT_TRUE(LoadOrCreateKeyRing(KeyRingPath(), &ring, &error)) << error;
    ASSERT_NE(CurrentKeyRing()->InUse(), nullptr);
    Inbox probe;
    auto transport = MulticastTransport::Start(TestSettings("127.0.0.4"), probe.Receiver(), &error);
    ASSERT_TRUE(transport) << error;
    transport->SendToGroup("<probe/>");
    if (probe.WaitFor(1, milliseconds(2000)).empty()) {
      GTEST_SKIP() << "multicast on the loopback interface does not reach this host's own "
                      "group socket; the machine needs `ip link set lo multicast on` (or a "
                      "route for 239.0.0.0/8 on lo)";
    }
  }
  void TearDown() override {
    if (savedRegistry_) {
      ::setenv("QX_REGISTRY", savedRegistry_->c_str(), 1);
    } else {
      ::unsetenv("QX_REGISTRY");
    }
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

  std::string dir_;
  std::optional<std::string> savedRegistry_;
};

TEST_F(MulticastLoopbackTest, AJoinOfAThousandProjectsArrivesWhole) {
  const std::string join = JoinOf(1000);
  ASSERT_GT(join.size(), 100000u);
  const struct {
    const char* name;
    std::uint32_t datagramBytes;
  } cases[] = {{"loopback datagrams", 0}, {"network-sized datagrams", 1400}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    MulticastSettings settings = TestSettings("127.0.0.2");
    settings.datagramBytes = c.datagramBytes;
    Inbox inbox;
    std::string error;
    auto transport = MulticastTransport::Start(settings, inbox.Receiver(), &error);
    ASSERT_TRUE(transport) << error;
    ASSERT_EQ(transport->SendToGroup(join), S_OK);
    const auto got = inbox.WaitFor(1, milliseconds(3000));
    ASSERT_EQ(got.size(), 1u);
    EXPECT_TRUE(got[0].text == join);
    EXPECT_EQ(got[0].delivery, MulticastDelivery::kGroup);
    EXPECT_EQ(got[0].from, "127.0.0.2");
    EXPECT_EQ(transport->SendToGroup(std::string((1u << 20) + 1, 'x')), E_INVALIDARG);
    const MulticastCounters counters = transport->Counters();
    EXPECT_EQ(counters.malformed + counters.queueDrops + counters.expiredSets +
                  counters.unopenable + counters.foreignKey + counters.replayed,
              0u);
    EXPECT_GE(counters.receiveBufferBytes, 1u << 20);
  }
}

TEST_F(MulticastLoopbackTest, EveryStationGetsTheGroupAndOnlyItsOwnUnicast) {
  Inbox inboxB, inboxC;
  std::string error;
  auto b = MulticastTransport::Start(TestSettings("127.0.0.2"), inboxB.Receiver(), &error);
  ASSERT_TRUE(b) << error;
  auto c = MulticastTransport::Start(TestSettings("127.0.0.3"), inboxC.Receiver(), &error);
  ASSERT_TRUE(c) << error;
  // A third station on an address in use is refused, not silently shared.
  EXPECT_FALSE(MulticastTransport::Start(TestSettings("127.0.0.3"), inboxC.Receiver(), &error));

  ASSERT_EQ(b->SendToGroup("<to-all/>"), S_OK);
  ASSERT_EQ(c->SendTo("127.0.0.2", "<to-b/>"), S_OK);
  ASSERT_EQ(b->SendTo("127.0.0.3", "<to-c/>"), S_OK);
  EXPECT_EQ(b->SendTo("10.1.2.3", "<out/>"), E_ACCESSDENIED);  // local mode stays on loopback
  EXPECT_EQ(b->SendTo("STATION", "<name/>"), E_INVALIDARG);
  auto texts = [](const std::vector<MulticastMessage>& messages) {
    std::vector<std::string> all;
    for (const auto& m : messages) {
      all.push_back((m.delivery == MulticastDelivery::kGroup ? "group " : "unicast ") + m.text);
    }
    std::sort(all.begin(), all.end());
    return all;
  };
  EXPECT_EQ(texts(inboxB.WaitFor(2, milliseconds(2000))),
            (std::vector<std::string>{"group <to-all/>", "unicast <to-b/>"}));
  EXPECT_EQ(texts(inboxC.WaitFor(2, milliseconds(2000))),
            (std::vector<std::string>{"group <to-all/>", "unicast <to-c/>"}));
  std::this_thread::sleep_for(milliseconds(100));  // nothing more comes
  EXPECT_EQ(inboxB.WaitFor(3, milliseconds(0)).size(), 2u);
  EXPECT_EQ(inboxC.WaitFor(3, milliseconds(0)).size(), 2u);
}

// Stations hear only stations with a key of their ring; a station without a key in use neither
// sends nor hears; a datagram sent again, also from another address, is delivered once.
TEST_F(MulticastLoopbackTest, OnlyStationsWithTheKeyHearEachOtherAndNothingTwice) {
  const std::shared_ptr<const KeyRing> ringA = CurrentKeyRing();
  auto ringB = std::make_shared<KeyRing>();
  ringB->keys.push_back(GenerateClusterKey(true).value());
  ringB->inUse = ringB->keys[0].id;
  Inbox inboxA, inboxB, inboxNone;
  std::string error;
  auto a = MulticastTransport::Start(TestSettings("127.0.0.2"), inboxA.Receiver(), &error);
  ASSERT_TRUE(a) << error;
  auto b = MulticastTransport::Start(
      TestSettings("127.0.0.3"), inboxB.Receiver(), [ringB] { return ringB; }, &error);
  ASSERT_TRUE(b) << error;
  auto none = MulticastTransport::Start(
      TestSettings("127.0.0.5"), inboxNone.Receiver(),
      [] { return std::make_shared<const KeyRing>(); }, &error);
  ASSERT_TRUE(none) << error;

  EXPECT_EQ(none->SendToGroup("<none/>"), kMulticastNoKey);
  ASSERT_EQ(a->SendToGroup("<a/>"), S_OK);
  ASSERT_EQ(a->SendTo("127.0.0.3", "<a-to-b/>"), S_OK);
  ASSERT_EQ(b->SendToGroup("<b/>"), S_OK);
  // One datagram sealed with A's key, sent twice from one address and once from another.
  DatagramSealer sealer(77);
  std::string sealed;
  ASSERT_TRUE(sealer.Seal(*ringA->InUse(),
                          SplitMessage(77, sealer.incarnationLow(), 1, "<raw/>", 1000)[0],
                          SealPath::kStation, &sealed));
  asio::io_context io;
  for (const char* from : {"127.0.0.6", "127.0.0.6", "127.0.0.8"}) {
    asio::ip::udp::socket raw(io, asio::ip::udp::endpoint(asio::ip::make_address_v4(from), 0));
    raw.send_to(asio::buffer(sealed),
                asio::ip::udp::endpoint(asio::ip::make_address_v4("127.0.0.2"),
                                        TestSettings("127.0.0.2").port));
  }

  auto texts = [](const std::vector<MulticastMessage>& messages) {
    std::vector<std::string> all;
    for (const auto& m : messages) all.push_back(m.text);
    std::sort(all.begin(), all.end());
    return all;
  };
  EXPECT_EQ(texts(inboxA.WaitFor(3, milliseconds(1000))),
            (std::vector<std::string>{"<a/>", "<raw/>"}));
  EXPECT_EQ(texts(inboxB.WaitFor(2, milliseconds(500))), (std::vector<std::string>{"<b/>"}));
  EXPECT_TRUE(inboxNone.WaitFor(1, milliseconds(0)).empty());
  const MulticastCounters countersA = a->Counters(), countersB = b->Counters();
  EXPECT_EQ(countersA.replayed, 2u);
  EXPECT_GE(countersA.foreignKey, 1u);  // b's group message
  EXPECT_GE(countersB.foreignKey, 2u);  // a's group message and a's unicast
  EXPECT_GE(none->Counters().foreignKey, 2u);
}

TEST(MulticastSettingsTest, WrongSettingsAreRefused) {
  const struct {
    const char* name;
    void (*change)(MulticastSettings*);
  } cases[] = {
      {"unicast group", [](MulticastSettings* s) { s->group = "127.0.0.1"; }},
      {"group text", [](MulticastSettings* s) { s->group = "239.255.1"; }},
      {"multicast interface", [](MulticastSettings* s) { s->interfaceAddress = "239.1.1.1"; }},
      {"no unicast address", [](MulticastSettings* s) { s->unicastAddress = "0.0.0.0"; }},
      {"ttl", [](MulticastSettings* s) { s->ttl = 256; }},
      {"tiny datagrams", [](MulticastSettings* s) { s->datagramBytes = 50; }},
      {"huge datagrams", [](MulticastSettings* s) { s->datagramBytes = 70000; }},
      {"too many fragments",
       [](MulticastSettings* s) {
         s->datagramBytes = 100;
         s->maxMessageBytes = 1u << 20;
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    MulticastSettings settings = TestSettings("127.0.0.2");
    EXPECT_TRUE(CheckMulticastSettings(settings, nullptr));
    c.change(&settings);
    std::string error;
    EXPECT_FALSE(CheckMulticastSettings(settings, &error));
    EXPECT_FALSE(error.empty());
  }
}

// ---- network mode, in a network namespace of the test's own ----

// Runs a command; system() forks from the calling thread, so it acts in that thread's namespace.
bool Run(const std::string& command) {
  return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

std::vector<std::string> NamesOf(const std::vector<InterfaceInfo>& interfaces) {
  std::vector<std::string> names;
  for (const InterfaceInfo& one : interfaces) names.push_back(one.name);
  std::sort(names.begin(), names.end());
  return names;
}

// Polls until the transport's interfaces are names (bounded).
bool InterfacesBecome(const MulticastTransport& transport, std::vector<std::string> names) {
  const auto deadline = Clock::now() + milliseconds(3000);
  while (NamesOf(transport.Interfaces()) != names && Clock::now() < deadline) {
    std::this_thread::sleep_for(milliseconds(20));
  }
  return NamesOf(transport.Interfaces()) == names;
}

// "group <text>@address from sender" for each message of messages holding tag, sorted.
std::vector<std::string> Heard(const std::vector<MulticastMessage>& messages, const char* tag) {
  std::vector<std::string> heard;
  for (const MulticastMessage& m : messages) {
    if (m.text.find(tag) == std::string::npos) continue;
    heard.push_back((m.delivery == MulticastDelivery::kGroup ? "group " : "unicast ") + m.text +
                    " from " + m.from);
  }
  std::sort(heard.begin(), heard.end());
  return heard;
}

// Two veth pairs qaN-qbN (10.71.N.1 and 10.71.N.2): station A announces on qa1 and qa2,
// station B listens on qb1 and qb2, so each of A's copies crosses a pair of its own.
void NetworkModeInNamespace() {
  if (::unshare(CLONE_NEWNET) != 0) GTEST_SKIP() << "no network namespace may be made here";
  bool made = Run("ip link set lo up");
  for (const char* n : {"1", "2"}) {
    const std::string qa = std::string("qa") + n, qb = std::string("qb") + n;
    made = made && Run("ip link add " + qa + " type veth peer name " + qb) &&
           Run("ip addr add 10.71." + std::string(n) + ".1/24 dev " + qa) &&
           Run("ip addr add 10.71." + std::string(n) + ".2/24 dev " + qb) &&
           Run("ip link set " + qa + " up") && Run("ip link set " + qb + " up");
  }
  // The pairs' ends share the namespace: a datagram arrives from an address of this host.
  made = made && Run("sysctl -w net.ipv4.conf.all.accept_local=1") &&
         Run("sysctl -w net.ipv4.conf.all.rp_filter=0");
  if (!made) GTEST_SKIP() << "veth pairs cannot be made here (ip, sysctl)";

  auto ring = std::make_shared<KeyRing>();
  ring->keys.push_back(GenerateClusterKey(true).value());
  ring->inUse = ring->keys[0].id;
  const KeyRingSource keys = [ring] { return ring; };
  Mutex mutex;
  std::vector<std::string> events;  // "+qb2 running"
  MulticastInterfaceHooks hooks;
  hooks.rewrite = [](std::string_view text, const InterfaceInfo& by) {
    return std::string(text) + "@" + by.AddressText();
  };
  hooks.changed = [&](const MulticastInterfaceEvent& event) {
    MutexLock lock(&mutex);
    const char* kind = event.kind == MulticastInterfaceEvent::Kind::kJoined ? "+"
                       : event.kind == MulticastInterfaceEvent::Kind::kLeft ? "-"
                                                                            : "!";
    events.push_back(kind + event.interface.name + (event.running ? " running" : ""));
  };
  auto settingsOf = [](const char* unicast, std::vector<std::string> interfaces) {
    MulticastSettings settings;
    settings.group = "239.255.47.99";
    settings.port = 24790;
    settings.interfaceAddress = "10.71.1.1";
    settings.ttl = 1;
    settings.unicastAddress = unicast;
    settings.interfaces = std::move(interfaces);
    settings.interfaceRescanMs = 50;
    return settings;
  };
  Inbox inboxA, inboxB, inboxC;
  std::string error;
  auto a = MulticastTransport::Start(settingsOf("10.71.1.1", {"qa*"}), inboxA.Receiver(), keys,
                                     hooks, &error);
  ASSERT_TRUE(a) << error;
  auto b = MulticastTransport::Start(settingsOf("0.0.0.0", {"10.71.1.2/32", "qb2"}),
                                     inboxB.Receiver(), keys, hooks, &error);
  ASSERT_TRUE(b) << error;
  EXPECT_EQ(NamesOf(a->Interfaces()), (std::vector<std::string>{"qa1", "qa2"}));
  EXPECT_EQ(NamesOf(b->Interfaces()), (std::vector<std::string>{"qb1", "qb2"}));

  // A copy by each interface, naming its address; each arrives once.
  ASSERT_EQ(a->SendToGroup("<one/>"), S_OK);
  const std::vector<std::string> both = {"group <one/>@10.71.1.1 from 10.71.1.1",
                                         "group <one/>@10.71.2.1 from 10.71.2.1"};
  EXPECT_EQ(Heard(inboxB.WaitFor(2, milliseconds(2000)), "<one/>"), both);
  EXPECT_EQ(Heard(inboxA.WaitFor(2, milliseconds(2000)), "<one/>"), both);  // its own, looped
  // A reply names the interface whose subnet holds the receiver, and reaches only it.
  ASSERT_EQ(b->SendTo("10.71.2.1", "<reply/>"), S_OK);
  const auto replies = Heard(inboxA.WaitFor(3, milliseconds(2000)), "<reply/>");
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_TRUE(replies[0].starts_with("unicast <reply/>@10.71.2.2 from ")) << replies[0];
  std::this_thread::sleep_for(milliseconds(200));
  EXPECT_EQ(Heard(inboxB.WaitFor(99, milliseconds(0)), "<one/>").size(), 2u);
  EXPECT_TRUE(Heard(inboxB.WaitFor(99, milliseconds(0)), "<reply/>").empty());

  // An interface going down is left, and joined again when it comes back.
  ASSERT_TRUE(Run("ip link set qb2 down"));
  EXPECT_TRUE(InterfacesBecome(*b, {"qb1"}));
  a->SendToGroup("<two/>");
  EXPECT_EQ(Heard(inboxB.WaitFor(4, milliseconds(2000)), "<two/>"),
            (std::vector<std::string>{"group <two/>@10.71.1.1 from 10.71.1.1"}));
  ASSERT_TRUE(Run("ip link set qb2 up"));
  EXPECT_TRUE(InterfacesBecome(*b, {"qb1", "qb2"}));
  auto heardOn = [&inboxB](const char* text) {
    const auto heard = Heard(inboxB.WaitFor(999, milliseconds(0)), "<three/>");
    return std::find(heard.begin(), heard.end(), text) != heard.end();
  };
  for (int attempt = 0; attempt < 20 && !heardOn("group <three/>@10.71.2.1 from 10.71.2.1");
       ++attempt) {  // until the carrier is back
    a->SendToGroup("<three/>");
    std::this_thread::sleep_for(milliseconds(100));
  }
  EXPECT_TRUE(heardOn("group <three/>@10.71.2.1 from 10.71.2.1"));
  EXPECT_TRUE(heardOn("group <three/>@10.71.1.1 from 10.71.1.1"));
  {
    MutexLock lock(&mutex);
    EXPECT_NE(std::find(events.begin(), events.end(), "-qb2 running"), events.end());
    EXPECT_NE(std::find(events.begin(), events.end(), "+qb2 running"), events.end());
    EXPECT_NE(std::find(events.begin(), events.end(), "+qa1"), events.end());
  }

  // A list of interfaces that could not be read selects none: nothing is sent or joined.
  MulticastSettings unreadable = settingsOf("0.0.0.0", {});
  unreadable.interfacesError = "Interfaces is not a REG_MULTI_SZ";
  auto c = MulticastTransport::Start(unreadable, inboxC.Receiver(), keys, hooks, &error);
  ASSERT_TRUE(c) << error;
  EXPECT_TRUE(c->Interfaces().empty());
  EXPECT_EQ(c->SendToGroup("<none/>"), E_FAIL);
  EXPECT_EQ(c->SendTo("10.71.1.1", "<none/>"), E_FAIL);
  EXPECT_TRUE(Heard(inboxC.WaitFor(1, milliseconds(300)), "<one").empty());
}

TEST(MulticastNetworkModeTest, AnnouncesOnEachInterfaceWithItsAddressAndFollowsChanges) {
  // The namespace is this thread's alone (and the threads it starts): the host's network and
  // the rest of the process stay as they are.
  std::thread body(NetworkModeInNamespace);
  body.join();
}

// The owner hears of a station with a foreign key once, with that key's id, however often it
// sends; a station of its own key is never reported.
TEST_F(MulticastLoopbackTest, AForeignKeysSenderIsReportedOnce) {
  auto ringB = std::make_shared<KeyRing>();
  ringB->keys.push_back(GenerateClusterKey(true).value());
  ringB->inUse = ringB->keys[0].id;
  Mutex mutex;
  std::vector<std::pair<std::string, std::uint32_t>> reported;
  MulticastInterfaceHooks hooks;
  hooks.foreignKey = [&](const std::string& from, std::uint32_t keyId) {
    MutexLock lock(&mutex);
    reported.emplace_back(from, keyId);
  };
  Inbox inboxA, inboxB, inboxSame;
  std::string error;
  auto a = MulticastTransport::Start(
      TestSettings("127.0.0.2"), inboxA.Receiver(), [] { return CurrentKeyRing(); }, hooks, &error);
  ASSERT_TRUE(a) << error;
  auto b = MulticastTransport::Start(
      TestSettings("127.0.0.3"), inboxB.Receiver(), [ringB] { return ringB; }, &error);
  ASSERT_TRUE(b) << error;
  auto same = MulticastTransport::Start(TestSettings("127.0.0.5"), inboxSame.Receiver(), &error);
  ASSERT_TRUE(same) << error;
  for (int i = 0; i < 3; ++i) ASSERT_EQ(b->SendToGroup("<b/>"), S_OK);
  ASSERT_EQ(same->SendToGroup("<same/>"), S_OK);
  EXPECT_EQ(inboxA.WaitFor(1, milliseconds(2000)).size(), 1u);  // <same/>
  for (int i = 0; i < 100 && a->Counters().foreignKey < 3; ++i) {
    std::this_thread::sleep_for(milliseconds(20));
  }
  EXPECT_EQ(a->Counters().foreignKey, 3u);
  MutexLock lock(&mutex);
  ASSERT_EQ(reported.size(), 1u);
  EXPECT_EQ(reported[0].second, ringB->inUse);
  EXPECT_FALSE(reported[0].first.empty());
}

// ---- peers and relays (several groups on the loopback interface stand for areas) ----

// A station at unicast in the group of area (239.255.48.area), with peers; a relay when relay.
MulticastSettings AreaSettings(const char* unicast, int area, std::vector<std::string> peers = {},
                               bool relay = false) {
  MulticastSettings settings = TestSettings(unicast);
  settings.group = "239.255.48." + std::to_string(area);
  settings.peers = std::move(peers);
  settings.relay = relay;
  return settings;
}

std::vector<std::string> TextsOf(const std::vector<MulticastMessage>& messages) {
  std::vector<std::string> all;
  for (const auto& m : messages) {
    all.push_back((m.delivery == MulticastDelivery::kGroup ? "group " : "unicast ") + m.text);
  }
  std::sort(all.begin(), all.end());
  return all;
}

// A socket of the test's own that joins the group of area and catches what is sent to it.
class GroupTap {
 public:
  explicit GroupTap(int area) : socket_(io_) {
    const auto group = asio::ip::make_address_v4("239.255.48." + std::to_string(area));
    socket_.open(asio::ip::udp::v4());
    socket_.set_option(asio::ip::udp::socket::reuse_address(true));
    socket_.bind(asio::ip::udp::endpoint(group, TestSettings("127.0.0.1").port));
    socket_.set_option(
        asio::ip::multicast::join_group(group, asio::ip::make_address_v4("127.0.0.1")));
    timeval timeout{2, 0};
    ::setsockopt(socket_.native_handle(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  }
  std::string Next() {
    std::string datagram(65536, '\0');
    asio::error_code ec;
    const std::size_t size = socket_.receive(asio::buffer(datagram), 0, ec);
    datagram.resize(ec ? 0 : size);
    return datagram;
  }

 private:
  asio::io_context io_;
  asio::ip::udp::socket socket_;
};

void SendRaw(const std::string& datagram, const char* to) {
  asio::io_context io;
  asio::ip::udp::socket raw(io,
                            asio::ip::udp::endpoint(asio::ip::make_address_v4("127.0.0.60"), 0));
  raw.send_to(asio::buffer(datagram),
              asio::ip::udp::endpoint(asio::ip::make_address_v4(to), TestSettings(to).port));
}

// Peers get a station's group messages by unicast, as group messages, and send theirs; only a
// station with peers takes a group datagram at its own address, only sealed and only once; a
// station that is no relay carries nothing on.
TEST_F(MulticastLoopbackTest, PeersTakeEachOthersGroupDatagramsSealedAndOnce) {
  Inbox inboxP, inboxQ, inboxQuiet;
  std::string error;
  GroupTap tap(4);
  auto p = MulticastTransport::Start(AreaSettings("127.0.0.31", 4, {"127.0.0.32", "127.0.0.31"}),
                                     inboxP.Receiver(), &error);
  ASSERT_TRUE(p) << error;
  auto q = MulticastTransport::Start(AreaSettings("127.0.0.32", 5, {"127.0.0.31"}),
                                     inboxQ.Receiver(), &error);
  ASSERT_TRUE(q) << error;
  auto quiet =
      MulticastTransport::Start(AreaSettings("127.0.0.33", 5), inboxQuiet.Receiver(), &error);
  ASSERT_TRUE(quiet) << error;

  ASSERT_EQ(p->SendToGroup("<p/>"), S_OK);
  const std::string captured = tap.Next();  // p's group datagram, as it went to the group
  ASSERT_FALSE(captured.empty());
  ASSERT_EQ(q->SendToGroup("<q/>"), S_OK);
  ASSERT_EQ(p->SendTo("127.0.0.32", "<p-to-q/>"), S_OK);
  EXPECT_EQ(TextsOf(inboxQ.WaitFor(3, milliseconds(2000))),
            (std::vector<std::string>{"group <p/>", "group <q/>", "unicast <p-to-q/>"}));
  EXPECT_EQ(TextsOf(inboxP.WaitFor(2, milliseconds(2000))),
            (std::vector<std::string>{"group <p/>", "group <q/>"}));  // its own peer entry: none

  // The same datagram again at q (a copy, or a loop), at a station without peers, and forged.
  std::string forged = captured;
  forged[forged.size() - 1] ^= 0x5A;
  std::string unsealed = captured;
  unsealed[5] = 0;  // the flags: not sealed
  SendRaw(captured, "127.0.0.32");
  SendRaw(captured, "127.0.0.33");
  SendRaw(forged, "127.0.0.32");
  SendRaw(unsealed, "127.0.0.32");
  for (int i = 0;
       i < 200 &&
       quiet->Counters().unopenable + q->Counters().duplicates + q->Counters().unopenable < 4;
       ++i) {
    std::this_thread::sleep_for(milliseconds(10));
  }
  // The copy, and the forged one, whose sequence number was taken already (the window is
  // looked at before the tag): copies, which a station with peers expects; the unsealed one
  // does not open.
  EXPECT_EQ(q->Counters().duplicates, 2u);
  EXPECT_EQ(q->Counters().replayed, 0u);
  EXPECT_EQ(q->Counters().unopenable, 1u);
  EXPECT_EQ(quiet->Counters().unopenable, 1u);  // no peers: a group datagram by unicast
  EXPECT_EQ(inboxQ.WaitFor(4, milliseconds(0)).size(), 3u);
  // quiet hears q's group message only: q is no relay, so p's messages stay out of area 5.
  EXPECT_EQ(TextsOf(inboxQuiet.WaitFor(2, milliseconds(300))),
            (std::vector<std::string>{"group <q/>"}));
  EXPECT_EQ(q->Counters().relayed, 0u);
}

// Three areas whose relays are each other's peers, a loop of three: a station's messages reach
// every area once, and each relay forwards each datagram once to each target, however the
// copies come round.
TEST_F(MulticastLoopbackTest, ALoopOfThreeRelaysCarriesEachDatagramOnceEverywhere) {
  const char* relays[] = {"127.0.0.11", "127.0.0.12", "127.0.0.13"};
  const char* members[] = {"127.0.0.21", "127.0.0.22", "127.0.0.23"};
  std::vector<std::unique_ptr<MulticastTransport>> relay, member;
  Inbox inboxes[3];
  Inbox relayInboxes[3];
  std::string error;
  for (int area = 0; area < 3; ++area) {
    std::vector<std::string> peers;
    for (int other = 0; other < 3; ++other) {
      if (other != area) peers.push_back(relays[other]);
    }
    relay.push_back(MulticastTransport::Start(AreaSettings(relays[area], 10 + area, peers, true),
                                              relayInboxes[area].Receiver(), &error));
    ASSERT_TRUE(relay.back()) << error;
    member.push_back(MulticastTransport::Start(AreaSettings(members[area], 10 + area),
                                               inboxes[area].Receiver(), &error));
    ASSERT_TRUE(member.back()) << error;
  }
  constexpr int kMessages = 20;
  std::vector<std::string> sent;
  for (int i = 0; i < kMessages; ++i) {
    sent.push_back("group <m" + std::to_string(100 + i) + "/>");
    ASSERT_EQ(member[0]->SendToGroup("<m" + std::to_string(100 + i) + "/>"), S_OK);
  }
  std::sort(sent.begin(), sent.end());
  for (int area = 0; area < 3; ++area) {
    SCOPED_TRACE(area);
    EXPECT_EQ(TextsOf(inboxes[area].WaitFor(kMessages, milliseconds(3000))), sent);
    EXPECT_EQ(TextsOf(relayInboxes[area].WaitFor(kMessages, milliseconds(3000))), sent);
  }
  // Whatever was still travelling has arrived and been refused; nothing more comes.
  std::this_thread::sleep_for(milliseconds(300));
  std::uint64_t relayed = 0;
  for (int area = 0; area < 3; ++area) {
    SCOPED_TRACE(area);
    EXPECT_EQ(inboxes[area].WaitFor(kMessages + 1, milliseconds(0)).size(),
              static_cast<std::size_t>(kMessages));
    EXPECT_EQ(relayInboxes[area].WaitFor(kMessages + 1, milliseconds(0)).size(),
              static_cast<std::size_t>(kMessages));
    // Each relay sent each datagram on to two places (two peers, or a peer and its group).
    EXPECT_EQ(relay[area]->Counters().relayed, 2u * kMessages);
    // The copies that came round (to the relays of the areas the messages came to) are
    // expected where relays are, not replays to warn of.
    if (area > 0) {
      EXPECT_GE(relay[area]->Counters().duplicates, 1u * kMessages);
    }
    EXPECT_EQ(relay[area]->Counters().replayed, 0u);
    relayed += relay[area]->Counters().relayed;
  }
  EXPECT_EQ(relayed, 6u * kMessages);
}

// A relay carries a group datagram on only when it opened as authentic and new: never a copy
// of one it carried, one sealed for one station, one altered, under a foreign key or unsealed.
TEST_F(MulticastLoopbackTest, ARelayCarriesOnlyNewAuthenticGroupDatagrams) {
  Inbox inbox;
  std::string error;
  auto relay = MulticastTransport::Start(AreaSettings("127.0.0.51", 8, {"127.0.0.52"}, true),
                                         inbox.Receiver(), &error);
  ASSERT_TRUE(relay) << error;
  const ClusterKey key = *CurrentKeyRing()->InUse();
  const ClusterKey foreign = GenerateClusterKey(true).value();
  constexpr std::uint32_t kSender = 77;  // one sender id: one lane, taken in the order sent
  DatagramSealer sealer(kSender);
  DatagramSealer other(kSender);
  std::uint32_t messageId = 0;
  auto seal = [&](DatagramSealer& by, const ClusterKey& with, SealPath path,
                  const std::string& text) {
    std::string sealed;
    EXPECT_TRUE(by.Seal(with,
                        SplitMessage(kSender, by.incarnationLow(), ++messageId, text, 1000)[0],
                        path, &sealed));
    return sealed;
  };
  const std::string first = seal(sealer, key, SealPath::kGroup, "<first/>");
  std::string altered = seal(sealer, key, SealPath::kGroup, "<altered/>");
  altered[altered.size() - 1] ^= 0x5A;
  std::string unsealed = seal(sealer, key, SealPath::kGroup, "<unsealed/>");
  unsealed[5] = 0;
  const struct Case {
    const char* name;
    std::string datagram;
    std::uint64_t carried;  // to the group and the peer: 2 when carried on
  } cases[] = {
      {"a new group datagram", first, 2},
      {"the same again", first, 0},
      {"sealed for one station", seal(sealer, key, SealPath::kStation, "<station/>"), 0},
      {"an altered tag", altered, 0},
      {"under a key not in the ring", seal(other, foreign, SealPath::kGroup, "<foreign/>"), 0},
      {"not sealed", unsealed, 0},
      {"a newer group datagram", seal(sealer, key, SealPath::kGroup, "<second/>"), 2},
  };
  std::size_t seen = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::uint64_t before = relay->Counters().relayed;
    SendRaw(c.datagram, "127.0.0.51");
    // A message of the same sender behind it: once it is in, the case's datagram was handled.
    const std::string marker = std::string("<marker ") + c.name + "/>";
    SendRaw(seal(sealer, key, SealPath::kStation, marker), "127.0.0.51");
    const auto deadline = Clock::now() + milliseconds(3000);
    bool marked = false;
    while (!marked && Clock::now() < deadline) {
      const auto got = inbox.WaitFor(++seen, milliseconds(100));
      seen = got.size();
      marked = std::any_of(got.begin(), got.end(),
                           [&](const MulticastMessage& m) { return m.text == marker; });
    }
    ASSERT_TRUE(marked);
    EXPECT_EQ(relay->Counters().relayed - before, c.carried);
  }
}

// A peer name that does not resolve, or whose resolver hangs, holds up no send: the peers that
// are known get the message at once, and the owner hears of the name.
TEST_F(MulticastLoopbackTest, AnUnresolvedPeerNameHoldsUpNoSend) {
  Mutex mutex;
  CondVar changed(&mutex);
  bool release = false;
  bool inside = false;
  std::vector<std::string> unresolved;
  MulticastInterfaceHooks hooks;
  hooks.resolvePeer = [&](const std::string&) -> std::optional<std::uint32_t> {
    MutexLock lock(&mutex);
    inside = true;
    changed.SignalAll();
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (!release && Clock::now() < deadline) changed.WaitUntil(deadline);
    return std::nullopt;
  };
  hooks.peerUnresolved = [&](const std::string& name) {
    MutexLock lock(&mutex);
    unresolved.push_back(name);
  };
  Inbox inboxS, inboxPeer;
  std::string error;
  auto peer = MulticastTransport::Start(AreaSettings("127.0.0.42", 7, {"127.0.0.41"}),
                                        inboxPeer.Receiver(), &error);
  ASSERT_TRUE(peer) << error;
  auto s = MulticastTransport::Start(
      AreaSettings("127.0.0.41", 6, {"nowhere.invalid", "127.0.0.42"}), inboxS.Receiver(),
      [] { return CurrentKeyRing(); }, hooks, &error);
  ASSERT_TRUE(s) << error;
  {
    MutexLock lock(&mutex);
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (!inside && Clock::now() < deadline) changed.WaitUntil(deadline);
    ASSERT_TRUE(inside);
  }
  ASSERT_EQ(s->SendToGroup("<s/>"), S_OK);
  EXPECT_EQ(TextsOf(inboxPeer.WaitFor(1, milliseconds(2000))),
            (std::vector<std::string>{"group <s/>"}));
  {
    MutexLock lock(&mutex);
    EXPECT_TRUE(unresolved.empty());  // the lookup is still running
    release = true;
    changed.SignalAll();
  }
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  for (;;) {
    {
      MutexLock lock(&mutex);
      if (!unresolved.empty() || Clock::now() >= deadline) break;
    }
    std::this_thread::sleep_for(milliseconds(10));
  }
  MutexLock lock(&mutex);
  ASSERT_FALSE(unresolved.empty());
  EXPECT_EQ(unresolved[0], "nowhere.invalid");
}

}  // namespace
}  // namespace qx
