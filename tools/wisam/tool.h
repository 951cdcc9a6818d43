// tool.h - what the commands of the wisam tool share.
#pragma once

#include <string>
#include <vector>

#include "wisam.h"

namespace wisam::tool {

using Args = std::vector<std::string>;

int createCommand(const Args &args);
int infoCommand(const Args &args);
int dumpCommand(const Args &args);
int loadCommand(const Args &args);
int demoCommand(const Args &args);

// Prints "wisam: WHAT: error N: TEXT (I/O code C)" for the last failure of
// `f` (null: the reason of a failed build or open) and returns 1.
int fail(const std::string &what, IsFile *f);

// Prints a usage error and returns 2.
int usage(const std::string &message, const char *help);

// The UTF-16 form of a file name given on the command line (UTF-8).
std::u16string fileName(const std::string &name);

// Whether `args` asks for help.
bool wantsHelp(const Args &args);

}  // namespace wisam::tool
