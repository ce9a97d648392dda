// zvoscompat.cc - the Linux layer of the suite's compatibility library: thin
// wrappers over glibc, whose fork already duplicates only the calling thread.
#include "zvoscompat.h"

#include <errno.h>
#include <stddef.h>
#include <string.h>
#include <unistd.h>

extern "C" {

int _zv_os_gethostbyname_r(const char *name, struct hostent *result_buf,
                           char *buf, size_t buflen, struct hostent **result,
                           int *h_errnop) {
  return gethostbyname_r(name, result_buf, buf, buflen, result, h_errnop);
}

// readdir_r is deprecated in glibc; readdir on a stream that one thread owns
// is thread-safe there, which is all the callers need.
int _zv_os_readdir_r(DIR *dirp, struct dirent *entry, struct dirent **result) {
  errno = 0;
  struct dirent *d = readdir(dirp);
  if (d == nullptr) {
    *result = nullptr;
    return errno;
  }
  // Copy the fixed fields and the name alone: the kernel's record may be
  // shorter than a whole struct dirent.
  memcpy(entry, d, offsetof(struct dirent, d_name));
  size_t n = strnlen(d->d_name, sizeof(entry->d_name) - 1);
  memcpy(entry->d_name, d->d_name, n);
  entry->d_name[n] = '\0';
  *result = entry;
  return 0;
}

pid_t fork1(void) { return fork(); }

}  // extern "C"
