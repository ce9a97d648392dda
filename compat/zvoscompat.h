/* zvoscompat.h - portable forms of the few system calls whose thread-safe or
 * process-creating variants differ between the platforms the suite runs on.
 * Provided by libzvoscompat.so.1. */
#ifndef ZVOSCOMPAT_H
#define ZVOSCOMPAT_H

#include <dirent.h>
#include <netdb.h>
#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Resolves name into *result_buf using buf (buflen bytes) as scratch room.
 * Returns 0 with *result set to result_buf (or to null when the name is not
 * found), ERANGE when buf is too small, another error number on failure. */
int _zv_os_gethostbyname_r(const char *name, struct hostent *result_buf,
                           char *buf, size_t buflen, struct hostent **result,
                           int *h_errnop);

/* Reads the next entry of dirp into *entry. Returns 0 with *result set to
 * entry, or to null at the end of the directory; non-zero on failure. */
int _zv_os_readdir_r(DIR *dirp, struct dirent *entry, struct dirent **result);

/* Creates a child that runs only the calling thread. Returns 0 in the child,
 * the child's process id in the parent, -1 when no process was created. */
pid_t fork1(void);

#ifdef __cplusplus
}
#endif

#endif /* ZVOSCOMPAT_H */
