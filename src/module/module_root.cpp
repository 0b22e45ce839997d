// module_root.cpp - ModuleStation and ModuleRemovalSender: one root object made on first use.
#include "module/module_root.h"

#include "discovery/project_watch.h"

namespace qx {
namespace {

// The station and what borrows it, made and destroyed together (the sender after the station
// is made, before it is destroyed).
struct ModuleRoot {
  Station station;
  ProjectRemovalSender removalSender{station};
};

ModuleRoot& Root() {
  static ModuleRoot root;
  return root;
}

}  // namespace

Station& ModuleStation() { return Root().station; }

ProjectRemovalSender& ModuleRemovalSender() { return Root().removalSender; }

}  // namespace qx
