// commands.h - the subcommands of zvgm, each returning the exit status:
// members and watch (show.cc), lookup and ask (lookup.cc), serve (serve.cc),
// doctor (doctor.cc).
#ifndef ZVGM_CLI_COMMANDS_H
#define ZVGM_CLI_COMMANDS_H

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "roster.h"

namespace zvgm {

// Objects keep their keys in the order written.
using Json = nlohmann::ordered_json;

int runMembers(const Options &o);
int runWatch(const Options &o);
int runLookup(const Options &o, const std::string &ctoken, const std::string &itoken);
// what: "token" CTOKEN [ITOKEN], "term" ID, "server" [SEQ].
int runAsk(const Options &o, const std::string &server, const std::vector<std::string> &what);
int runServe(const Options &o);
// Listens for o.wait seconds (-1: two keep-alive intervals); the status is
// the worst finding's: 0 none, 1 warnings, 2 errors.
int runDoctor(const Options &o);

// The group as `members --json` and serve's /api/members show it, after
// listening for the given seconds.
Json membersJson(const Roster &r, time_t now, double listened);
// The members by name, the order an operator looks them up in.
std::vector<const Member *> byName(const Roster &r);

// Formatting shared by the commands.
std::string ago(time_t seconds);          // "3 s", "2 min 5 s"
Json oneDecimal(double v);               // a number as "%.1f" shows it; null for NaN

// Names and texts from the wire may hold any byte: JSON strings take them as
// Latin-1, so that every byte survives as one character.
std::string text(const char *s);
void fail(const std::string &msg);       // "zvgm: msg" on standard error

}  // namespace zvgm

#endif
