// zvgm.cc - the operator's command: reads the group's options and hands over
// to a subcommand. Exit status 0 on success, 1 when nothing was heard or
// answered, 2 when the command could not run.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "commands.h"

namespace {

const char kUsage[] =
    "usage: zvgm members [--port P] [--group ADDR | --broadcast] [--secret FILE]\n"
    "                    [--wait S] [--json]\n"
    "       zvgm watch   [--port P] [--group ADDR | --broadcast] [--secret FILE] [--wait S]\n"
    "       zvgm lookup CTOKEN [ITOKEN] [--term ADDR] [listening options] [--json]\n"
    "       zvgm ask SERVER token CTOKEN [ITOKEN] | term ID | server [SEQ]\n"
    "                    [--port P] [--secret FILE] [--wait S]\n"
    "\n"
    "members  listens to the group's announcements (beside a running manager) until\n"
    "         every member was heard twice or S seconds (default 30) have passed,\n"
    "         and prints one row per member\n"
    "watch    the same, live; one line per change when the output is no terminal\n"
    "lookup   asks every trusted member heard where the session of the tokens runs,\n"
    "         as the daemon's lookup does, and shows the choice it would make\n"
    "ask      sends one query to one server and decodes the reply\n"
    "\n"
    "The group is 224.101.101.101 on port 7009 unless told otherwise (--broadcast:\n"
    "the group announces by broadcast); --secret names\n"
    "the group's secret file (owned by root, mode 0600), which checks announcements\n"
    "and signs queries. Exit status: 0 done, 1 nothing heard or answered, 2 error.\n";

int usage(const std::string &why) {
  if (!why.empty()) zvgm::fail(why);
  fputs(kUsage, stderr);
  return zvgm::kExitError;
}

bool number(const char *s, double lo, double hi, double *out) {
  char *end;
  double v = strtod(s, &end);
  if (*s == '\0' || *end != '\0' || v < lo || v > hi) return false;
  *out = v;
  return true;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 2 || strcmp(argv[1], "-h") == 0 || strcmp(argv[1], "--help") == 0)
    return argc < 2 ? usage("") : (fputs(kUsage, stdout), 0);
  std::string cmd = argv[1];
  zvgm::Options o;
  std::vector<std::string> args;
  for (int i = 2; i < argc; i++) {
    std::string a = argv[i];
    auto value = [&](const char *what) -> const char * {
      if (i + 1 >= argc) return nullptr;
      (void)what;
      return argv[++i];
    };
    double v;
    if (a == "--json") {
      o.json = true;
    } else if (a == "--broadcast") {
      o.broadcast = true;
    } else if (a == "--port" || a == "--group" || a == "--secret" || a == "--wait" ||
               a == "--term") {
      const char *s = value(a.c_str());
      if (s == nullptr) return usage(a + " needs a value");
      if (a == "--port") {
        if (!number(s, 1, 65535, &v) || v != (int)v) return usage("bad port " + std::string(s));
        o.port = (int)v;
      } else if (a == "--wait") {
        if (!number(s, 0, 86400, &v)) return usage("bad wait " + std::string(s));
        o.wait = v;
      } else if (a == "--group") {
        o.group = s;
      } else if (a == "--secret") {
        o.secret = s;
      } else {
        o.term = s;
      }
    } else if (a.size() > 1 && a[0] == '-' && a != "-") {
      return usage("unknown option " + a);
    } else {
      args.push_back(a);
    }
  }
  if (cmd == "members" || cmd == "watch") {
    if (!args.empty()) return usage(cmd + " takes no arguments");
    return cmd == "members" ? zvgm::runMembers(o) : zvgm::runWatch(o);
  }
  if (cmd == "lookup") {
    if (args.empty() || args.size() > 2) return usage("lookup needs CTOKEN [ITOKEN]");
    return zvgm::runLookup(o, args[0], args.size() > 1 ? args[1] : "");
  }
  if (cmd == "ask") {
    if (args.size() < 2) return usage("ask needs a server and a query kind");
    return zvgm::runAsk(o, args[0], std::vector<std::string>(args.begin() + 1, args.end()));
  }
  return usage("unknown command " + cmd);
}
