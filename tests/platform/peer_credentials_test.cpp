// PeerIsStationUser: a peer of this process's own user may use the station; a descriptor whose
// credentials cannot be read (no socket, a closed one) never may.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/unix_socket.h"

namespace qx::unix_socket {
namespace {

TEST(PeerCredentials, OnlyAReadablePeerOfTheStationsUsersPasses) {
  int pair[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
  int pipes[2];
  ASSERT_EQ(::pipe(pipes), 0);
  const struct {
    const char* name;
    int fd;
    bool passes;
  } cases[] = {
      {"this process's own user", pair[0], true},
      {"not a socket", pipes[0], false},
      {"no descriptor", -1, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(PeerIsStationUser(c.fd), c.passes);
  }
  for (const int fd : {pair[0], pair[1], pipes[0], pipes[1]}) ::close(fd);
}

}  // namespace
}  // namespace qx::unix_socket
