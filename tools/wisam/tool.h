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
int logCommand(const Args &args);
int recoverCommand(const Args &args);
int backupCommand(const Args &args);

// Prints "wisam: WHAT: error N: TEXT (I/O code C)" for the last failure of
// `f` (null: the reason of a failed build or open) and returns 1.
int fail(const std::string &what, IsFile *f);

// Prints "wisam: WHAT: error N: TEXT" for an errno value, with the library's
// texts for 100 and up, and returns 1.
int failErrno(const std::string &what, int error);

// Prints a usage error and returns 2.
int usage(const std::string &message, const char *help);

// The UTF-16 form of a file name given on the command line (UTF-8).
std::u16string fileName(const std::string &name);

// The base name of the files of ISAM file NAME: the first line of NAME.lnk
// when that file exists and the line is not empty, as the library resolves
// it, else NAME.  The index file is the result + ".wox".
std::string basePath(const std::string &name);

// Whether `args` asks for help.
bool wantsHelp(const Args &args);

}  // namespace wisam::tool
