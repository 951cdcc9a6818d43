// main.cpp - the wisam command-line tool: create, inspect, dump and load
// ISAM files; check, rebuild, copy, clone and cluster them; print and
// recover transaction logs, back files up, and a demonstration run.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tool.h"

namespace wisam::tool {

namespace {

constexpr const char *kHelp =
    "usage: wisam COMMAND [ARGS] [--journal 0|1|2]\n"
    "\n"
    "  --journal M             how changes reach the files (isJournalMode M): 1, the\n"
    "                          default, through the rollback journal N.wjn, atomic if the\n"
    "                          tool dies or the disk fails; 2 also if the power fails;\n"
    "                          0 in place, faster, not atomic\n"
    "  create NAME --reclen N --key KEY [--key KEY...] [--varlen MAX [--packed]]\n"
    "                          build an ISAM file (the first key is the primary)\n"
    "  info NAME [--json]      summary, key descriptions, and whether the data file\n"
    "                          holds the records the index file counts\n"
    "  stat NAME [--json]      each index's depth, nodes, fill and longest run of equal\n"
    "                          keys; free slots and blocks; the cache sizes that hold it\n"
    "  create NAME --schema S.json\n"
    "                          build an ISAM file with the fields and indexes of a schema,\n"
    "                          and keep the schema with it\n"
    "  schema NAME [--set S.json|--drop]\n"
    "                          the schema kept with the file (NAME.wsc), else a starting\n"
    "                          one from its key descriptions; --set keeps S.json with it\n"
    "  dump NAME [--index K] [--hex|--raw]\n"
    "                          records in the order of index K (0: record number)\n"
    "  dump NAME --schema S.json [--format csv|json|jsonl] [--index K] [--from KEY --to KEY]\n"
    "                          records as field values\n"
    "  load NAME [--format raw] [--atomic] < RECORDS\n"
    "                          write records read from stdin (needs exclusive use)\n"
    "  load NAME --schema S.json [--format csv|json|jsonl] [--atomic] < ROWS\n"
    "                          write records from rows of field values\n"
    "  get NAME KEY --schema S.json [--index K] [--format csv|json|jsonl]\n"
    "                          the record with key KEY (exit 3 when there is none)\n"
    "  put NAME --schema S.json [--format csv|json|jsonl] [ROW]\n"
    "                          write one record, replacing the one with its primary key\n"
    "  export-pg NAME --schema S.json [--table T] [--index K]\n"
    "                          CREATE TABLE, COPY rows and CREATE INDEX for PostgreSQL\n"
    "  demo [DIR]              build a sample file, write, read, delete and rewrite\n"
    "  log LOGFILE [--brief]   print every record of a transaction log\n"
    "  recover LOGFILE [--rollback-unfinished] [--force]\n"
    "                          perform the operations of a log again on the backup copy\n"
    "  backup NAME... DIR [--log LOGFILE]\n"
    "                          copy files while no one changes them; with --log, then\n"
    "                          empty the log\n"
    "  check NAME [--index N] [--json]\n"
    "                          check the data, free list, indexes and variable-length\n"
    "                          blocks, each finding with its place (exit 0 clean, 1 damaged)\n"
    "  rebuild NAME [--free] [--index N|--all]\n"
    "                          regenerate the data free list and indexes from the data\n"
    "  copy SRC DST [--index N]  add the records of SRC to DST (built like SRC if new)\n"
    "  clone SRC DST           an empty file with SRC's layout and indexes\n"
    "  cluster NAME --index N  rewrite the file in the order of index N, compacted\n"
    "  index add NAME KEY | index drop NAME N\n"
    "                          add or drop an index\n"
    "  erase NAME | rename OLD NEW\n"
    "                          remove or rename the files of NAME\n"
    "\n"
    "NAME is an ISAM file's name without extension (NAME.wox, NAME.wod, NAME.lck, and\n"
    "NAME.wsc when a schema is kept with it: then dump, load, get, put and export-pg\n"
    "read it when no --schema is given, and dump and load write and read CSV by\n"
    "default; --format raw says raw records).\n"
    "When NAME.lnk exists, its first line names the files instead; a relative name\n"
    "there is taken from the working directory, not from the directory of NAME.lnk.\n"
    "\n"
    "Rows (--schema): in JSON and JSON lines, values nested more than 64 deep and\n"
    "objects naming a member twice are refused; in CSV, a field or line longer than\n"
    "a record of the schema can need.  A UTF-8 byte-order mark at the start is skipped.\n"
    "\n"
    "'wisam help COMMAND' or 'wisam COMMAND --help' tells more about each command;\n"
    "'wisam --version' the version.  Every option may also be written --option=value.\n"
    "Exit status: 0 done, 1 failed (the message says what was done), 2 usage error,\n"
    "3 no record found (get).  'man wisam' has it all in one place.\n";

struct Command {
    const char *name;
    int (*run)(const Args &);
};

constexpr Command kCommands[] = {
    {"create", createCommand}, {"info", infoCommand}, {"dump", dumpCommand},
    {"load", loadCommand},     {"demo", demoCommand},  {"log", logCommand},
    {"recover", recoverCommand}, {"backup", backupCommand}, {"check", checkCommand},
    {"rebuild", rebuildCommand}, {"copy", copyCommand},     {"clone", cloneCommand},
    {"cluster", clusterCommand}, {"index", indexCommand},   {"erase", eraseCommand},
    {"rename", renameCommand}, {"schema", schemaCommand},   {"export-pg", exportPgCommand},
    {"stat", statCommand},     {"get", getCommand},         {"put", putCommand},
};

// Takes every "--journal M" out of `words`, before the command or after it, and sets isJournalMode; false (with a usage message
// printed) for a mode other than 0, 1 or 2, or two that differ.
bool takeJournalMode(std::vector<std::string> &words, int &status) {
    std::string chosen;
    for (size_t i = 0; i < words.size();) {
        std::string mode;
        if (words[i] != "--journal") {
            ++i;
            continue;
        }
        mode = i + 1 < words.size() ? words[i + 1] : "";
        words.erase(words.begin() + long(i), words.begin() + long(std::min(i + 2, words.size())));
        if (mode != "0" && mode != "1" && mode != "2") {
            status = usage("--journal takes 0, 1 or 2", kHelp);
            return false;
        }
        if (!chosen.empty() && chosen != mode) {
            status = usage("--journal given as " + chosen + " and as " + mode, kHelp);
            return false;
        }
        chosen = mode;
    }
    if (!chosen.empty()) isJournalMode = chosen[0] - '0';
    return true;
}

// Tab completion gives "people.wox" where the tool wants the name
// "people": an argument ending in .wox, .wod, .lck or .wsc whose base is an ISAM
// file (its .wox or link file exists) is taken as the base, said once on
// standard error.
void takeBaseNames(Args &args) {
    bool told = false;
    for (std::string &arg : args) {
        if (arg.size() <= 4 || arg.rfind('-', 0) == 0) continue;
        const std::string extension = arg.substr(arg.size() - 4);
        if (extension != ".wox" && extension != ".wod" && extension != ".lck" && extension != ".wsc") continue;
        const std::string base = arg.substr(0, arg.size() - 4);
        if (::access((base + ".wox").c_str(), F_OK) != 0 && ::access((base + ".lnk").c_str(), F_OK) != 0) continue;
        if (!told) std::fprintf(stderr, "wisam: taking %s as the ISAM file %s\n", arg.c_str(), base.c_str());
        told = true;
        arg = base;
    }
}

// "--option=value" as two words, the way every command reads options.
void splitOptionValues(std::vector<std::string> &words) {
    for (size_t i = 0; i < words.size(); ++i) {
        const size_t equals = words[i].find('=');
        if (words[i].rfind("--", 0) != 0 || equals == std::string::npos || equals < 3) continue;
        std::string value = words[i].substr(equals + 1);
        words[i].resize(equals);
        words.insert(words.begin() + long(i) + 1, std::move(value));
        ++i;
    }
}

int unknownCommand(const std::string &command) {
    const Command *nearest = nullptr;
    size_t best = 3;  // suggest only within two edits
    for (const Command &entry : kCommands) {
        const size_t d = editDistance(command, entry.name);
        if (d < best) best = d, nearest = &entry;
    }
    const std::string hint = nearest != nullptr ? std::string("; did you mean '") + nearest->name + "'?" : "";
    return usage("unknown command '" + command + "'" + hint, kHelp);
}

// "wisam help" and "wisam help COMMAND".
int helpCommand(const Args &args) {
    if (args.empty()) return out("%s", kHelp), kExitOk;
    for (const Command &entry : kCommands) {
        if (args[0] == entry.name) return entry.run({"--help"});
    }
    return unknownCommand(args[0]);
}

int run(int argc, char **argv) {
    std::vector<std::string> words(argv + 1, argv + argc);
    int status = kExitOk;
    splitOptionValues(words);
    if (!takeJournalMode(words, status)) return status;
    if (words.empty()) return std::fputs(kHelp, stderr), kExitUsage;
    const std::string command = words[0];
    if (command == "--help" || command == "-h") return out("%s", kHelp), kExitOk;
    if (command == "--version") return out("wisam %s\n", isversnumber), kExitOk;
    Args args(words.begin() + 1, words.end());
    takeBaseNames(args);
    if (command == "help") return helpCommand(args);
    for (const Command &entry : kCommands) {
        if (command == entry.name) return entry.run(args);
    }
    return unknownCommand(command);
}

}  // namespace

}  // namespace wisam::tool

int main(int argc, char **argv) {
    using namespace wisam::tool;
    int status = run(argc, argv);
    // Nothing reports success over output that did not arrive.
    if (!finishOutput(argc > 1 ? argv[1] : "wisam") && status == kExitOk) status = kExitFailed;
    return status;
}
