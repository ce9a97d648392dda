// signature_test.cc - the signature trailer: signing, checking and cutting;
// loading the secrets and their ownership rules at start-up and on reload,
// the second secret, the reload while lookups sign and check on other
// threads.
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "testutil.h"

namespace {

const std::string kMsg = "tokenQ=abc at=100000a\n";

std::string sign(const std::string &text) {
  std::string buf = text + std::string(GM_SIGLEN + 1, '\0');
  addSignature(buf.data());
  return buf.c_str();
}

// Checks a copy in a block of exactly its size, so that ASan sees any read
// past the terminator; *cut gets what is left of the text.
int check(const std::string &text, std::string *cut = nullptr) {
  char *p = strdup(text.c_str());
  int r = chkSignature(p);
  if (cut != nullptr) *cut = p;
  return free(p), r;
}

using Signature = GroupTest;

TEST_F(Signature, SignsChecksAndCuts) {
  // Without a secret (nothing added, unsigned trusted, signed not but cut),
  // unsigned with one, a '#' that begins no trailer: signature_fuzz and
  // receive_fuzz check those against any text.
  std::string cut;
  loadSecret("s3cret\n");  // the newline is part of the secret: SHA-1 of "s3cret\n" + kMsg
  std::string s = sign(kMsg), bad = s, upper = s;
  EXPECT_EQ(s, kMsg + "#sig=1f8fbccc22ab8fb3c4ed93a8d26c8d93a87a2f3a\n");
  EXPECT_TRUE(check(s, &cut) == 1 && cut == kMsg);
  bad[3] ^= 1;  // tampered; a trailer in upper case is still good
  for (size_t i = kMsg.size() + 5; i < upper.size(); i++) upper[i] = (char)toupper(upper[i]);
  EXPECT_TRUE(check(bad) == 0 && check(upper) == 1);
  for (std::string tail : {std::string("#si"), std::string("#sig="), s.substr(kMsg.size(), 44)})
    EXPECT_EQ(check(kMsg + tail), 0) << tail;  // short trailers are read only to their end
  loadSecret("");  // an empty file is a secret of length 0
  EXPECT_EQ(sign(kMsg), kMsg + "#sig=ea1386329f9dea0446f6b0feae9b4bc9fbc86de1\n");
}

// kMsg signed with secret, computed here from the digest alone.
std::string signedWith(const std::string &secret, const std::string &text = kMsg) {
  std::string all = secret + text;
  unsigned char d[20];
  sha1(all.data(), (uint32_t)all.size(), d);
  return text + "#sig=" + hexDigest(d) + "\n";
}

// Which secret verifies kMsg signed with secret: GM_SECRET_FIRST or
// GM_SECRET_SECOND, -1 for none.
int verifiedBy(const std::string &secret) {
  std::string t = signedWith(secret);
  int which = -2;
  int ok = verifySignature(t.data(), &which);
  return ok ? which : (which == GM_SECRET_NONE ? -1 : -3);
}

// Puts text into path as an administrator should: a new file renamed over
// the old one.
void install(const std::string &path, const std::string &text, mode_t mode = 0600) {
  put(path + ".new", text);
  chmod((path + ".new").c_str(), mode);
  rename((path + ".new").c_str(), path.c_str());
}

// The first secret f and the second f2, files that must be owned by root.
class SecretFiles : public GroupTest {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs root: the secret files must be owned by uid 0";
    gmSys.poll = [](pollfd *, nfds_t, int) { return 0; };  // the wait for a pair of changes to settle
  }
  const std::string f = tmp.path + "/secret", f2 = f + ".2";
};

// The files change step by step; after each refresh: which secret signs,
// which verify and as which, and the line said (none when "").
TEST_F(SecretFiles, SecondSecretAndReloads) {
  install(f, "old"), install(f2, "new");
  initSignature(f.c_str());
  struct Step {
    const char *what;
    std::function<void()> change;
    const char *signs;
    int oldBy, newBy, thirdBy;
    std::string said;
  } steps[] = {
      {"start: the second checks, never signs", [] {}, "old", GM_SECRET_FIRST, GM_SECRET_SECOND, -1, ""},
      {"rotated", [&] { install(f, "new"), install(f2, "old"); }, "new", GM_SECRET_SECOND,
       GM_SECRET_FIRST, -1, "Signature: new secret from " + f + ": signing with it\n"},
      {"nothing changed", [] {}, "new", GM_SECRET_SECOND, GM_SECRET_FIRST, -1, ""},
      {"second removed", [&] { unlink(f2.c_str()); }, "new", -1, GM_SECRET_FIRST, -1,
       "Signature: " + f2 + " removed: the second secret is no longer accepted\n"},
      {"a second open to others", [&] { install(f2, "third", 0644); }, "new", -1, GM_SECRET_FIRST, -1,
       f2 + " changed but was not taken (not owned by root, or open to group or others): no second"},
      {"first made readable by others", [&] { install(f, "third", 0644); }, "new", -1, GM_SECRET_FIRST,
       -1, f + " changed but was not taken (not owned by root, or open to group or others): the first"},
      {"said once per change", [] {}, "new", -1, GM_SECRET_FIRST, -1, ""},
      {"first removed", [&] { unlink(f.c_str()); }, "new", -1, GM_SECRET_FIRST, -1,
       "(No such file or directory): the first secret in use stays\n"},
      {"first emptied", [&] { install(f, ""); }, "new", -1, GM_SECRET_FIRST, -1, "(empty)"},
      {"a second appears", [&] { install(f2, "third"); }, "new", -1, GM_SECRET_FIRST, GM_SECRET_SECOND,
       "Signature: second secret from " + f2 + ": accepted when checking\n"},
  };
  for (const Step &st : steps) {
    st.change();
    LogCapture log;
    refreshSignature();
    EXPECT_EQ(sign(kMsg), signedWith(st.signs)) << st.what;
    EXPECT_EQ(verifiedBy("old"), st.oldBy) << st.what;
    EXPECT_EQ(verifiedBy("new"), st.newBy) << st.what;
    EXPECT_EQ(verifiedBy("third"), st.thirdBy) << st.what;
    if (st.said.empty())
      EXPECT_EQ(log.text(), "") << st.what;
    else
      EXPECT_TRUE(log.has(st.said)) << st.what << ": " << log.text();
  }

  // At start-up a first file open to others, another user's or missing
  // leaves signing off for the run, whatever appears later; a second file
  // refused is said.
  const std::string foreign = tmp.path + "/foreign", later = tmp.path + "/later";
  install(foreign, "k"), install(f, "old", 0640);
  ASSERT_EQ(chown(foreign.c_str(), 65534, 0), 0);
  LogCapture log;
  for (const std::string &path : {f, foreign, later}) {
    resetSignature(), initSignature(path.c_str());
    EXPECT_EQ(sign(kMsg), kMsg) << path;
  }
  install(later, "late"), refreshSignature();
  EXPECT_EQ(sign(kMsg), kMsg);
  EXPECT_TRUE(log.has("initSignature: gmSignature file modes insecure\n") &&
              log.has("initSignature: open of " + later + " failed: No such file or directory\n"));
  resetSignature();
  install(f, "old"), install(f2, "new", 0640);
  initSignature(f.c_str());
  EXPECT_TRUE(log.has("initSignature: second secret " + f2 + " not taken: not owned by root"));
  EXPECT_EQ(verifiedBy("new"), -1);
}

// Lookups sign and check on their threads while the manager swaps the two
// secrets back and forth: every trailer is one of the two whole secrets'
// (never a freed or half-written one), and the sanitizers see no race.
TEST_F(SecretFiles, ReloadWhileOtherThreadsSignAndCheck) {
  const std::string a(100, 'a'), b(3000, 'b');  // of different lengths
  install(f, a), install(f2, b);
  initSignature(f.c_str());
  const std::string byA = signedWith(a), byB = signedWith(b);
  LogCapture log;  // a line per reload
  std::atomic<bool> stop{false};
  std::atomic<long> signedCount{0}, foreign{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 3; t++)
    threads.emplace_back([&] {
      while (!stop) {
        std::string s = sign(kMsg), c = byA;
        if (s != byA && s != byB) foreign++;
        chkSignature(c.data());
        signedCount++;
      }
    });
  for (int i = 0; i < 200; i++) {
    install(f, i % 2 ? a : b), install(f2, i % 2 ? b : a);
    refreshSignature();
  }
  while (signedCount < 1000) std::this_thread::yield();
  stop = true;
  for (std::thread &t : threads) t.join();
  EXPECT_EQ(foreign, 0);
}

}  // namespace
