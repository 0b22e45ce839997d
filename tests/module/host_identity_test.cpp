#include "module/host_identity.h"

#include <gtest/gtest.h>

namespace qx {
namespace {

TEST(HostIdentityTest, NamesTheHostByItsExecutable) {
  struct Case {
    const char* path;
    const char* host;
  };
  const Case cases[] = {
      {"/usr/sbin/qxagent", kHostAgent},
      {"/usr/bin/qxprojectmgr", kHostProjectManager},
      {"C:\\Program Files\\QX\\QXAgent.exe", kHostAgent},
      {"C:\\QX\\qxprojectmgr.EXE", kHostProjectManager},
      {"/opt/qx/bin/QXAGENT", kHostAgent},
      {"/opt/qx/qxagent.exe.d/tool", kHostAgent},     // the Windows name counts anywhere
      {"/opt/qxagent.exe/qxprojectmgr", kHostAgent},  // the agent is searched first
      {"/opt/qxprojectmgr.exe/qxagent", kHostAgent},
      {"/opt/qxagent/bin/qxprojectmgr", kHostProjectManager},  // a directory name is no file name
      {"/usr/bin/qxagent2", kHostModule},
      {"/usr/bin/myqxagent", kHostModule},
      {"/usr/bin/python3", kHostModule},
      {"qxagent", kHostAgent},
      {"", kHostModule},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(IdentifyHost(c.path), c.host);
  }
}

}  // namespace
}  // namespace qx
