// testutil.h - helpers shared by the unit tests: the group state reset, log
// capture and small record builders.
#ifndef ZVGM_TESTUTIL_H
#define ZVGM_TESTUTIL_H

#include <arpa/inet.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "group/group.h"
#include "placement/placement.h"
#include "table.h"

// Frees every peer record and zeroes the process-wide state of the group.
void resetGroupState();

// The whole contents of a file, "" when it cannot be read.
std::string slurp(const std::string &path);

// Captures what is written to standard error (the log) while it lives;
// a debug level given is set in params first.
class LogCapture {
 public:
  // A debug level is set only when given: a running manager reads it.
  explicit LogCapture(int debug = -1) {
    if (debug >= 0) params.debug = debug, setLogDebugLevel(debug);
    dup2(fileno(file_), 2);
  }
  ~LogCapture() { dup2(saved_, 2), close(saved_), fclose(file_); }
  std::string text() { return slurp("/proc/self/fd/" + std::to_string(fileno(file_))); }  // all so far
  bool has(const std::string &what) { return text().find(what) != std::string::npos; }
 private:
  int saved_ = dup(2);
  FILE *file_ = tmpfile();
};

// Points gmShell at a script in dir that prints a header line, then runs body.
void useTool(const TempDir &dir, const std::string &body);

// The 40 hex digits of a 20-byte digest.
std::string hexDigest(const unsigned char *digest);

// A new file holding text, with the given mode, removed at exit; returns its path.
std::string writeTemp(const std::string &text, mode_t mode = 0600);

// The datagrams that reach fd, each awaited up to ms milliseconds.
std::vector<std::string> received(int fd, int ms = 100);

// Loads secret as the signature secret, through a file of mode 0600.
void loadSecret(const std::string &secret);

inline bool contains(const std::string &text, const std::string &what) { return text.find(what) != std::string::npos; }

// Hands text to handler as the receive path does (its length, a NUL behind
// it), in a block of exactly that size, so that ASan sees any read past it.
void handTo(gm_handler handler, int sock, sockaddr_in *from, const std::string &text, int trusted = 0);

// Gives the calling thread (and the threads and children it starts later)
// a mount namespace of its own in which /etc/hosts holds hosts and names come
// from that file alone, and, with name, a UTS namespace with that host name:
// the manager's start-up resolves its name, never through DNS and never from
// the machine's own files. Returns why not ("" when done); nothing is mounted
// when it fails.
std::string ownHostsFile(const TempDir &dir, const std::string &hosts, const char *name = nullptr);

// A clock for gmSys.now that reads fakeNow.
inline time_t fakeNow;
inline time_t fakeClock() { return fakeNow; }

// Each test starts from an empty group without a secret, with a directory of
// its own, and gets the clock, poll, random draw, shell, interface list and
// session directories back as they were.
class GroupTest : public ::testing::Test {
 protected:
  gm_sys savedSys = gmSys;
  const char *savedShell = gmShell;
  gm_sessdirs savedDirs = gmSessionDirs;
  TempDir tmp;
  // The session directories under tmp, made and put in use by useSessionDirs.
  std::string ctok = tmp.path + "/ctokens", itok = tmp.path + "/itokens", disp = tmp.path + "/displays",
              idle = tmp.path + "/idle";
  GroupTest() { resetGroupState(), resetSignature(); }
  ~GroupTest() override {
    gmSys = savedSys, gmRandom = getRandom, gmShell = savedShell, gmReadIfs = read_kernel_ifs;
    gmSessionDirs = savedDirs, resetSignature(), resetGroupState();
  }
  void useSessionDirs() {
    for (const std::string *d : {&ctok, &itok, &disp, &idle}) mkdir(d->c_str(), 0700);
    gmSessionDirs = {ctok.c_str(), itok.c_str(), disp.c_str(), idle.c_str()};
  }
};

#endif
