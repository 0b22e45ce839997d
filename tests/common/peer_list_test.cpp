// Tests of ParsePeerList: a list of peers as the registry holds it.
#include "common/peer_list.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace qx {
namespace {

TEST(PeerListTest, ListsParseIntoAddressesAndNamesAndRefuseWhatIsNeither) {
  const std::string label64(64, 'a');
  std::vector<std::string> many;
  for (int i = 0; i <= static_cast<int>(kMaxPeers); ++i) {
    many.push_back("10.0.0." + std::to_string(i));
  }
  const struct Case {
    const char* name;
    std::vector<std::string> items;
    bool ok;
    std::vector<std::string> peers;
  } cases[] = {
      {"one address", {"10.0.0.1"}, true, {"10.0.0.1"}},
      {"a REG_SZ of separated items",
       {"10.0.0.1, relay-b.plant;10.0.0.2\tother"},
       true,
       {"10.0.0.1", "relay-b.plant", "10.0.0.2", "other"}},
      {"MULTI_SZ items", {"a", "", "b"}, true, {"a", "b"}},
      {"repeats, names ignoring case",
       {"10.0.0.1", "Relay", "10.0.0.1 relay"},
       true,
       {"10.0.0.1", "Relay"}},
      {"nothing", {"", " ,; "}, true, {}},
      {"underscore", {"relay_b"}, false, {}},
      {"a port", {"10.0.0.1:24780"}, false, {}},
      {"leading hyphen", {"-relay"}, false, {}},
      {"trailing hyphen", {"relay-"}, false, {}},
      {"empty label", {"relay..plant"}, false, {}},
      {"digits that are no address", {"10.0.0.256"}, false, {}},
      {"a label beyond 63 bytes", {label64 + ".plant"}, false, {}},
      {"a name beyond 253 bytes", {std::string(254, 'a')}, false, {}},
      {"beyond the peer bound", many, false, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> peers = {"left alone on failure"};
    std::string error;
    EXPECT_EQ(ParsePeerList(c.items, &peers, &error), c.ok);
    if (c.ok) {
      EXPECT_EQ(peers, c.peers);
    } else {
      EXPECT_EQ(peers, std::vector<std::string>{"left alone on failure"});
      EXPECT_FALSE(error.empty());
    }
  }
}

}  // namespace
}  // namespace qx
