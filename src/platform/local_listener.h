// local_listener.h - the serving side of a local stream socket: a socket file, an accept thread
// and at most a fixed number of connection threads.
//
// Each accepted connection is handed to the serve function on a thread of its own. While
// maxConnections of them run, the listener accepts nothing more: further clients wait in the
// kernel's backlog (their connect succeeds, their request waits) until a thread ends, and their
// own deadlines bound that wait. The serve function must bound every wait of its own: it gets the
// wake descriptor, which becomes readable when Stop begins, to pass to every read.
//
// Ownership: the listener owns its socket, the socket file (removed at Stop only while it is still
// this listener's), the accept thread and the connection threads; Stop (or the destructor) wakes
// and joins them all. Stop may be called from any thread except a connection thread, also from
// two threads at once: the second waits until the first has finished.
//
//   auto listener = LocalListener::Start(path, "component", 32,
//                                        [](int fd, int wakeFd) { /* read, answer */ }, &error);
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <string_view>
#include <thread>

#include "common/mutex.h"
#include "platform/unix_socket.h"

namespace qx::unix_socket {

class LocalListener {
 public:
  // Serves one connection: fd is the connection (non-blocking; closed after the call returns),
  // wakeFd the descriptor that becomes readable at Stop.
  using ServeFunction = std::function<void(int fd, int wakeFd)>;

  // Binds path (mode 0660; a stale file is replaced, see ListenAt) and starts accepting. Null,
  // with *error set, when the socket cannot be set up.
  static std::unique_ptr<LocalListener> Start(const std::string& path, std::string_view what,
                                              std::size_t maxConnections, ServeFunction serve,
                                              std::string* error);
  ~LocalListener();
  LocalListener(const LocalListener&) = delete;
  LocalListener& operator=(const LocalListener&) = delete;

  void Stop() EXCLUDES(stopMutex_, mutex_);

 private:
  struct Key {  // only Start makes listeners
    explicit Key() = default;
  };

 public:
  LocalListener(Key, std::string path, std::size_t maxConnections, ServeFunction serve);

 private:
  void AcceptLoop() EXCLUDES(mutex_);
  void Finished(std::list<std::thread>::iterator self) EXCLUDES(mutex_);
  void JoinFinishedLocked() REQUIRES(mutex_);

  const std::string path_;
  const std::size_t maxConnections_;
  const ServeFunction serve_;
  SocketFileId fileId_;
  UniqueFd listen_;
  UniqueFd wake_;  // readable once Stop has begun
  std::thread acceptor_;

  Mutex stopMutex_;  // held through a whole Stop
  bool stopped_ GUARDED_BY(stopMutex_) = false;

  Mutex mutex_;
  CondVar slotFreed_{&mutex_};
  bool stopping_ GUARDED_BY(mutex_) = false;
  std::list<std::thread> running_ GUARDED_BY(mutex_);   // serving a connection
  std::list<std::thread> finished_ GUARDED_BY(mutex_);  // done, not yet joined
};

}  // namespace qx::unix_socket
