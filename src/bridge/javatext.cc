// javatext.cc - the one way texts of the group manager become Java strings:
// through modifiedUtf8, so that the JVM gets well-formed text whatever came
// off the wire.
#include <jni.h>
#include <stdlib.h>
#include <string.h>

#include "bridge/bridge.h"

namespace {

// Room the converted text of len bytes may need with its NUL: a character
// of four bytes becomes six, everything else keeps or shrinks its length.
size_t convertedRoom(size_t len) { return len + len / 2 + 1; }

}  // namespace

extern "C" {

jstring javaText(JNIEnv *env, const char *text) {
  size_t room = convertedRoom(strlen(text));
  char small[2048];
  char *buf = room <= sizeof small ? small : (char *)malloc(room);
  if (buf == nullptr) return env->NewStringUTF("");
  modifiedUtf8(text, buf);
  jstring s = env->NewStringUTF(buf);
  if (buf != small) free(buf);
  return s;
}

}  // extern "C"
