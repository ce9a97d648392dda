// zvgm.cc - the operator's command: reads the group's options and hands over
// to a subcommand. Exit status 0 on success, 1 when nothing was heard or
// answered, 2 when the command could not run.
#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "commands.h"

namespace {

const char kUsage[] =
    "usage: zvgm members [--port P] [--group ADDR | --broadcast] [--secret FILE]\n"
    "                    [--wait S] [--json]\n"
    "       zvgm watch   [--port P] [--group ADDR | --broadcast] [--secret FILE] [--wait S]\n"
    "       zvgm lookup CTOKEN [ITOKEN] [--term ADDR] [listening options] [--json]\n"
    "       zvgm ask SERVER token CTOKEN [ITOKEN] | term ID | server [SEQ]\n"
    "                    [--port P] [--secret FILE] [--wait S]\n"
    "       zvgm serve   [--listen ADDR:PORT] [--expect N] [listening options]\n"
    "       zvgm doctor  [--for S] [--port P] [--group ADDR | --broadcast] [--secret FILE]\n"
    "                    [--json]\n"
    "\n"
    "members  listens to the group's announcements (beside a running manager) until\n"
    "         every member was heard twice or S seconds (default 30) have passed,\n"
    "         and prints one row per member\n"
    "watch    the same, live; one line per change when the output is no terminal\n"
    "lookup   asks every trusted member heard where the session of the tokens runs,\n"
    "         as the daemon's lookup does, and shows the choice it would make\n"
    "ask      sends one query to one server and decodes the reply\n"
    "serve    listens for good and serves the group over HTTP (default\n"
    "         127.0.0.1:9709): /metrics for Prometheus, /api/members (the JSON of\n"
    "         members --json), a live page at /; --expect N: the number of members\n"
    "         the group should have alive, exported for the alert rules\n"
    "doctor   checks this host (name, interfaces, group port, firewall, secret file),\n"
    "         listens for two keep-alive intervals (or S seconds) and prints one line\n"
    "         per problem: severity, what it sees, what it costs, what to do\n"
    "\n"
    "The group is 224.101.101.101 on port 7009 unless told otherwise (--broadcast:\n"
    "the group announces by broadcast); --secret names\n"
    "the group's secret file (owned by root, mode 0600; serve also takes one owned\n"
    "by its own user, not writable by group or others), which checks announcements\n"
    "and signs queries. Exit status: 0 done, 1 nothing heard or answered, 2 error;\n"
    "doctor: 0 no problem, 1 warnings only, 2 errors (or it could not run).\n";

int usage(const std::string &why) {
  if (!why.empty()) zvgm::fail(why);
  fputs(kUsage, stderr);
  return zvgm::kExitError;
}

// The options every listening subcommand takes.
void listening(CLI::App *c, zvgm::Options &o, bool group) {
  c->add_option("--port", o.port, "the group's UDP port")->check(CLI::Range(1, 65535));
  c->add_option("--secret", o.secret, "the group's secret file");
  c->add_option("--wait", o.wait, "seconds to listen or wait")->check(CLI::Range(0.0, 86400.0));
  if (!group) return;
  auto *g = c->add_option("--group", o.group, "the multicast group");
  c->add_flag("--broadcast", o.broadcast, "the group announces by broadcast")->excludes(g);
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 2) return usage("");
  if (strcmp(argv[1], "-h") == 0 || strcmp(argv[1], "--help") == 0) {
    fputs(kUsage, stdout);
    return zvgm::kExitOk;
  }
  zvgm::Options o;
  std::string ctoken, itoken, server;
  std::vector<std::string> what;
  CLI::App app{"zvgm: the operator's command of the group manager", "zvgm"};
  app.require_subcommand(1);
  CLI::App *members = app.add_subcommand("members", "one row per member heard");
  listening(members, o, true);
  members->add_flag("--json", o.json, "JSON instead of the table");
  CLI::App *watch = app.add_subcommand("watch", "the members, live");
  listening(watch, o, true);
  CLI::App *lookup = app.add_subcommand("lookup", "where the session of the tokens runs");
  lookup->add_option("CTOKEN", ctoken)->required();
  lookup->add_option("ITOKEN", itoken);
  lookup->add_option("--term", o.term, "the terminal's address");
  lookup->add_flag("--json", o.json, "JSON instead of the table");
  listening(lookup, o, true);
  CLI::App *ask = app.add_subcommand("ask", "one query to one server");
  ask->add_option("SERVER", server)->required();
  ask->add_option("QUERY", what, "token CTOKEN [ITOKEN] | term ID | server [SEQ]")->required();
  listening(ask, o, false);
  CLI::App *serve = app.add_subcommand("serve", "metrics, JSON and a live page over HTTP");
  listening(serve, o, true);
  serve->add_option("--listen", o.listen, "ADDR:PORT to serve HTTP on");
  serve->add_option("--expect", o.expect, "members the group should have alive")
      ->check(CLI::Range(0, 100));
  CLI::App *doctor = app.add_subcommand("doctor", "what keeps the group from working");
  auto *g = doctor->add_option("--group", o.group, "the multicast group");
  doctor->add_flag("--broadcast", o.broadcast, "the group announces by broadcast")->excludes(g);
  doctor->add_option("--port", o.port, "the group's UDP port")->check(CLI::Range(1, 65535));
  doctor->add_option("--secret", o.secret, "the group's secret file");
  doctor->add_option("--for", o.wait, "seconds to listen")->check(CLI::Range(0.0, 86400.0));
  doctor->add_flag("--json", o.json, "one JSON object per finding");
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp &e) {
    return app.exit(e);
  } catch (const CLI::ParseError &e) {
    if (app.get_subcommands().empty() && argv[1][0] != '-')
      return usage("unknown command " + std::string(argv[1]));
    return usage(e.what());
  }
  if (members->parsed()) return zvgm::runMembers(o);
  if (watch->parsed()) return zvgm::runWatch(o);
  if (lookup->parsed()) return zvgm::runLookup(o, ctoken, itoken);
  if (ask->parsed()) return zvgm::runAsk(o, server, what);
  if (doctor->parsed()) return zvgm::runDoctor(o);
  return zvgm::runServe(o);
}
