/* A process that loads the module, starts an asynchronous remote command towards a station that
 * never answers, and then either unloads the module and lives on, or ends at once. It exits 0
 * when nothing went wrong; a worker left running in unloaded code or among dead static objects
 * shows as a signal instead.
 *
 *   unload_probe <module> <receiver> unload|exit <milliseconds to live on after the unload>
 *                <file name of the core library>
 *
 * Exit codes: 2 usage, 3 load failed, 4 command refused, 5 unload failed, 6 a thread that the
 * module started is still alive after the unload. Whether the loader really unmaps the core
 * library depends on the toolchain and on what the threads touched (GCC's unique symbols keep it
 * mapped); the probe says on stderr when it stayed. */
#include <dirent.h>
#include <dlfcn.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "qxremoteserver.h"

typedef HRESULT (*RemoteCommandFunction)(const OLECHAR* command, BSTR* answer);

static void SleepMs(long ms) {
  struct timespec pause = {ms / 1000, (ms % 1000) * 1000000L};
  while (nanosleep(&pause, &pause) != 0) {
  }
}

/* The threads of this process, from /proc/self/task. */
static void* Nothing(void* unused) { return unused; }

static int CountThreads(void) {
  DIR* tasks = opendir("/proc/self/task");
  if (tasks == NULL) return -1;
  int count = 0;
  for (struct dirent* entry = readdir(tasks); entry != NULL; entry = readdir(tasks)) {
    if (entry->d_name[0] != '.') ++count;
  }
  closedir(tasks);
  return count;
}

int main(int argc, char** argv) {
  if (argc != 6) return 2;
  char text[512];
  snprintf(text, sizeof text, "<Test><Receiver>%s</Receiver><ASYNCHRON>YES</ASYNCHRON></Test>",
           argv[2]);
  OLECHAR message[512];
  size_t i = 0;
  for (; text[i] != '\0'; ++i) message[i] = (OLECHAR)(unsigned char)text[i];
  message[i] = 0;

  /* Threads of the process before the module. A sanitizer runtime starts a helper thread of its
   * own with the first thread a process creates: one thread started and joined here puts it in
   * the count. */
  pthread_t first;
  if (pthread_create(&first, NULL, Nothing, NULL) == 0) pthread_join(first, NULL);
  const int threadsBefore = CountThreads();
  void* module = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
  if (module == NULL) return 3;
  RemoteCommandFunction command = (RemoteCommandFunction)dlsym(module, "RemoteCommand");
  if (command == NULL || command(message, NULL) != 0) return 4;
  SleepMs(300); /* the worker now waits for the station's answer */
  if (strcmp(argv[3], "exit") == 0) return 0;

  if (dlclose(module) != 0) return 5;
  if (CountThreads() > threadsBefore) return 6;
  if (dlopen(argv[5], RTLD_NOW | RTLD_NOLOAD) != NULL) {
    fprintf(stderr, "unload_probe: %s stayed loaded after the unload\n", argv[5]);
  }
  /* Past the command's deadline: a worker still alive would wake up in unmapped code. */
  SleepMs(atol(argv[4]));
  return 0;
}
