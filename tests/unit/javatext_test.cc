// javatext_test.cc - texts on their way to Java: well-formed UTF-8 arrives
// unchanged (four-byte characters as their surrogate pair), everything that
// would not be well-formed modified UTF-8 becomes '?'.
#include <gtest/gtest.h>

#include <string>

#ifdef ZVGM_TEST_NATIVES
#include <jni.h>

#include "bridge/bridge.h"

namespace {

std::string converted(const std::string &in) {
  std::string out(in.size() * 3 / 2 + 1, '\x7f');
  out.resize(modifiedUtf8(in.c_str(), out.data()));
  return out;
}

TEST(JavaText, WellFormedPassesTheRestIsReplaced) {
  struct { const char *in, *out; } cases[] = {  // out nullptr: unchanged
      {"tty-01 #3", nullptr}, {"Z\xc3\xbcrich-\xe7\xb5\x82\xe7\xab\xaf", nullptr}, {"\xc2\x80\xdf\xbf\xe0\xa0\x80\xef\xbf\xbf", nullptr},
      {"\xf0\x9f\x98\x80!", "\xed\xa0\xbd\xed\xb8\x80!"},             // U+1F600 as its surrogates
      {"\xf4\x8f\xbf\xbf", "\xed\xaf\xbf\xed\xbf\xbf"},               // U+10FFFF, the last
      {"\xc0\x80|\xc1\xbf|\xe0\x80\xaf|\xf0\x8f\xbf\xbf", "??|??|???|????"},  // overlong, NUL too
      {"\xed\xa0\xbd\xed\xb8\x80", "\xed\xa0\xbd\xed\xb8\x80"},  // a pair as Java writes U+1F600
      {"\xed\xb8\x80\xed\xa0\xbd|\xed\xa0\xbd", "??????|???"},          // lone surrogates
      {"\xf4\x90\x80\x80|\xf5\x80|\xff", "????|??|?"},                 // past U+10FFFF
      {"a\xe2\x82|\x80x|\xe2\x82\xac\xe2\x82", "a??|?x|\xe2\x82\xac??"},  // truncated, stray
      {"\xc3", "?"}};
  for (const auto &c : cases) EXPECT_EQ(converted(c.in), c.out ? c.out : c.in) << c.in;
}

TEST(JavaText, ReachesTheJvmConverted) {
  static std::string got;
  JNINativeInterface_ table = {};
  table.NewStringUTF = [](JNIEnv *, const char *s) -> jstring { return got = s, nullptr; };
  JNIEnv env;
  env.functions = &table;
  std::string many;
  for (int i = 0; i < 700; i++) many += "\xf0\x9f\x98\x80";  // past the stack buffer
  javaText(&env, many.c_str());
  EXPECT_TRUE(got.size() == 4200u && got.substr(0, 6) == "\xed\xa0\xbd\xed\xb8\x80");
  javaText(&env, "x\xc3");
  EXPECT_EQ(got, "x?");
}

}  // namespace

#else
TEST(JavaText, WellFormedPassesTheRestIsReplaced) { GTEST_SKIP() << "built without the Java natives (no jni.h)"; }
#endif
