// debug_channel.h - the local socket facilities behind the debug output and the viewer test.
//
// The debug output is a datagram sent to a socket path in the station's runtime directory; a
// reader ("qxstation trace") binds that path. The trace viewer marks its presence by holding a
// second socket path. Both calls are cheap, never block and never fail loudly: a line nobody
// reads is dropped. Any thread may call.
//
//   SendDebugDatagram(RuntimeDir() + "/debug.sock", "line");
//   bool viewer = SocketAccepts(RuntimeDir() + "/tracetree.sock");
#pragma once

#include <string>
#include <string_view>

namespace qx {

// Sends data as one datagram to the socket bound at path; false when nobody listens, the
// reader's queue is full or the path is too long for a socket address.
bool SendDebugDatagram(const std::string& path, std::string_view data);

// True while a socket is bound at path and takes connections or datagrams: a listening stream
// socket (also when its backlog is full) or a bound datagram socket.
bool SocketAccepts(const std::string& path);

}  // namespace qx
