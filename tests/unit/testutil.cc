// testutil.cc - helpers shared by the unit tests.
#include "testutil.h"

#include <arpa/inet.h>
#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>

void resetGroupState() {
  ZV_MUTEX_LOCK(&gmLock);
  clearGroupTable(), memset(&params, 0, sizeof params), setLogDebugLevel(0);
  ZV_MUTEX_UNLOCK(&gmLock);
}

void useTool(const TempDir &dir, const std::string &body) {
  static std::string tool;
  put(tool = dir.path + "/tool", "#!/bin/sh\necho header\n" + body);
  chmod(tool.c_str(), 0755), gmShell = tool.c_str();
}

std::string writeTemp(const std::string &text, mode_t mode) {
  static TempDir dir;
  static int made = 0;
  std::string path = dir.path + "/file" + std::to_string(++made);
  return put(path, text), chmod(path.c_str(), mode), path;
}

std::vector<std::string> received(int fd, int ms) {
  std::vector<std::string> out;
  pollfd p = {fd, POLLIN, 0};
  for (char b[2048]; poll(&p, 1, ms) > 0;) out.emplace_back(b, std::max(recv(fd, b, sizeof b, 0), 0L));
  return out;
}

void loadSecret(const std::string &secret) {
  resetSignature(), initSignature(writeTemp(secret).c_str());
}

void handTo(gm_handler handler, int sock, sockaddr_in *from, const std::string &text, int trusted) {
  char *buf = strdup(text.c_str());
  handler(sock, from, buf, (int)text.size(), trusted);
  free(buf);
}

std::string hexDigest(const unsigned char *digest) {
  char s[41];
  for (int i = 0; i < 20; i++) snprintf(s + 2 * i, 3, "%02x", digest[i]);
  return s;
}

std::string slurp(const std::string &path) {
  std::ifstream in(path);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string ownHostsFile(const TempDir &dir, const std::string &hosts, const char *name) {
  auto failed = [](const std::string &what) { return what + ": " + strerror(errno); };
  if (geteuid() != 0) return "a mount namespace of its own needs root";
  if (access("/etc/hosts", F_OK) != 0 || access("/etc/nsswitch.conf", F_OK) != 0)
    return "no /etc/hosts or /etc/nsswitch.conf to cover";
  if (unshare(CLONE_NEWNS | (name != nullptr ? CLONE_NEWUTS : 0)) != 0) return failed("unshare");
  if (name != nullptr && sethostname(name, strlen(name)) != 0) return failed("sethostname");
  // Nothing mounted below may ever reach the machine's own namespace.
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return failed("mount --make-rprivate /");
  put(dir.path + "/hosts", hosts), put(dir.path + "/nsswitch.conf", "hosts: files\n");
  for (std::string f : {"hosts", "nsswitch.conf"})
    if (mount((dir.path + "/" + f).c_str(), ("/etc/" + f).c_str(), nullptr, MS_BIND, nullptr) != 0)
      return failed("bind /etc/" + f);
  return "";
}
