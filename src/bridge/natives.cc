// natives.cc - the query natives of the daemon's GroupManager class: each one
// turns its Java arguments into text or integers, calls the core operation
// with a buffer on this thread's stack and hands the result back as Java.
#include <jni.h>
#include <stdint.h>
#include <stdlib.h>

#include "bridge/bridge.h"
#include "gm.h"

namespace {

// A Java string argument taken as modified-UTF-8 characters.
struct argText {
  jstring str;       // the argument; null when there was nothing to take
  const char *chars; // its characters, or "" (never null)
};

// The core operations want texts, never null: a null argument, or a string
// whose characters cannot be had for lack of memory, reads as the empty text
// rather than taking the daemon's JVM down.
argText take(JNIEnv *env, jstring str) {
  argText a = {nullptr, ""};
  if (str == nullptr) return a;
  const char *chars = env->GetStringUTFChars(str, nullptr);
  if (chars == nullptr) {
    env->ExceptionClear();
    return a;
  }
  a.str = str;
  a.chars = chars;
  return a;
}

void release(JNIEnv *env, argText *a) {
  if (a->str != nullptr) env->ReleaseStringUTFChars(a->str, a->chars);
}

const int lineSize = 512;  // status lines
const int whichSize = 32;  // "%x:%s:%ld", at most 26 characters
const int primarySize = 64;

} // namespace

extern "C" {

JNIEXPORT jstring JNICALL GM_JNI(whichServer)(JNIEnv *env, jclass,
                                              jstring ctoken, jstring itoken,
                                              jstring ip, jstring force) {
  argText c = take(env, ctoken), i = take(env, itoken), a = take(env, ip),
          f = take(env, force);
  char buf[whichSize] = "";
  whichServer(c.chars, i.chars, a.chars, f.chars, buf);
  release(env, &f);
  release(env, &a);
  release(env, &i);
  release(env, &c);
  return javaText(env, buf);
}

JNIEXPORT jstring JNICALL GM_JNI(findPrimary)(JNIEnv *env, jclass,
                                              jstring term, jstring ip) {
  argText t = take(env, term), a = take(env, ip);
  char buf[primarySize] = "";
  findPrimary(t.chars, a.chars, nullptr, buf);
  release(env, &a);
  release(env, &t);
  return javaText(env, buf);
}

// Tokens are tracked by the daemon alone; the group learns of sessions from
// the session directories.
JNIEXPORT jboolean JNICALL GM_JNI(claimToken)(JNIEnv *env, jclass,
                                              jstring token) {
  argText t = take(env, token);
  release(env, &t);
  return JNI_TRUE;
}

JNIEXPORT jboolean JNICALL GM_JNI(disclaimToken)(JNIEnv *env, jclass,
                                                 jstring token) {
  argText t = take(env, token);
  release(env, &t);
  return JNI_TRUE;
}

JNIEXPORT jint JNICALL GM_JNI(groupNumHosts)(JNIEnv *, jclass) {
  return groupNumHosts();
}

JNIEXPORT jstring JNICALL GM_JNI(groupHostLine)(JNIEnv *env, jclass,
                                                jint hostnum) {
  char buf[lineSize] = "";
  groupHostLine(hostnum, buf);
  return javaText(env, buf);
}

JNIEXPORT jstring JNICALL GM_JNI(groupLoadLine)(JNIEnv *env, jclass,
                                                jint hostnum) {
  char buf[lineSize] = "";
  groupLoadLine(hostnum, buf);
  return javaText(env, buf);
}

JNIEXPORT jint JNICALL GM_JNI(groupNumIfs)(JNIEnv *, jclass, jint hostnum) {
  return groupNumIfs(hostnum);
}

JNIEXPORT jstring JNICALL GM_JNI(groupIntfLine)(JNIEnv *env, jclass,
                                                jint hostnum, jint intfnum) {
  char buf[lineSize] = "";
  groupIntfLine(hostnum, intfnum, buf);
  return javaText(env, buf);
}

JNIEXPORT jstring JNICALL GM_JNI(sessionList)(JNIEnv *env, jclass,
                                              jstring ctoken, jstring itoken,
                                              jstring ip) {
  argText c = take(env, ctoken), i = take(env, itoken), a = take(env, ip);
  char *list = sessionList(c.chars, i.chars, a.chars);
  release(env, &a);
  release(env, &i);
  release(env, &c);
  if (list == nullptr) return env->NewStringUTF("allocation error");
  jstring result = javaText(env, list);
  free(list);
  return result;
}

JNIEXPORT jboolean JNICALL GM_JNI(isNetworkAllowed)(JNIEnv *, jclass,
                                                    jlong ipa) {
  return isNetworkAllowed((uint32_t)(ipa & 0xffffffff)) ? JNI_TRUE : JNI_FALSE;
}

} // extern "C"
