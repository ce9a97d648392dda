/* zv_thread.h - the suite's thread primitives as the group manager uses them:
 * one mutex type, statically initialisable, locked and unlocked. */
#ifndef ZV_THREAD_H
#define ZV_THREAD_H

#include <pthread.h>

typedef pthread_mutex_t ZV_MUTEX_T;

#define ZV_MUTEX_INITIALIZER PTHREAD_MUTEX_INITIALIZER
#define ZV_MUTEX_LOCK(m) pthread_mutex_lock(m)
#define ZV_MUTEX_UNLOCK(m) pthread_mutex_unlock(m)

#endif /* ZV_THREAD_H */
