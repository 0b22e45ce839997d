// PeerIsStationUser: a peer of this process's own user may use the station; a descriptor whose
// credentials cannot be read (no socket, a closed one) never may.
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "platform/environment.h"
#include "platform/unix_socket.h"
#include "support/temp_dir.h"

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

// Root may become another user: a peer of an unprivileged user outside the group qxadmin is
// refused. (As another user the test cannot change its user, and skips.)
TEST(PeerCredentials, AnotherUserOutsideTheGroupIsRefused) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to connect as another user";
  constexpr uid_t kNobody = 65534;
  if (AdminGroupId() && *AdminGroupId() == kNobody) GTEST_SKIP() << "nobody's group is qxadmin";
  qx::testing::TempDir dir("qxpeer");
  ASSERT_TRUE(dir.ok());
  ASSERT_EQ(::chmod(dir.path().c_str(), 0777), 0);
  const std::string path = dir.File("peer.sock");
  std::string error;
  UniqueFd listener = ListenAt(path, 0666, 4, "peer test", nullptr, &error);
  ASSERT_TRUE(listener) << error;
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {  // only system calls from here on
    sockaddr_un address{};
    FillAddress(path, &address);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    const bool ok = ::setgroups(0, nullptr) == 0 && ::setgid(kNobody) == 0 &&
                    ::setuid(kNobody) == 0 &&
                    ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    char byte = 0;
    if (ok) static_cast<void>(::read(fd, &byte, 1));  // until the parent closes
    ::_exit(ok ? 0 : 1);
  }
  UniqueFd accepted;
  for (int i = 0; i < 500 && !accepted; ++i) {
    WaitFor(listener.get(), POLLIN, Clock::now() + std::chrono::milliseconds(10));
    accepted = UniqueFd(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
  }
  ASSERT_TRUE(accepted) << "the child never connected";
  EXPECT_FALSE(PeerIsStationUser(accepted.get()));
  accepted.Reset();
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

}  // namespace
}  // namespace qx::unix_socket
