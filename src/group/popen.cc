// popen.cc - the manager's one command pipe: runs a shell command in a child
// process and hands the parent a line reader on its end of the pipe. Used to
// ask the interface administration tool which interfaces are nimbar ones.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "group/group.h"
#include "zvoscompat.h"

extern "C" {
const char *gmShell = GM_SHELL;
}

// The child not yet reaped; 0 when none. Only the manager thread runs commands.
static pid_t _pipepid;

extern "C" {

XFILE *safe_popen(const char *cmd, const char *mode) {
  if (_pipepid != 0) return nullptr;
  int fds[2];
  if (pipe(fds) < 0) return nullptr;
  bool reading = mode[0] == 'r';
  int parentEnd = reading ? fds[0] : fds[1];
  int childEnd = reading ? fds[1] : fds[0];
  // Taken before the fork: the child of a threaded process may only make
  // async-signal-safe calls, so it touches nothing but these locals.
  const char *shell = gmShell;

  _pipepid = fork1();
  if (_pipepid == 0) {
    int target = reading ? 1 : 0;
    close(parentEnd);
    if (childEnd != target) {
      close(target);
      fcntl(childEnd, F_DUPFD, target);
      close(childEnd);
    }
    if (access(shell, X_OK) != 0) _exit(127);
    execl(shell, "ksh", "-c", cmd, (char *)nullptr);
    _exit(1);
  }
  if (_pipepid < 0) {
    _pipepid = 0;
    close(fds[1]);
    close(fds[0]);
    return nullptr;
  }
  close(childEnd);
  XFILE *xp = xfdropen(parentEnd);
  if (xp == nullptr) {
    // Without a reader the child is of no use: closing our end ends its
    // output (or input), and reaping it frees the pipe for the next command.
    close(parentEnd);
    safe_pclose(nullptr);
  }
  return xp;
}

int safe_pclose(XFILE *xp) {
  // A child that went silent past the reader's time-out may never end.
  if (xp != nullptr && xp->timedout && _pipepid > 0) kill(_pipepid, SIGKILL);
  if (xp != nullptr) xclose(xp);
  if (_pipepid <= 0) {
    _pipepid = 0;
    return -1;
  }
  int status;
  while (waitpid(_pipepid, &status, 0) < 0) {
    if (errno != EINTR) {
      status = -1;
      break;
    }
  }
  _pipepid = 0;
  return status;
}

}  // extern "C"
