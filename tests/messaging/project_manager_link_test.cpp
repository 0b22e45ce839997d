// Tests of the project-manager link: a listener in the test and the client calls, plus raw
// sockets that play a broken or silent project manager.
#include "messaging/project_manager_link.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

namespace qx {
namespace {

int RawSocket() { return ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0); }

sockaddr_un AddressOf(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  path.copy(address.sun_path, sizeof address.sun_path - 1);
  return address;
}

std::string U32(std::uint32_t v) {
  std::string out;
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
  return out;
}

class ProjectManagerLinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/qx-pm-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
    // The whole station of the test lives below dir_: the link reads settings from the
    // registry, which must never be the machine's.
    for (const auto& [name, value] : {std::pair<const char*, std::string>{"QX_RUNTIME_DIR", "/run"},
                                      {"QX_REGISTRY", "/registry.db"},
                                      {"QX_CONFIG_DIR", "/config"}}) {
      const char* old = std::getenv(name);
      previous_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
      ::setenv(name, (dir_ + value).c_str(), 1);
    }
  }
  void TearDown() override {
    if (listener_) listener_->Stop();
    for (const auto& [name, value] : previous_) {
      if (value) {
        ::setenv(name, value->c_str(), 1);
      } else {
        ::unsetenv(name);
      }
    }
    std::filesystem::remove_all(dir_);
  }

  void Listen(ProjectManagerHandler handler) {
    std::string error;
    listener_ = StartProjectManagerListener(std::move(handler), &error);
    ASSERT_NE(listener_, nullptr) << error;
  }

  // A bound, listening socket at the project manager's path that the test drives by hand.
  int RawListener() {
    std::filesystem::create_directories(dir_ + "/run");
    int fd = RawSocket();
    sockaddr_un address = AddressOf(ProjectManagerSocketPath());
    EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(::listen(fd, 4), 0);
    return fd;
  }

  std::string dir_;
  std::vector<std::pair<const char*, std::optional<std::string>>> previous_;
  std::unique_ptr<ProjectManagerListener> listener_;
};

TEST_F(ProjectManagerLinkTest, AnswersComeBackWithTheHandlersResult) {
  Listen([](const std::string& request, AnswerText* answer) -> HRESULT {
    if (request == "<Untouched/>") return S_FALSE;
    if (request == "<Throw/>") throw std::runtime_error("handler failed");
    if (request == "<Empty/>") {
      *answer = "";
      return S_OK;
    }
    *answer = "<Echo>" + request + "</Echo>";
    return request.size() > 100 ? E_NOTIMPL : S_OK;
  });

  const std::string binary("a\0b \xC3\xA4\xE2\x82\xAC", 9);  // NUL and multi-byte UTF-8 kept
  const struct {
    const char* name;
    std::string request;
    HRESULT hr;
    std::optional<std::string> answer;  // nullopt: the caller's answer stays untouched
  } cases[] = {
      {"echo", "<GetStateOfProjectManager/>", S_OK, "<Echo><GetStateOfProjectManager/></Echo>"},
      {"binary", binary, S_OK, "<Echo>" + binary + "</Echo>"},
      {"failure with answer", std::string(200, 'x'), E_NOTIMPL,
       "<Echo>" + std::string(200, 'x') + "</Echo>"},
      {"large", std::string(2 << 20, 'y'), E_NOTIMPL,
       "<Echo>" + std::string(2 << 20, 'y') + "</Echo>"},
      {"empty request", "", S_OK, "<Echo></Echo>"},
      {"empty answer", "<Empty/>", S_OK, ""},
      {"no answer", "<Untouched/>", S_FALSE, std::nullopt},
      {"handler throws", "<Throw/>", E_FAIL, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    AnswerText answer = "previous";
    EXPECT_EQ(ProjectManagerHandleRequest(c.request, &answer, 5000), c.hr);
    EXPECT_EQ(answer, c.answer ? c.answer : AnswerText("previous"));
  }
  // A caller that wants no answer still gets the result.
  EXPECT_EQ(ProjectManagerHandleRequest("<x/>", nullptr, 5000), S_OK);
}

TEST_F(ProjectManagerLinkTest, RunningMeansTheSocketAccepts) {
  EXPECT_FALSE(ProjectManagerSocketAccepts());
  AnswerText answer = "previous";
  EXPECT_EQ(ProjectManagerHandleRequest("<x/>", &answer, 1000), E_FAIL);
  EXPECT_EQ(answer, "previous");

  Listen([](const std::string&, AnswerText* out) {
    *out = "ok";
    return S_OK;
  });
  EXPECT_TRUE(ProjectManagerSocketAccepts());
  struct stat info {};
  ASSERT_EQ(::stat(ProjectManagerSocketPath().c_str(), &info), 0);
  EXPECT_TRUE(S_ISSOCK(info.st_mode));
  EXPECT_EQ(info.st_mode & 0777, 0660u);
  EXPECT_EQ(ProjectManagerHandleRequest("<x/>", &answer, 5000), S_OK);  // after a bare probe

  listener_->Stop();
  listener_->Stop();  // twice is harmless
  EXPECT_FALSE(ProjectManagerSocketAccepts());
  EXPECT_FALSE(std::filesystem::exists(ProjectManagerSocketPath()));
  EXPECT_EQ(ProjectManagerHandleRequest("<x/>", &answer, 1000), E_FAIL);
}

TEST_F(ProjectManagerLinkTest, StaleSocketIsReplacedButALiveOneIsNot) {
  close(RawListener());  // a socket file whose process has gone
  ASSERT_TRUE(std::filesystem::exists(ProjectManagerSocketPath()));
  Listen([](const std::string&, AnswerText* answer) {
    *answer = "first";
    return S_OK;
  });

  std::string error;
  auto second =
      StartProjectManagerListener([](const std::string&, AnswerText*) { return S_OK; }, &error);
  EXPECT_EQ(second, nullptr);
  EXPECT_NE(error.find("another project manager"), std::string::npos) << error;

  AnswerText answer;
  EXPECT_EQ(ProjectManagerHandleRequest("<x/>", &answer, 5000), S_OK);
  EXPECT_EQ(answer, "first");
}

TEST_F(ProjectManagerLinkTest, ASilentProjectManagerEndsInTheCallTimeout) {
  int raw = RawListener();  // accepts (through the backlog) and never answers
  AnswerText answer = "previous";
  EXPECT_EQ(ProjectManagerHandleRequest("<x/>", &answer, 300), E_FAIL);
  EXPECT_EQ(answer, "previous");
  close(raw);
}

TEST_F(ProjectManagerLinkTest, MalformedAnswersAreRefused) {
  const struct {
    const char* name;
    std::string reply;
  } cases[] = {
      {"oversize length", U32(0) + std::string(1, '\1') + U32(kMaxProjectManagerMessage + 1)},
      {"huge length", U32(0) + std::string(1, '\1') + U32(0xFFFFFFF0u) + "abc"},
      {"bad answer flag", U32(0) + std::string(1, '\2') + U32(2) + "ok"},
      {"cut short", U32(0) + std::string(1, '\1') + U32(10) + "abc"},
      {"header cut short", U32(0)},
      {"nothing", ""},
  };
  int raw = RawListener();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::thread server([&] {
      int connection = ::accept(raw, nullptr, nullptr);
      char header[4];
      if (::recv(connection, header, 4, MSG_WAITALL) == 4) {
        std::uint32_t length = static_cast<unsigned char>(header[0]);  // small requests only
        std::string body(length, '\0');
        ::recv(connection, body.data(), length, MSG_WAITALL);
      }
      ::send(connection, c.reply.data(), c.reply.size(), MSG_NOSIGNAL);
      ::close(connection);
    });
    AnswerText answer = "previous";
    EXPECT_EQ(ProjectManagerHandleRequest("<x/>", &answer, 5000), E_FAIL);
    EXPECT_EQ(answer, "previous");
    server.join();
  }
  close(raw);
}

TEST_F(ProjectManagerLinkTest, OversizeAndBrokenRequestsNeverReachTheHandler) {
  std::atomic<int> calls{0};
  Listen([&](const std::string&, AnswerText*) {
    ++calls;
    return S_OK;
  });
  // The client refuses to send what the listener would refuse to read.
  std::string huge(kMaxProjectManagerMessage + 1, 'x');
  EXPECT_EQ(ProjectManagerHandleRequest(huge, nullptr, 5000), E_FAIL);

  const std::string frames[] = {
      U32(kMaxProjectManagerMessage + 1),  // length over the limit
      U32(100) + "short",                  // ends before its length
      "ab",                                // ends inside the length
  };
  for (const std::string& frame : frames) {
    int fd = RawSocket();
    sockaddr_un address = AddressOf(ProjectManagerSocketPath());
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ::send(fd, frame.data(), frame.size(), MSG_NOSIGNAL);
    ::shutdown(fd, SHUT_WR);
    char byte;
    EXPECT_EQ(::recv(fd, &byte, 1, 0), 0);  // closed without an answer
    ::close(fd);
  }
  EXPECT_EQ(calls, 0);
  EXPECT_EQ(ProjectManagerHandleRequest("<x/>", nullptr, 5000), S_OK);
  EXPECT_EQ(calls, 1);
}

TEST_F(ProjectManagerLinkTest, HandlersLearnTheCallersUser) {
  std::optional<std::uint32_t> seen;
  Listen([&](const std::string&, AnswerText*) {
    seen = ProjectManagerPeerUid();
    return S_OK;
  });
  EXPECT_FALSE(ProjectManagerPeerUid().has_value());
  EXPECT_EQ(ProjectManagerHandleRequest("<x/>", nullptr, 5000), S_OK);
  EXPECT_EQ(seen, static_cast<std::uint32_t>(::getuid()));
  // A request forwarded for another station has no local caller, whoever forwards it.
  EXPECT_EQ(ProjectManagerForwardRequest("<x/>", nullptr), S_OK);
  EXPECT_FALSE(seen.has_value());
}

TEST_F(ProjectManagerLinkTest, StopWaitsForRunningHandlersAndIdleClients) {
  std::promise<void> entered;
  std::atomic<bool> finished{false};
  Listen([&](const std::string& request, AnswerText* answer) {
    if (request == "slow") {
      entered.set_value();
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
      finished = true;
    }
    *answer = "done";
    return S_OK;
  });
  // A client that connects and never sends must not keep Stop waiting.
  int idle = RawSocket();
  sockaddr_un address = AddressOf(ProjectManagerSocketPath());
  ASSERT_EQ(::connect(idle, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);

  AnswerText answer;
  std::thread client([&] { EXPECT_EQ(ProjectManagerHandleRequest("slow", &answer, 5000), S_OK); });
  entered.get_future().wait();
  listener_->Stop();
  EXPECT_TRUE(finished);
  client.join();
  EXPECT_EQ(answer, "done");
  ::close(idle);
}

TEST_F(ProjectManagerLinkTest, ServesManyClientsAtOnce) {
  Listen([](const std::string& request, AnswerText* answer) {
    *answer = request + "!";
    return S_OK;
  });
  constexpr int kClients = 8;
  constexpr int kCalls = 25;
  std::atomic<int> wrong{0};
  std::vector<std::thread> clients;
  for (int c = 0; c < kClients; ++c) {
    clients.emplace_back([c, &wrong] {
      for (int i = 0; i < kCalls; ++i) {
        std::string request = std::to_string(c) + ":" + std::to_string(i);
        AnswerText answer;
        if (ProjectManagerHandleRequest(request, &answer, 5000) != S_OK ||
            answer != request + "!") {
          ++wrong;
        }
      }
    });
  }
  for (std::thread& t : clients) t.join();
  EXPECT_EQ(wrong, 0);
}

}  // namespace
}  // namespace qx
