#include "usage.h"

namespace kovctl {

const char* usageText(Command command) {
    switch (command) {
    case Command::None:
        return "usage: kovctl [OPTIONS] COMMAND [ARGUMENTS]\n"
               "\n"
               "Talks to the KOV broker module as any caller does.\n"
               "\n"
               "commands:\n"
               "  list              providers with their handles, keys, paths and function sets,\n"
               "                    then the registered libraries that did not load\n"
               "  info              the broker's own information record\n"
               "  stats             usage counters (of this process; --pid PID: of another)\n"
               "  ps                processes using the broker: program, providers, calls, uptime\n"
               "  top               calls and failures per second of every process and provider\n"
               "  trace --pid PID   requests of a process as they pass (--count N, default 10)\n"
               "  reload            unload and reload every provider\n"
               "  register KEY PATH add a provider library to the registry\n"
               "  remove KEY [PATH] take a provider library (or all of KEY's) out of the registry\n"
               "  lang              the broker's language tag\n"
               "  check-lang TAG    compare TAG with the broker's language tag\n"
               "  send              send any request to any provider\n"
               "  inspect PATH      would the broker load this library? its description or why not\n"
               "  registry          the registered libraries and whether each one loads\n"
               "  enable KEY [PATH] let a library that crashed a process while it loaded be\n"
               "                    loaded again\n"
               "  session [FILE]    one command per line of FILE (or standard input) in one\n"
               "                    process: a provider keeps its state from one to the next\n"
               "  version           kovctl's version and the module's (as --version)\n"
               "\n"
               "options (any command):\n"
               "  --json            print one JSON object instead of text\n"
               "  --sync            send with kov_SendSync instead of kov_Send\n"
               "  --module PATH     the broker module to load (default: $KOV_BROKER_MODULE,\n"
               "                    else the module beside kovctl)\n"
               "  --timeout MS      how long to wait for the answer, with or without --sync\n"
               "                    (10000); a call given up on is left pending (exit 3)\n"
               "  --help            this text; COMMAND --help for one command\n"
               "  --version         kovctl's version and the module's\n"
               "  --loaded-only     list: only what loaded, exit 0 even when some library did not\n"
               "  --wide            list: every column (path, maker, copyright, timestamp)\n"
               "  --stop-on-error   session: stop at the first command that fails\n"
               "  --user, --machine register, remove, registry: the user's own registry, or the\n"
               "                    machine's\n"
               "\n"
               "exit status: 0 success, 1 bad command line, 2 the outcome carried a nonzero\n"
               "status (its name is printed), 3 no usable answer (module, confirm or reply,\n"
               "a provider that refused, no answer in time, an unusable or locked registry),\n"
               "4 a provider library crashed kovctl's worker process while the broker loaded or\n"
               "called it (the library is named, with how to take it out; one that crashed the\n"
               "loading is skipped by later processes until enabled again).\n"
               "\n"
               "registry: $KOV_BROKER_REGISTRY, else /var/lib/kov_broker/registry.db (Linux);\n"
               "HKEY_LOCAL_MACHINE\\Software\\KOV_Broker (Windows). Reading it needs no write\n"
               "access; register and remove do. Each user's own registry is loaded after it\n"
               "(its keys shadow the machine's): $KOV_BROKER_USER_REGISTRY, else\n"
               "$XDG_CONFIG_HOME/kov_broker/registry.db or ~/.config/kov_broker/registry.db\n"
               "(Linux); HKEY_CURRENT_USER\\Software\\KOV_Broker (Windows). Set-user-id and\n"
               "elevated programs ignore it. The manual: share/doc/kovbroker/kovctl.md.\n";
    case Command::List:
        return "usage: kovctl list [--loaded-only] [--wide] [--json] [--sync] [--module PATH]\n"
               "                  [--timeout MS]\n"
               "\n"
               "Names the registry, then lists the loaded providers in handle order, the\n"
               "broker's own first: the handle to send to, the registry key it was loaded from\n"
               "(KEY (user) from the user's own registry, (broker) for the broker's own, (not\n"
               "registered) for one removed since), the function sets served with their\n"
               "versions and the product, in 80 columns.\n"
               "--wide adds the library path, maker, copyright and the time the provider was\n"
               "described. Then every registered library that did not load, with the reason\n"
               "(as inspect gives it); the exit status is then 2 (STATUS_PROVIDER_LOAD_FAILED).\n"
               "--loaded-only shows the loaded providers alone and exits 0.\n";
    case Command::Info:
        return "usage: kovctl info [--json] [--sync] [--module PATH] [--timeout MS]\n"
               "\n"
               "Shows the broker's product name, maker, copyright, record version and the time\n"
               "of the request.\n";
    case Command::Stats:
        return "usage: kovctl stats [--json] [--sync] [--module PATH] [--timeout MS]\n"
               "       kovctl stats --pid PID [--json]\n"
               "\n"
               "Without --pid, shows the statistics record of kovctl's own process (each run is a\n"
               "process of its own, so the stats request itself is most of it): the record's\n"
               "length, version and reserved fields, then every counter: calls, deliveries and\n"
               "failures of both send functions, the bytes the broker allocated and freed, and\n"
               "the function sets served.\n"
               "With --pid, shows process PID's counters from the region it publishes, without\n"
               "loading the broker: its totals and, for each provider, requests sent, in flight,\n"
               "confirm bytes and failures by status.\n";
    case Command::Ps:
        return "usage: kovctl ps [--clean] [--json]\n"
               "\n"
               "Lists this user's processes that use the broker, from the regions they publish:\n"
               "pid, program, providers, calls and uptime. A region whose process is gone is\n"
               "stale (the process crashed); --clean removes those. A region that fails its\n"
               "checks is reported as malformed and not read.\n";
    case Command::Top:
        return "usage: kovctl top [--once] [--interval MS] [--json]\n"
               "\n"
               "For every process and provider: calls and failures per second over --interval\n"
               "(default 1000 ms), requests in flight and the totals; refreshed until\n"
               "interrupted, or shown once with --once.\n";
    case Command::Trace:
        return "usage: kovctl trace --pid PID [--count N] [--timeout MS] [--json]\n"
               "\n"
               "Turns tracing on in process PID (unless it is on already), shows its next N\n"
               "requests (default 10) as they pass: time, thread, kind, handle, set, code,\n"
               "status, request and confirm lengths and latency, and turns tracing off again.\n"
               "Fails when fewer than N come within --timeout (default 10000 ms).\n";
    case Command::Reload:
        return "usage: kovctl reload [--json] [--sync] [--module PATH] [--timeout MS]\n"
               "\n"
               "Unloads every provider and loads the registry's list again, in kovctl's own\n"
               "process; every provider gets a new handle. A provider built with KEEP_LOADED\n"
               "(kov_keepLoaded) is not unmapped: its code and data survive, its globals keep\n"
               "their values, its initialisation does not run again and its threads go on.\n";
    case Command::Register:
        return "usage: kovctl register KEY PATH [--user | --machine] [--json] [--sync]\n"
               "                       [--module PATH] [--timeout MS]\n"
               "\n"
               "Loads the provider library PATH and, if it works as a provider, records it in\n"
               "the registry under the provider key KEY. A relative PATH is recorded as the full\n"
               "path of the file it names from here (a note says so). A library inspect would\n"
               "refuse is refused at once (STATUS_PROVIDER_LOAD_FAILED). Warns when another\n"
               "registered provider serves one of the same function sets. Fails with\n"
               "STATUS_ALREADY_REGISTERED when KEY exists, STATUS_REGISTRY_ERROR without write\n"
               "access to the registry; the reason follows on the next line (\"reason\" with\n"
               "--json). --machine writes the machine's registry (through the broker), --user\n"
               "the user's own, for this user's programs alone, from their next load or reload.\n"
               "Neither: the machine's where kovctl may write it, else the user's (a note says so).\n";
    case Command::Remove:
        return "usage: kovctl remove KEY [PATH] [--user | --machine] [--json] [--timeout MS]\n"
               "\n"
               "Deletes PATH from the provider key KEY, or without PATH every library of KEY\n"
               "(the key goes once it is empty). PATH compares as a full path: ./x.so, /a/./x.so\n"
               "and /a/b/../x.so name /a/x.so. Loads no provider, so it takes out a library\n"
               "that crashes or hangs whatever loads it. Fails with STATUS_DEREGISTER_FAILED\n"
               "when KEY does not exist or does not list PATH (what it holds is shown), with\n"
               "STATUS_REGISTRY_ERROR without write access to the registry (and why). Without\n"
               "--user or --machine, from the registry that holds KEY; where both do, as\n"
               "register chooses (a note says so).\n";
    case Command::Lang:
        return "usage: kovctl lang [--json] [--sync] [--module PATH] [--timeout MS]\n"
               "\n"
               "Prints the broker's language tag.\n";
    case Command::CheckLang:
        return "usage: kovctl check-lang TAG [--json] [--sync] [--module PATH] [--timeout MS]\n"
               "\n"
               "Asks the broker whether TAG is its language tag; the comparison is exact.\n"
               "Fails with STATUS_LANGUAGE_MISMATCH when it is not.\n";
    case Command::Send:
        return "usage: kovctl send [--provider HANDLE] [--set SET[:MAJOR.MINOR]] [--version MAJOR.MINOR]\n"
               "                  [--code CODE] [--hex \"01 02 ff\" | --text TEXT | --file PATH]\n"
               "                  [--json] [--sync] [--module PATH] [--timeout MS]\n"
               "\n"
               "Sends one request and prints the confirm's header fields and a hex dump of its\n"
               "payload. Defaults: provider 0 (the broker), set 0, version 1.0, code 0, no\n"
               "payload. --text sends TEXT's bytes as typed (UTF-8 on Linux); --file - reads\n"
               "the payload from standard input. Numbers are decimal or 0x-prefixed hex. The\n"
               "set's version is given once, with --set or --version. With --set and no --provider,\n"
               "the request goes to the one provider serving that set (at that version, when\n"
               "one is given, else at the version it serves); none or several is an error.\n";
    case Command::Inspect:
        return "usage: kovctl inspect PATH [--json] [--timeout MS]\n"
               "\n"
               "Loads the library PATH exactly as the broker would, in a process of kovctl's\n"
               "own, and prints its description (product, maker, copyright, timestamp, function\n"
               "sets) or the precise reason the broker would refuse it: a library that crashes\n"
               "that process, or does not finish loading within --timeout, is refused so. Exit\n"
               "0 only if it would be accepted, 2 if not.\n";
    case Command::Registry:
        return "usage: kovctl registry [--user | --machine] [--json] [--timeout MS]\n"
               "\n"
               "Names the registry and lists every provider key with its library paths, as the\n"
               "broker loads them, and for each whether it loads and why not; each library is\n"
               "loaded in a process of kovctl's own, so one that crashes or hangs (past\n"
               "--timeout) is named and the others are still checked. A library the broker skips\n"
               "for a crash record (see enable) is shown with it, not loaded. Needs no broker\n"
               "module. Exit 2 (STATUS_PROVIDER_LOAD_FAILED) when any does not load, 3 when\n"
               "the registry does not exist. The user's entries follow, marked (user); a\n"
               "machine entry whose key the user's registry holds is marked shadowed and is not\n"
               "loaded. --user or --machine lists that registry alone.\n";
    case Command::Enable:
        return "usage: kovctl enable KEY [PATH] [--json]\n"
               "\n"
               "The broker skips a library that crashed a process (or hung in one until it was\n"
               "killed) while it was being loaded, and list and registry say so. enable clears\n"
               "that crash record for KEY's libraries (PATH alone, when given), so the next load\n"
               "tries them again; registering the library again does the same. Records are kept\n"
               "per user and per registry. Needs no broker module. Exit 0, also when there was\n"
               "nothing to enable.\n";
    case Command::Session:
        return "usage: kovctl session [FILE] [--stop-on-error] [--json] [--sync] [--module PATH]\n"
               "                      [--timeout MS]\n"
               "\n"
               "Runs one command per line of FILE, or of standard input without FILE or with\n"
               "\"-\", in this one process: the broker module and its providers are loaded once,\n"
               "so a provider that keeps state keeps it from one command to the next, and stats\n"
               "counts the whole session. A line is what would follow \"kovctl\" (\"send --set\n"
               "0x400 --text k=v\"); '...' and \"...\" quote, blank lines and lines starting\n"
               "with # are skipped. --json, --sync and --timeout hold for every line; a line\n"
               "may add its own. Each command prints what it prints on its own; with --json one\n"
               "object per line, with the member \"line\", then an object summing the session\n"
               "up. A bad line is reported with its number and the session goes on, unless\n"
               "--stop-on-error. A command given up on after --timeout ends the session.\n"
               "Exit status: the largest exit status of its commands, 0 when all succeeded.\n";
    case Command::Version:
        return "usage: kovctl version [--json] [--module PATH] [--timeout MS]\n"
               "\n"
               "Prints kovctl's own version, the module's path and the module's version (its\n"
               "product line and record version); the same as --version.\n";
    }
    return "";
}

} // namespace kovctl
