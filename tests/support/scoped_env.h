// scoped_env.h - ScopedEnv, one environment variable set for the life of the object and then
// restored to what it was (or removed when it was unset).
//
// setenv races with every other thread that reads the environment: make and destroy the object
// on the test's main thread while no server, pool or timer thread of the test runs (in SetUp
// before they start, in TearDown after they stopped). Objects nest; destroy them in reverse
// order of making (as scopes and members do).
//
//   ScopedEnv registry("QX_REGISTRY", dir + "/registry.db");
#pragma once

#include <stdlib.h>

#include <optional>
#include <string>

namespace qx::testing {

class ScopedEnv {
 public:
  ScopedEnv(std::string name, const std::string& value) : name_(std::move(name)) {
    if (const char* old = ::getenv(name_.c_str())) saved_ = old;
    ::setenv(name_.c_str(), value.c_str(), 1);
  }
  ~ScopedEnv() {
    if (saved_) {
      ::setenv(name_.c_str(), saved_->c_str(), 1);
    } else {
      ::unsetenv(name_.c_str());
    }
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  const std::string name_;
  std::optional<std::string> saved_;
};

}  // namespace qx::testing
