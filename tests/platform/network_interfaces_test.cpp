// Tests of the choice of announcing interfaces: the default exclusions and the patterns.
#include "platform/network_interfaces.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace qx {
namespace {

InterfaceInfo Nic(std::string name, unsigned index, const char* address, bool up = true,
                  bool multicast = true, bool loopback = false) {
  InterfaceInfo one;
  one.name = std::move(name);
  one.index = index;
  one.address = *ParseIpv4Text(address);
  one.mask = 0xFFFFFF00u;
  one.up = up;
  one.multicast = multicast;
  one.loopback = loopback;
  return one;
}

std::string Names(const std::vector<InterfaceInfo>& selected) {
  std::string names;
  for (const InterfaceInfo& one : selected) {
    names += (names.empty() ? "" : " ") + one.name + "=" + one.AddressText();
  }
  return names;
}

TEST(SelectInterfacesTest, DefaultLeavesOutWhatOthersCannotReachAndPatternsChoose) {
  const std::vector<InterfaceInfo> host = {
      Nic("lo", 1, "127.0.0.1", true, false, true),
      Nic("eth0", 2, "10.1.2.3"),
      Nic("eth0", 2, "10.9.0.1"),  // a second address of eth0
      Nic("eth1", 3, "192.168.5.7"),
      Nic("eth2", 4, "169.254.10.2"),           // link-local only
      Nic("eth3", 5, "10.3.0.1", false),        // down
      Nic("tun0", 6, "10.8.0.1", true, false),  // cannot multicast
      Nic("docker0", 7, "172.17.0.1"),
      Nic("veth12ab", 8, "172.17.0.2"),
      Nic("br-5f3a", 9, "172.18.0.1"),
      Nic("virbr0", 10, "192.168.122.1"),
      Nic("wlan0", 11, "0.0.0.0"),  // no address yet
  };
  const struct Case {
    const char* name;
    std::vector<std::string> patterns;
    const char* selected;
  } cases[] = {
      {"default", {}, "eth0=10.1.2.3 eth1=192.168.5.7"},
      {"a name", {"eth1"}, "eth1=192.168.5.7"},
      {"a name picks a bridge on purpose", {"docker0"}, "docker0=172.17.0.1"},
      {"a name of one that is down", {"eth3"}, ""},
      {"a pattern", {"eth*"}, "eth0=10.1.2.3 eth1=192.168.5.7 eth2=169.254.10.2"},
      {"a name is no prefix", {"eth"}, ""},
      {"a block chooses the address", {"10.9.0.0/16"}, "eth0=10.9.0.1"},
      {"a block across interfaces", {"10.0.0.0/8"}, "eth0=10.1.2.3 tun0=10.8.0.1"},
      {"one address", {"192.168.5.7/32"}, "eth1=192.168.5.7"},
      {"everything up with an address",
       {"0.0.0.0/0"},
       "lo=127.0.0.1 eth0=10.1.2.3 eth1=192.168.5.7 eth2=169.254.10.2 tun0=10.8.0.1 "
       "docker0=172.17.0.1 veth12ab=172.17.0.2 br-5f3a=172.18.0.1 virbr0=192.168.122.1"},
      {"each once, in the host's order",
       {"eth1", "eth0", "eth*"},
       "eth0=10.1.2.3 eth1=192.168.5.7 "
       "eth2=169.254.10.2"},
      {"no valid pattern selects nothing", {"10.0.0.0/33"}, ""},
      {"an unknown name selects nothing", {"ens9"}, ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Names(SelectInterfaces(host, c.patterns)), c.selected) << c.name;
  }
}

TEST(SelectInterfacesTest, PatternsAreNamesPrefixesOrBlocks) {
  const struct Case {
    const char* pattern;
    bool valid;
  } cases[] = {
      {"eth0", true},
      {"enp*", true},
      {"*", true},
      {"10.1.0.0/16", true},
      {"0.0.0.0/0", true},
      {"10.1.2.3/32", true},
      {"", false},
      {"10.1.0.0/33", false},
      {"10.1.0/16", false},
      {"10.1.0.0/", false},
      {"256.1.0.0/8", false},
      {"10.1.0.0/8x", false},
      {"e*th", false},
      {"eth0**", false},
      {"a name", false},
      {"sixteen-chars-xx", false},
  };
  for (const Case& c : cases) EXPECT_EQ(IsInterfacePattern(c.pattern), c.valid) << c.pattern;
}

}  // namespace
}  // namespace qx
