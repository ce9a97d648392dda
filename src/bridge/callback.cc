// callback.cc - the one call from the group manager into its daemon: asks
// whether a terminal is attached here. Runs on the manager thread only,
// through the environment that the start-up native kept in GMenv.
#include <jni.h>
#include <stdio.h>

#include "bridge/bridge.h"
#include "gm.h"

namespace {

JNIEnv *managerEnv() { return static_cast<JNIEnv *>(GMenv); }

// The messages go to standard output without a timestamp; flushing keeps
// them in order with the daemon's own output.
void say(const char *msg) {
  puts(msg);
  fflush(stdout);
}

} // namespace

extern "C" {

int exception(void) {
  JNIEnv *env = managerEnv();
  if (env == nullptr) return 0;
  jthrowable thrown = env->ExceptionOccurred();
  if (thrown == nullptr) return 0;
  env->ExceptionDescribe();
  env->ExceptionClear();
  env->DeleteLocalRef(thrown);
  return 1;
}

int gotTerminal(const char *term) {
  JNIEnv *env = managerEnv();
  if (env == nullptr) return 0;

  // Every reference made here is deleted before return: the manager thread
  // never leaves its native frame, so nothing else would ever free them.
  // A terminal id comes off the wire: javaText makes it safe for the JVM.
  jstring jterm = javaText(env, term != nullptr ? term : "");
  if (exception() || jterm == nullptr) {
    say("gotTerminal:: NewStringUTF failed !!!");
    if (jterm != nullptr) env->DeleteLocalRef(jterm);
    return 0;
  }
  jclass cls = env->FindClass("auth/zvauthd/AuthRecord");
  if (exception() || cls == nullptr) {
    say("gotTerminal::FindClass failed !!!");
    env->DeleteLocalRef(jterm);
    return 0;
  }
  jmethodID mid =
      env->GetStaticMethodID(cls, "gotTerminal", "(Ljava/lang/String;)I");
  if (exception() || mid == nullptr) {
    say("gotTerminal::GetStaticMethodID failed !!!");
    env->DeleteLocalRef(cls);
    env->DeleteLocalRef(jterm);
    return 0;
  }
  jint result = env->CallStaticIntMethod(cls, mid, jterm);
  if (exception()) {
    say("gotTerminal::CallStaticIntMethod failed !!!");
    result = 0;
  }
  env->DeleteLocalRef(cls);
  env->DeleteLocalRef(jterm);
  return result;
}

} // extern "C"
