// Tests of the discovery's sends: a send that the system refuses for a while is tried again.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <utility>

#include "discovery/multicast_port.h"
#include "messaging/netqxkomm.h"
#include "station/station.h"

namespace qx {
namespace {

std::atomic<int> attempts{0};
std::atomic<int> failuresLeft{0};
std::atomic<HRESULT> failure{E_FAIL};

class FailingKomm : public INetQXKomm {
 public:
  HRESULT SendToGroup(std::string_view) override { return Attempt(); }
  HRESULT LocalRequest(std::string_view, AnswerText*) override { return E_NOTIMPL; }
  HRESULT SendToHost(std::string_view, std::string_view) override { return Attempt(); }

 private:
  static HRESULT Attempt() {
    ++attempts;
    if (failuresLeft.load() > 0) {
      --failuresLeft;
      return failure.load();
    }
    return S_OK;
  }
};

TEST(MulticastPortTest, FailedSendsAreTriedAgainOnlyWhenTheyMayPass) {
  StationParts parts;
  parts.transport = [](std::unique_ptr<INetQXKomm>* component) -> HRESULT {
    *component = std::make_unique<FailingKomm>();
    return S_OK;
  };
  const Station station(std::move(parts));
  struct Case {
    const char* name;
    const char* receiver;
    int failures;
    HRESULT error;
    HRESULT result;
    int attempts;
  } const cases[] = {
      {"sent at once", "*", 0, E_FAIL, S_OK, 1},
      {"buffers full twice, then sent", "*", 2, E_FAIL, S_OK, 3},
      {"unicast full once, then sent", "10.0.0.5", 1, E_FAIL, S_OK, 2},
      {"full for good: three tries", "*", 100, E_FAIL, E_FAIL, 3},
      {"a refused receiver is not tried again", "10.0.0.5", 100, E_INVALIDARG, E_INVALIDARG, 1},
      {"no key: not tried again", "*", 100, kMulticastNoKey, kMulticastNoKey, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    attempts = 0;
    failuresLeft = c.failures;
    failure = c.error;
    EXPECT_EQ(SendToMulticastPortRetrying(station, c.receiver, "<QXDISCOVER/>"), c.result);
    EXPECT_EQ(attempts.load(), c.attempts);
  }
}

}  // namespace
}  // namespace qx
