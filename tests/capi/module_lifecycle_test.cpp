// Loading the module and ending the process: the attach and detach lines on the debug output.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "common/text.h"
#include "platform/environment.h"
#include "trace/debug_capture.h"

namespace qx {
namespace {

TEST(ModuleLifecycleTest, AttachAndDetachAnnounceThemselves) {
  testing::DebugCapture capture;
  ASSERT_TRUE(capture.ready());
  // A child process loads the module and ends normally, so that detach runs (after the
  // module's static objects are gone) whether or not the loader would unload it earlier.
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    void* module = ::dlopen(QX_MODULE_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
    const bool exported = module != nullptr && ::dlsym(module, "GetXMLSubText") != nullptr;
    // Internal names may come from the core library the module links, never from the module.
    void* internal = module != nullptr ? ::dlsym(module, "_ZN2qx9DiagnosisEv") : nullptr;
    Dl_info where{};
    const bool hidden =
        module != nullptr &&
        (internal == nullptr ||
         (::dladdr(internal, &where) != 0 &&
          std::string(where.dli_fname).find("libqxremoteserver") == std::string::npos));
    std::exit(exported && hidden ? 0 : 3);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "the module loads, exports its names and hides the rest";

  EXPECT_EQ(capture.Next().value_or(""),
            "<t> ------- QXRemoteServer.dll: DLL_PROCESS_ATTACH -------------------</t>\n");
  EXPECT_EQ(capture.Next().value_or(""), ToUpper(ExecutablePath()) + "\n");
  EXPECT_EQ(capture.Next().value_or(""),
            "<t> ------- QXRemoteServer.dll: DLL_PROCESS_DETACH -------------------</t>\n");
}

}  // namespace
}  // namespace qx
