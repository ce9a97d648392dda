// commands.h - the subcommands of zvgm, each returning the exit status:
// members and watch (show.cc), lookup and ask (lookup.cc).
#ifndef ZVGM_CLI_COMMANDS_H
#define ZVGM_CLI_COMMANDS_H

#include <string>
#include <vector>

#include "roster.h"

namespace zvgm {

int runMembers(const Options &o);
int runWatch(const Options &o);
int runLookup(const Options &o, const std::string &ctoken, const std::string &itoken);
// what: "token" CTOKEN [ITOKEN], "term" ID, "server" [SEQ].
int runAsk(const Options &o, const std::string &server, const std::vector<std::string> &what);

// Formatting shared by the commands.
std::string ago(time_t seconds);          // "3 s", "2 min 5 s"
std::string jsonText(const std::string &s);  // a quoted JSON string
void fail(const std::string &msg);       // "zvgm: msg" on standard error

}  // namespace zvgm

#endif
