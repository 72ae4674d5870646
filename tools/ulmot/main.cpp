// tools/ulmot/main.cpp - the `ulmot` command: dispatch, help and exit codes.
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>

#include "cli.h"

#ifndef ULMOT_TOOL_VERSION
#define ULMOT_TOOL_VERSION "unknown"
#endif

namespace cli {
namespace {

const char kReaderOptions[] =
    "Reader:\n"
    "  --connect ADDR   a reader at tcp:HOST:PORT or unix:/path (e.g. an ulmot-readerd);\n"
    "                   without it, an emulated reader runs inside ulmot (the embedded reader)\n"
    "  --timeout S      seconds to wait for the connection (default 3)\n"
    "  --tags N         embedded reader: tags in its field, 0 to 10000 (default 50)\n"
    "  --seed S         embedded reader: the seed its tag population follows from (default 1)\n"
    "  --rate N         embedded reader: tag reports per second, 1 to 100000 (default 500)\n"
    "  --capture FILE   record every message to and from the reader in FILE (pcapng), for\n"
    "                   Wireshark with tools/wireshark/ulmot.lua (see docs/DEBUGGING.md)\n"
    "  --json           machine-readable output: one JSON object per line\n";

// The option of every command that starts a schedule; `pad` indents its
// text to the command's column of descriptions.
#define RADIO_BLOCKED_FILE_OPTION(pad)                                           \
    "  --radio-blocked-file PATH\n"                                              \
    pad "refuse the schedule start (exit 4) while a file exists at PATH:\n"      \
    pad "sets ULMOT_RADIO_BLOCKED_FILE, which the emulated device's platform\n"  \
    pad "library (libvyrplatsupp.so) reads at every start\n"

const char kExitCodes[] =
    "Exit codes:\n"
    "  0  done (for inventory, log and gpio watch also: stopped by Ctrl-C or --duration)\n"
    "  1  the command ran but did not succeed (no tag answered, a tag reported an error)\n"
    "  2  bad command line\n"
    "  3  no reader at the address, or the link to it was lost\n"
    "  4  a request timed out or the reader refused it\n"
    "  130  a one-shot command (read, write-user) interrupted by Ctrl-C\n";

const char kMain[] =
    "usage: ulmot COMMAND [OPTIONS]\n"
    "\n"
    "Talks to an RFID reader through libulmot. Without --connect every command runs\n"
    "against an emulated reader inside ulmot, so nothing else needs to run.\n"
    "\n"
    "Commands:\n"
    "  inventory    read tags: a live table on a terminal, JSON lines otherwise\n"
    "  info         versions, radio, antennas and their power limits, GPI/GPO, clock\n"
    "  read         read a memory bank of the tags with an EPC (access read)\n"
    "  write-user   write words of user memory of the tags with an EPC\n"
    "  gpio         get, set or watch the GPI and GPO lines\n"
    "  log          stream the reader's text log\n"
    "\n"
    "  ulmot COMMAND --help   the options of a command\n"
    "  ulmot --version        the tool's version\n"
    "\n";

const char kInventory[] =
    "usage: ulmot inventory [--connect ADDR] [--duration S] [--reads N] [--antennas LIST]\n"
    "                       [--filter HEXPREFIX] [--radio-blocked-file PATH] [--json] [--no-resume]\n"
    "\n"
    "Creates an inventory (and a tag selector for --filter) and a schedule on the reader,\n"
    "starts it and shows what it reads until Ctrl-C, --duration or --reads; then stops\n"
    "it, removes what it created and prints a summary.\n"
    "\n"
    "On a terminal: a table of the unique tags (EPC, reads, antenna, signal strength,\n"
    "last seen) under a line with the read rate and the unique count, redrawn in place.\n"
    "On a pipe, or with --json: one JSON object per read on stdout (epc, pc, antenna,\n"
    "rssi, unit, channel, phase, round, seq, timestamp, time, count) and the summary as\n"
    "one JSON object on stderr (with \"gaps\": the times the link went and came back).\n"
    "\n"
    "Options:\n"
    "  --duration S        stop after S seconds (decimals allowed)\n"
    "  --reads N           the reader stops after N reads, 1 to 65535\n"
    "  --antennas LIST     read on these antennas in turn, e.g. 1,3 (default: every antenna)\n"
    "  --filter HEXPREFIX  only tags whose EPC starts with these hex digits\n"
    "  --no-resume         end (exit 3) when the link to the reader goes; without it the\n"
    "                      tool waits for the link, makes the inventory again and goes on\n"
    RADIO_BLOCKED_FILE_OPTION("                      ");

const char kInfo[] =
    "usage: ulmot info [--connect ADDR] [--json]\n"
    "\n"
    "Prints the reader's version strings, radio model and radio, antennas with their\n"
    "power limits (dBm) and receive antennas, the number of GPI and GPO lines, its\n"
    "clock (UTC) and timestamp.\n";

const char kRead[] =
    "usage: ulmot read --epc HEX [--bank epc|tid|user|reserved] [--offset W] [--words N]\n"
    "                  [--radio-blocked-file PATH] [--connect ADDR] [--json]\n"
    "\n"
    "Reads N words (0: to the end of the bank) from word W of a memory bank of every\n"
    "tag whose EPC starts with HEX, once each, and prints them in hex.\n"
    "\n"
    "Options:\n"
    "  --epc HEX      the EPC, or its first hex digits (required)\n"
    "  --bank NAME    epc, tid (default), user or reserved\n"
    "  --offset W     the first word, from 0 (default 0)\n"
    "  --words N      words to read, 0 to 255 (default 0: to the end of the bank)\n"
    RADIO_BLOCKED_FILE_OPTION("                 ");

const char kWriteUser[] =
    "usage: ulmot write-user --epc HEX --offset W --data HEX [--verify] [--radio-blocked-file PATH]\n"
    "                        [--connect ADDR] [--json]\n"
    "\n"
    "Writes the words of --data to user memory from word W of every tag whose EPC starts\n"
    "with HEX. With --verify it reads them back and fails when they differ.\n"
    "\n"
    "Options:\n"
    "  --epc HEX      the EPC, or its first hex digits (required)\n"
    "  --offset W     the first user word to write (required)\n"
    "  --data HEX     whole 16-bit words, e.g. CAFEF00D (required)\n"
    "  --verify       read the words back afterwards\n"
    RADIO_BLOCKED_FILE_OPTION("                 ");

const char kGpio[] =
    "usage: ulmot gpio get [LINE] | set LINE VALUE | watch [--duration S]   [--connect ADDR] [--json]\n"
    "\n"
    "  get            the state of every input and output line\n"
    "  get LINE       one line; a bare number is an input (in3, out2 say which)\n"
    "  set LINE 0|1   writes a line; a bare number is an output (in3 sets an input's level)\n"
    "                 and prints the state the reader then reports\n"
    "  watch          prints every change of every line until Ctrl-C or --duration\n"
    "                 (the embedded reader toggles input 1 every 500 ms)\n";

const char kLog[] =
    "usage: ulmot log [--duration S] [--connect ADDR] [--json]\n"
    "\n"
    "Streams the reader's text log until Ctrl-C or --duration: the reader's time stamp\n"
    "(seconds of its clock) and the line. (The embedded reader adds a line a second.)\n";

struct Command {
    const char *name;
    int (*run)(int, char **);
    const char *usage;
};

const Command kCommands[] = {
    {"inventory", Inventory, kInventory}, {"info", Info, kInfo},       {"read", ReadMemory, kRead},
    {"write-user", WriteUser, kWriteUser}, {"gpio", Gpio, kGpio},      {"log", Log, kLog},
};

const Command *Find(const std::string &name) {
    for (const Command &c : kCommands) {
        if (name == c.name) return &c;
    }
    return nullptr;
}

bool AsksForHelp(int argc, char **argv) {
    for (int i = 2; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) return true;
    }
    return false;
}

}  // namespace

const char *UsageOf(const std::string &command) {
    const Command *c = Find(command);
    return c == nullptr ? nullptr : c->usage;
}

}  // namespace cli

int main(int argc, char **argv) {
    using namespace cli;
    InstallSignalHandlers();
    // A closed pipe on stdout shows as a write error, which ends a streaming
    // command cleanly, instead of killing the process mid-clean-up.
    std::signal(SIGPIPE, SIG_IGN);
    if (argc < 2) {
        std::fprintf(stderr, "%s%s\n%s", kMain, kReaderOptions, kExitCodes);
        return kUsage;
    }
    const std::string name = argv[1];
    if (name == "--help" || name == "-h" || name == "help") {
        std::printf("%s%s\n%s", kMain, kReaderOptions, kExitCodes);
        return kOk;
    }
    if (name == "--version") {
        std::printf("ulmot %s\n", ULMOT_TOOL_VERSION);
        return kOk;
    }
    const Command *command = Find(name);
    if (command == nullptr) {
        std::fprintf(stderr, "ulmot: unknown command '%s'. Try 'ulmot --help'.\n", name.c_str());
        return kUsage;
    }
    if (AsksForHelp(argc, argv)) {
        std::printf("%s\n%s\n%s", command->usage, kReaderOptions, kExitCodes);
        return kOk;
    }
    try {
        return command->run(argc, argv);
    } catch (const Failure &f) {
        std::fflush(stdout);
        std::fprintf(stderr, "ulmot %s: %s\n", name.c_str(), f.message.c_str());
        if (f.code == kUsage) std::fprintf(stderr, "Try 'ulmot %s --help'.\n", name.c_str());
        return f.code;
    } catch (const std::exception &e) {
        std::fprintf(stderr, "ulmot %s: %s\n", name.c_str(), e.what());
        return kFailed;
    }
}
