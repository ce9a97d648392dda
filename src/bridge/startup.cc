// startup.cc - the start-up native: imports the daemon's settings from its
// Configuration class, keeps the manager thread's Java environment for the
// terminal callback and installs that callback, and gives the calling thread
// to the group manager.
#include <jni.h>

#include "bridge/bridge.h"
#include "gm.h"
#include "placement/placement.h"

namespace {

const char *const configClass = "auth/zvauthd/Configuration";

// A string setting whose characters the manager keeps for as long as it runs.
struct heldText {
  jstring str;       // the field's value; null when nothing was taken
  const char *chars; // its modified-UTF-8 characters, or null
};

// A failed lookup leaves a pending exception; clearing it at once keeps the
// daemon from ever seeing a missing setting as an exception.
bool cleared(JNIEnv *env) {
  if (!env->ExceptionCheck()) return false;
  env->ExceptionClear();
  return true;
}

jfieldID fieldOf(JNIEnv *env, jclass cls, const char *name, const char *sig) {
  jfieldID id = env->GetStaticFieldID(cls, name, sig);
  if (cleared(env)) return nullptr;
  return id;
}

void readInt(JNIEnv *env, jclass cls, const char *name, int32_t *out) {
  jfieldID id = fieldOf(env, cls, name, "I");
  if (id != nullptr) *out = env->GetStaticIntField(cls, id);
}

void readBool(JNIEnv *env, jclass cls, const char *name, int32_t *out) {
  jfieldID id = fieldOf(env, cls, name, "Z");
  if (id != nullptr) *out = env->GetStaticBooleanField(cls, id);
}

// A field holding null keeps the default: there are no characters to ask for.
void readText(JNIEnv *env, jclass cls, const char *name, const char **out,
              heldText *held) {
  jfieldID id = fieldOf(env, cls, name, "Ljava/lang/String;");
  if (id == nullptr) return;
  jstring str = static_cast<jstring>(env->GetStaticObjectField(cls, id));
  if (str == nullptr) return;
  const char *chars = env->GetStringUTFChars(str, nullptr);
  if (chars == nullptr) { // out of memory: keep the default
    cleared(env);
    env->DeleteLocalRef(str);
    return;
  }
  held->str = str;
  held->chars = chars;
  *out = chars;
}

void release(JNIEnv *env, heldText *held) {
  if (held->str == nullptr) return;
  env->ReleaseStringUTFChars(held->str, held->chars);
  env->DeleteLocalRef(held->str);
}

} // namespace

extern "C" {

JNIEXPORT jstring JNICALL GM_JNI(groupManager)(JNIEnv *env, jclass) {
  jclass cls = env->FindClass(configClass);
  if (cls == nullptr) cleared(env);
  GMenv = env;
  gmTerminalHere = gotTerminal;

  // Without the class or its switch the group stays off: a daemon that cannot
  // say whether it wants group networking must not start sending to every
  // interface it has. Status lines and local answers still work.
  gm_params gmp = {};
  gmp.gmport = GM_DEFAULT_PORT;
  gmp.keepAliveInterval = GM_DEFAULT_KEEPALIVE;
  gmp.LANallowed = 0;
  gmp.use_multicast = 1;
  gmp.enableGM = 0;
  gmp.mcaddr = GM_DEFAULT_GROUP;
  gmp.mcTTL = GM_DEFAULT_TTL;
  gmp.use_lb = 0;
  gmp.debug = 0;
  gmp.sigfile = "";

  heldText mcaddr = {nullptr, nullptr};
  heldText sigfile = {nullptr, nullptr};
  if (cls != nullptr) {
    readInt(env, cls, "gmport", &gmp.gmport);
    readInt(env, cls, "gmKeepAliveInterval", &gmp.keepAliveInterval);
    readBool(env, cls, "allowLANConnections", &gmp.LANallowed);
    readBool(env, cls, "enableMulticast", &gmp.use_multicast);
    readBool(env, cls, "enableGroupManager", &gmp.enableGM);
    readText(env, cls, "multicastAddress", &gmp.mcaddr, &mcaddr);
    readInt(env, cls, "multicastTTL", &gmp.mcTTL);
    readBool(env, cls, "enableLoadBalancing", &gmp.use_lb);
    readInt(env, cls, "gmDebug", &gmp.debug);
    readText(env, cls, "gmSignatureFile", &gmp.sigfile, &sigfile);
    env->DeleteLocalRef(cls);
  }

  char errbuf[128] = "";
  groupManager(gmp, errbuf);

  release(env, &mcaddr);
  release(env, &sigfile);
  return javaText(env, errbuf);
}

} // extern "C"
