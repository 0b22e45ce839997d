// temp_dir.h - TempDir, a fresh directory under the system's temporary directory for one test,
// removed with everything in it when the object goes. One thread per object.
//
//   TempDir dir("qxhosts");          // /tmp/qxhosts.XXXXXX
//   dir.Make("run");                 // /tmp/qxhosts.XXXXXX/run, with its parents
//   StationDir station(dir.path() + "/ALPHA");
#pragma once

#include <string>

namespace qx::testing {

class TempDir {
 public:
  // path() is empty when no directory could be made (ok() is false).
  explicit TempDir(const std::string& prefix = "qxtest");
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  bool ok() const { return !path_.empty(); }
  const std::string& path() const { return path_; }
  // dir/name, not made.
  std::string File(const std::string& name) const { return path_ + "/" + name; }
  // dir/relative, made with its parents; returns the path.
  std::string Make(const std::string& relative) const;
  // Removes the directory now (the destructor then does nothing).
  void Remove();

 private:
  std::string path_;
};

}  // namespace qx::testing
