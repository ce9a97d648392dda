/* bridge.h - the one call from the group manager into its daemon, and the
 * conversion of the manager's texts into Java strings (modifiedUtf8 needs no
 * JVM and is there in every build). */
#ifndef ZVGM_BRIDGE_H
#define ZVGM_BRIDGE_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The daemon's answer whether term is attached here; 0 when the call fails.
 * The start-up native installs it as gmTerminalHere. Manager thread only. */
int gotTerminal(const char *term);
/* 1 after describing and clearing a pending exception on GMenv, else 0. */
int exception(void);

/* Copies text into out as well-formed modified UTF-8 and returns its length.
 * Well-formed UTF-8 keeps its characters: those of one to three bytes as
 * they are, those of four bytes as their surrogate pair (six bytes); a
 * surrogate pair as a peer's JVM writes it stays as it is. Every byte that
 * starts no well-formed character (a stray or missing continuation byte, an
 * overlong form, NUL's C0 80 included, a lone surrogate, a code point past
 * U+10FFFF) becomes '?'. out needs strlen(text) * 3 / 2 + 1 bytes. */
size_t modifiedUtf8(const char *text, char *out);

#ifdef _JAVASOFT_JNI_H_
/* text as a new Java string, through modifiedUtf8: whatever a peer's name or
 * a terminal id off the wire holds, malformed modified UTF-8 never reaches
 * the JVM, and well-formed UTF-8 reaches it unchanged. */
jstring javaText(JNIEnv *env, const char *text);
#endif

#ifdef __cplusplus
}
#endif

#endif /* ZVGM_BRIDGE_H */
