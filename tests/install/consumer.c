/* consumer.c - a program of someone else's, built against an installed zvgm
 * (through pkg-config or find_package): uses the header and links the library
 * by its installed name. Prints "ok" and exits 0 when the library answers. */
#include <gm.h>
#include <stdio.h>
#include <string.h>

int main(void) {
  static const char want[] = "a9993e364706816aba3e25717850c26c9cd0d89d";
  unsigned char d[20];
  char hex[41], dotted[32];
  struct in_addr a = {0};
  sha1("abc", 3, d);
  for (int i = 0; i < 20; i++) sprintf(hex + 2 * i, "%02x", d[i]);
  /* A dotted address is taken as it is: nothing is looked up. */
  int rc = GetIPAddr("198.51.100.1", &a);
  toDottedDecimal(ntohl(a.s_addr), dotted); /* takes host order */
  if (strcmp(hex, want) != 0 || rc != 0 || strcmp(dotted, "198.51.100.1") != 0) {
    printf("consumer: unexpected answers: %s %d %s\n", hex, rc, dotted);
    return 1;
  }
  puts("ok");
  return 0;
}
