// qxload.cpp - the load generator of tests/load/run: RPC clients and a datagram flood.
//
//   qxload rpc --host 127.0.0.21 --clients 64 --seconds 60 --request '<GetHostDetails/>'
//              --readfile /srv/files/small.bin --count 4096 [--timeline] [--count-text TEXT]
//              [--reconnect] [--calls N]
//     N client threads, each with a connection of its own to the station's project-manager
//     service, send the requests in turn (a READFILE is a data request of COUNT bytes from the
//     start of the file) until the time is up. Prints one line of key=value figures: calls,
//     calls per second, p50/p99/max latency in microseconds, failures (a call that was not
//     delivered or answered, or whose result is a failure; "failed_results" counts the latter
//     alone, "retry_later" the answers of a full server) and, with --count-text, how many
//     answers contained TEXT (those are not listed as failures below). --timeline adds one line
//     a second (calls, failures, slowest call) before it; "failure N x HRESULT ANSWER" lines list
//     a few distinct failures. --reconnect makes every call on a connection of its own (kept
//     connections are dropped after each call), as stations that call now and then do.
//
//   qxload flood --target 127.0.0.21 --from 127.0.0.99 --port 24790 --rate 10000 --seconds 20
//     Datagrams at RATE a second, in turn: random bytes to the target's unicast address, random
//     bytes to the group, a well-formed JOIN of a foreign host (from a pool of --hosts names) to
//     the group or the target, and the first fragment of a large message that never completes.
//     Group datagrams leave on interface 127.0.0.1 with TTL 0. Prints what was sent.
//
//   qxload silent --target 127.0.0.21 --port 24781 --port 24782 --connections 2200 --seconds 10
//     Keyless peers: CONNECTIONS TCP connections, spread over the ports, that never send a byte;
//     each one the server closes is opened again at once. Prints how many were opened.
//
// Everything is bounded by --seconds (at most 600). Exit code 0 when the run took place, 2 for a
// wrong command line.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "common/little_endian.h"
#include "common/text.h"
#include "messaging/multicast_fragments.h"
#include "rpc/rpc.h"
#include "rpc/rpc_pool.h"
#include "rpc/rpc_settings.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kMaxSeconds = 600;
constexpr int kMaxClients = 1024;
constexpr int kMaxSilent = 20000;

struct Options {
  std::string mode;
  std::string host = "127.0.0.1";
  int clients = 1;
  int seconds = 5;
  std::vector<std::string> requests;
  std::string readFile;
  std::uint32_t count = 4096;
  bool timeline = false;
  bool reconnect = false;
  std::int64_t calls = 0;  // 0: as many as the time allows
  std::string countText;
  // flood
  std::string target;
  std::string from = "127.0.0.99";
  std::string group = "239.255.47.81";
  int port = 24780;
  std::vector<int> ports;  // silent: every --port
  int connections = 100;
  int rate = 10000;
  int hosts = 1000;
};

[[noreturn]] void Usage(const char* why) {
  std::fprintf(stderr,
               "qxload: %s\nusage: qxload rpc --host ADDR --clients N --seconds S "
               "[--request XML]... [--readfile PATH --count N] [--timeline] [--count-text T] "
               "[--reconnect] [--calls N]\n"
               "       qxload flood --target ADDR [--from ADDR] [--group G] [--port P] "
               "[--rate R] [--seconds S] [--hosts N]\n"
               "       qxload silent --target ADDR --port P [--port P]... [--connections N] "
               "[--seconds S]\n",
               why);
  std::exit(2);
}

int Number(const char* text, int low, int high) {
  char* end = nullptr;
  const long value = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || value < low || value > high) Usage("number out of range");
  return static_cast<int>(value);
}

Options Parse(int argc, char** argv) {
  Options o;
  if (argc < 2) Usage("no mode");
  o.mode = argv[1];
  for (int i = 2; i < argc; ++i) {
    const std::string word = argv[i];
    auto next = [&]() -> const char* {
      if (i + 1 >= argc) Usage("an option lacks its value");
      return argv[++i];
    };
    if (word == "--host")
      o.host = next();
    else if (word == "--clients")
      o.clients = Number(next(), 1, kMaxClients);
    else if (word == "--seconds")
      o.seconds = Number(next(), 1, kMaxSeconds);
    else if (word == "--request")
      o.requests.emplace_back(next());
    else if (word == "--readfile")
      o.readFile = next();
    else if (word == "--count")
      o.count = static_cast<std::uint32_t>(Number(next(), 1, 1 << 24));
    else if (word == "--timeline")
      o.timeline = true;
    else if (word == "--reconnect")
      o.reconnect = true;
    else if (word == "--calls")
      o.calls = Number(next(), 1, 100000000);
    else if (word == "--count-text")
      o.countText = next();
    else if (word == "--target")
      o.target = next();
    else if (word == "--from")
      o.from = next();
    else if (word == "--group")
      o.group = next();
    else if (word == "--port")
      o.ports.push_back(o.port = Number(next(), 1, 65535));
    else if (word == "--connections")
      o.connections = Number(next(), 1, kMaxSilent);
    else if (word == "--rate")
      o.rate = Number(next(), 1, 1000000);
    else if (word == "--hosts")
      o.hosts = Number(next(), 1, 1000000);
    else
      Usage(("unknown option " + word).c_str());
  }
  return o;
}

// ---------------------------------------------------------------------------------------------
// RPC load

// A READFILE request block: the request as UTF-16LE text with its terminating zero.
std::string ReadFileBlock(const std::string& file, std::uint32_t count) {
  const std::u16string wide = qx::Utf8ToUtf16(
      qx::Format("<READFILE><FILE>%s</FILE><FROM>0</FROM><COUNT>%u</COUNT></READFILE>",
                 qx::XmlEscape(file).c_str(), static_cast<unsigned>(count)));
  std::string block((wide.size() + 1) * 2, '\0');
  for (std::size_t i = 0; i < wide.size(); ++i) qx::PutLe16(&block[i * 2], wide[i]);
  return block;
}

// Per second of the run: completed calls, failures and the slowest call.
struct Second {
  std::atomic<std::uint64_t> calls{0};
  std::atomic<std::uint64_t> failures{0};
  std::atomic<std::uint64_t> maxMicros{0};
};

struct ClientResult {
  std::vector<std::uint32_t> micros;
  std::uint64_t failures = 0;
  std::uint64_t failedResults = 0;
  std::uint64_t retryLater = 0;
  std::uint64_t textMatches = 0;
  std::uint64_t connectFailures = 0;
  std::map<std::string, std::uint64_t> failureKinds;  // a few distinct failures, counted
};

// Remembers what a failure looked like: its result and the start of its answer.
void NoteFailure(ClientResult* result, const std::string& kind) {
  constexpr std::size_t kMaxKinds = 8;
  auto found = result->failureKinds.find(kind);
  if (found != result->failureKinds.end()) {
    ++found->second;
  } else if (result->failureKinds.size() < kMaxKinds) {
    result->failureKinds.emplace(kind, 1);
  }
}

// The calls that the clients of a run with --calls have begun, together.
std::atomic<std::int64_t> callsBegun{0};

void RunClient(const Options& o, const std::string& readBlock, qx::RpcConnectionPool* pool,
               Clock::time_point start, Clock::time_point end, Second* seconds,
               ClientResult* result) {
  const std::size_t kinds = o.requests.size() + (o.readFile.empty() ? 0 : 1);
  std::unique_ptr<qx::CRPCClientW> client;
  std::size_t turn = 0;
  while (Clock::now() < end) {
    if (!client) {
      client = std::make_unique<qx::CRPCClientW>();
      client->setConnectionPool(*pool);
      if (!client->Connect(qx::kServiceProjectManager, o.host, "qxload")) {
        ++result->connectFailures;
        client.reset();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        continue;
      }
    }
    if (o.calls > 0 && callsBegun.fetch_add(1) >= o.calls) break;
    const std::size_t kind = turn++ % kinds;
    const auto begin = Clock::now();
    bool delivered = false;
    bool good = false;
    if (kind < o.requests.size()) {
      qx::AnswerText answer;
      delivered = client->SendString(qx::DATA_ID_REQUEST, o.requests[kind], &answer);
      good = delivered && !qx::Failed(client->lastResult);
      const bool counted = delivered && !o.countText.empty() && answer &&
                           answer->find(o.countText) != std::string::npos;
      if (counted) ++result->textMatches;
      if (delivered && !good && !counted) {
        NoteFailure(result, qx::Format("0x%08x %s", static_cast<unsigned>(client->lastResult),
                                       answer ? answer->substr(0, 80).c_str() : "<no answer>"));
      }
    } else {
      qx::ByteBlock block;
      delivered = client->SendData(qx::DATA_ID_READ_FILE,
                                   reinterpret_cast<const std::uint8_t*>(readBlock.data()),
                                   readBlock.size(), &block);
      good = delivered && !qx::Failed(client->lastResult) && block.size() <= o.count;
    }
    const auto done = Clock::now();
    const auto micros = static_cast<std::uint32_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(done - begin).count());
    result->micros.push_back(micros);
    if (delivered && client->lastResult == qx::RPC_E_SERVERCALL_RETRYLATER) ++result->retryLater;
    if (delivered && !good) ++result->failedResults;
    if (!good) ++result->failures;
    if (!delivered) NoteFailure(result, "not delivered");
    const auto second = std::min<std::int64_t>(
        std::chrono::duration_cast<std::chrono::seconds>(done - start).count(), kMaxSeconds);
    Second& slot = seconds[second];
    slot.calls.fetch_add(1, std::memory_order_relaxed);
    if (!good) slot.failures.fetch_add(1, std::memory_order_relaxed);
    std::uint64_t seen = slot.maxMicros.load(std::memory_order_relaxed);
    while (micros > seen && !slot.maxMicros.compare_exchange_weak(seen, micros)) {
    }
    if (!delivered) {
      client.reset();  // a failed call leaves the connection unusable: connect again
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    } else if (o.reconnect) {
      client.reset();  // and no kept connection either: every call a new TCP and TLS session
      qx::DropKeptRpcConnections(*pool);
    }
  }
}

int RunRpc(const Options& o) {
  if (o.requests.empty() && o.readFile.empty()) Usage("rpc needs --request or --readfile");
  const std::string readBlock =
      o.readFile.empty() ? std::string() : ReadFileBlock(o.readFile, o.count);
  std::vector<Second> seconds(kMaxSeconds + 1);
  std::vector<ClientResult> results(static_cast<std::size_t>(o.clients));
  // The clients keep their connections in one pool, as the clients of one station do.
  qx::RpcConnectionPool pool;
  const auto start = Clock::now();
  const auto end = start + std::chrono::seconds(o.seconds);
  {
    std::vector<std::jthread> threads;
    for (ClientResult& result : results) {
      threads.emplace_back(RunClient, std::cref(o), std::cref(readBlock), &pool, start, end,
                           seconds.data(), &result);
    }
  }
  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  ClientResult all;
  for (ClientResult& r : results) {
    all.micros.insert(all.micros.end(), r.micros.begin(), r.micros.end());
    all.failures += r.failures;
    all.failedResults += r.failedResults;
    all.retryLater += r.retryLater;
    all.textMatches += r.textMatches;
    all.connectFailures += r.connectFailures;
    for (const auto& [kind, n] : r.failureKinds) all.failureKinds[kind] += n;
  }
  for (const auto& [kind, n] : all.failureKinds) {
    std::printf("failure %llu x %s\n", static_cast<unsigned long long>(n), kind.c_str());
  }
  std::sort(all.micros.begin(), all.micros.end());
  auto at = [&](double q) -> std::uint32_t {
    if (all.micros.empty()) return 0;
    return all
        .micros[std::min(all.micros.size() - 1,
                         static_cast<std::size_t>(q * static_cast<double>(all.micros.size())))];
  };
  if (o.timeline) {
    const int last = std::min(kMaxSeconds, o.seconds);
    for (int s = 0; s <= last; ++s) {
      std::printf("second=%d calls=%llu failures=%llu max_us=%llu\n", s,
                  static_cast<unsigned long long>(seconds[s].calls.load()),
                  static_cast<unsigned long long>(seconds[s].failures.load()),
                  static_cast<unsigned long long>(seconds[s].maxMicros.load()));
    }
  }
  std::printf(
      "calls=%zu per_s=%.0f p50_us=%u p99_us=%u max_us=%u failures=%llu failed_results=%llu "
      "retry_later=%llu connect_failures=%llu text_matches=%llu seconds=%.1f\n",
      all.micros.size(), static_cast<double>(all.micros.size()) / elapsed, at(0.5), at(0.99),
      all.micros.empty() ? 0u : all.micros.back(), static_cast<unsigned long long>(all.failures),
      static_cast<unsigned long long>(all.failedResults),
      static_cast<unsigned long long>(all.retryLater),
      static_cast<unsigned long long>(all.connectFailures),
      static_cast<unsigned long long>(all.textMatches), elapsed);
  return 0;
}

// ---------------------------------------------------------------------------------------------
// Datagram flood

class UdpSocket {
 public:
  UdpSocket() : fd_(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {}
  ~UdpSocket() {
    if (fd_ >= 0) ::close(fd_);
  }
  UdpSocket(const UdpSocket&) = delete;
  UdpSocket& operator=(const UdpSocket&) = delete;
  int fd() const { return fd_; }

 private:
  int fd_;
};

sockaddr_in Address(const std::string& ipv4, int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  if (::inet_pton(AF_INET, ipv4.c_str(), &address.sin_addr) != 1) Usage("not an IPv4 address");
  return address;
}

bool IsLoopback(const sockaddr_in& address) {
  return (ntohl(address.sin_addr.s_addr) >> 24) == 127;
}

int RunFlood(const Options& o) {
  const sockaddr_in target = Address(o.target, o.port);
  const sockaddr_in group = Address(o.group, o.port);
  const sockaddr_in from = Address(o.from, 0);
  if (!IsLoopback(target) || !IsLoopback(from)) Usage("the flood stays on 127.0.0.0/8");
  UdpSocket socket;
  const in_addr loopback{htonl(INADDR_LOOPBACK)};
  const unsigned char ttl = 0;
  if (socket.fd() < 0 ||
      ::bind(socket.fd(), reinterpret_cast<const sockaddr*>(&from), sizeof from) != 0 ||
      ::setsockopt(socket.fd(), IPPROTO_IP, IP_MULTICAST_IF, &loopback, sizeof loopback) != 0 ||
      ::setsockopt(socket.fd(), IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl) != 0) {
    std::fprintf(stderr, "qxload: socket: %s\n", std::strerror(errno));
    return 1;
  }
  std::mt19937_64 random(0x51a7e);
  std::uniform_int_distribution<int> size(1, 1400);
  std::uniform_int_distribution<int> byte(0, 255);
  // The foreign hosts: each keeps one sender id, as a station does.
  std::vector<std::uint32_t> senders(static_cast<std::size_t>(o.hosts));
  for (std::uint32_t& id : senders) id = static_cast<std::uint32_t>(random());
  const std::uint32_t incarnation = static_cast<std::uint32_t>(random());

  std::map<std::string, std::uint64_t> sent;
  std::uint64_t failures = 0;
  std::uint32_t messageId = 1;
  std::string datagram;
  const auto start = Clock::now();
  const auto end = start + std::chrono::seconds(o.seconds);
  std::uint64_t index = 0;
  for (auto now = start; now < end; now = Clock::now()) {
    const auto due =
        static_cast<std::uint64_t>(std::chrono::duration<double>(now - start).count() * o.rate);
    for (; index < due; ++index) {
      const sockaddr_in* to = &group;
      const char* kind = "";
      switch (index % 4) {
        case 0:
        case 1: {
          datagram.resize(static_cast<std::size_t>(size(random)));
          for (char& c : datagram) c = static_cast<char>(byte(random));
          to = index % 4 == 0 ? &target : &group;
          kind = index % 4 == 0 ? "random_unicast" : "random_group";
          break;
        }
        case 2: {
          const std::size_t host = (index / 4) % senders.size();
          const std::string join = qx::Format(
              "<QXDISCOVER><EVENT>JOIN</EVENT><Receiver>*</Receiver><Host>FOREIGN%zu</Host>"
              "<Domain>ELSEWHERE</Domain><IP>%s</IP><PROJECTLIST><PROJECT><Name>F%zu</Name>"
              "<Type>Multi User</Type><STATE>Run Time</STATE><DSN>F%zu</DSN>"
              "<HOST>FOREIGN%zu</HOST><Server>FOREIGN%zu</Server></PROJECT></PROJECTLIST>"
              "</QXDISCOVER>",
              host, o.from.c_str(), host, host, host, host);
          datagram = qx::SplitMessage(senders[host], incarnation, messageId++, join, 60000).at(0);
          to = (index / 4) % 2 == 0 ? &group : &target;
          kind = "foreign_join";
          break;
        }
        default: {
          // The first of 16 fragments of a 1 MiB message that never comes whole.
          qx::FragmentHeader header;
          header.senderId = static_cast<std::uint32_t>(random());
          header.incarnation = static_cast<std::uint32_t>(random());
          header.messageId = messageId++;
          header.count = 16;
          header.totalLength = 1u << 20;
          datagram.assign(qx::kFragmentHeaderBytes + 1024, 'x');
          qx::PutFragmentHeader(header, reinterpret_cast<std::uint8_t*>(datagram.data()));
          to = (index / 4) % 2 == 0 ? &group : &target;
          kind = "unfinished_fragment";
          break;
        }
      }
      if (::sendto(socket.fd(), datagram.data(), datagram.size(), 0,
                   reinterpret_cast<const sockaddr*>(to), sizeof *to) < 0) {
        ++failures;
      } else {
        ++sent[kind];
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  std::uint64_t total = 0;
  for (const auto& [kind, n] : sent) total += n;
  std::printf("sent=%llu per_s=%.0f send_failures=%llu", static_cast<unsigned long long>(total),
              static_cast<double>(total) / elapsed, static_cast<unsigned long long>(failures));
  for (const auto& [kind, n] : sent) {
    std::printf(" %s=%llu", kind.c_str(), static_cast<unsigned long long>(n));
  }
  std::printf("\n");
  return 0;
}

// ---------------------------------------------------------------------------------------------
// Silent keyless peers

int RunSilent(const Options& o) {
  const sockaddr_in target = Address(o.target, 0);
  if (!IsLoopback(target)) Usage("silent sends only to 127.0.0.0/8");
  // Room for every connection: the soft descriptor limit as high as the hard one allows.
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) == 0) {
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
  }
  std::vector<pollfd> polls(static_cast<std::size_t>(o.connections));
  std::uint64_t opened = 0;
  std::uint64_t openFailures = 0;
  auto open = [&](std::size_t i) {
    sockaddr_in to = target;
    to.sin_port = htons(static_cast<std::uint16_t>(o.ports[i % o.ports.size()]));
    polls[i].fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    polls[i].events = POLLIN;
    if (polls[i].fd < 0) {
      ++openFailures;
      return;
    }
    ++opened;
    ::connect(polls[i].fd, reinterpret_cast<const sockaddr*>(&to), sizeof to);
  };
  const auto start = Clock::now();
  const auto end = start + std::chrono::seconds(o.seconds);
  for (std::size_t i = 0; i < polls.size(); ++i) open(i);
  while (Clock::now() < end) {
    ::poll(polls.data(), polls.size(), 10);
    for (std::size_t i = 0; i < polls.size(); ++i) {
      if (polls[i].fd >= 0 && polls[i].revents == 0) continue;
      if (polls[i].fd >= 0) ::close(polls[i].fd);
      open(i);  // closed by the server (or never opened): again at once
    }
  }
  for (pollfd& entry : polls)
    if (entry.fd >= 0) ::close(entry.fd);
  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  std::printf("opened=%llu per_s=%.0f open_failures=%llu\n",
              static_cast<unsigned long long>(opened), static_cast<double>(opened) / elapsed,
              static_cast<unsigned long long>(openFailures));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const Options options = Parse(argc, argv);
  if (options.mode == "rpc") return RunRpc(options);
  if (options.mode == "flood") {
    if (options.target.empty()) Usage("flood needs --target");
    return RunFlood(options);
  }
  if (options.mode == "silent") {
    if (options.target.empty() || options.ports.empty()) Usage("silent needs --target and --port");
    return RunSilent(options);
  }
  Usage("the mode is rpc, flood or silent");
}
