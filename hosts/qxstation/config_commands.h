// config_commands.h - "qxstation config": every setting the station knows, as in effect.
//
// For each setting of the table of known settings (known_settings.h): the value in effect, its
// default, and where it came from: the default, the registry or the settings file (with the
// file's path), and whether a protected value in a registry that others may write was ignored.
// A table for people, or a JSON array (fields key, name, value, default, source, path,
// protected, ignoredInRegistry). Exit code 0, or 1 when the registry is damaged. Main thread.
//
//   return RunConfig(call, stdout, stderr);
#pragma once

#include <cstdio>

namespace qxstation {

struct Invocation;

int RunConfig(const Invocation& call, std::FILE* out, std::FILE* err);

}  // namespace qxstation
