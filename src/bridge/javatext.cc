// javatext.cc - the one way texts of the group manager become Java strings:
// the JVM takes only well-formed modified UTF-8, and nothing that arrives off
// the wire is allowed to decide whether what it gets is well formed.
#include <jni.h>

#include "bridge/bridge.h"

extern "C" jstring javaText(JNIEnv *env, char *text) {
  for (unsigned char *p = (unsigned char *)text; *p != 0; p++)
    if (*p > 127) *p = '?';
  return env->NewStringUTF(text);
}
