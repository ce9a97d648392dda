/* bridge.h - the one call from the group manager into its daemon. */
#ifndef ZVGM_BRIDGE_H
#define ZVGM_BRIDGE_H

#ifdef __cplusplus
extern "C" {
#endif

/* The daemon's answer whether term is attached here; 0 when the call fails.
 * Manager thread only. */
int gotTerminal(const char *term);
/* 1 after describing and clearing a pending exception on GMenv, else 0. */
int exception(void);

#ifdef _JAVASOFT_JNI_H_
/* text as a new Java string. The group's texts are ASCII; a byte above 127
 * (a peer's name, a terminal id off the wire) is replaced by '?' in place
 * first, so that malformed modified UTF-8 never reaches the JVM. */
jstring javaText(JNIEnv *env, char *text);
#endif

#ifdef __cplusplus
}
#endif

#endif /* ZVGM_BRIDGE_H */
