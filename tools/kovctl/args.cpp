#include "args.h"

#include "option_values.h"
#include "text.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <iterator>
#include <map>

namespace kovctl {
namespace {

struct CommandInfo {
    Command command;
    const char* name;
    std::size_t operands;    // required
    std::size_t optionalOperands;
    const char* operandNames[2];
};

constexpr CommandInfo kCommands[] = {
    {Command::List, "list", 0, 0, {}},
    {Command::Info, "info", 0, 0, {}},
    {Command::Stats, "stats", 0, 0, {}},
    {Command::Reload, "reload", 0, 0, {}},
    {Command::Register, "register", 2, 0, {"KEY", "PATH"}},
    {Command::Remove, "remove", 1, 1, {"KEY", "PATH"}},
    {Command::Lang, "lang", 0, 0, {}},
    {Command::CheckLang, "check-lang", 1, 0, {"TAG"}},
    {Command::Send, "send", 0, 0, {}},
    {Command::Inspect, "inspect", 1, 0, {"PATH"}},
    {Command::Registry, "registry", 0, 0, {}},
    {Command::Session, "session", 0, 1, {"FILE"}},
    {Command::Enable, "enable", 1, 1, {"KEY", "PATH"}},
    {Command::Version, "version", 0, 0, {}},
    {Command::Ps, "ps", 0, 0, {}},
    {Command::Top, "top", 0, 0, {}},
    {Command::Trace, "trace", 0, 0, {}},
};

const CommandInfo* findCommand(const std::string& name) {
    for (const CommandInfo& info : kCommands)
        if (name == info.name) return &info;
    return nullptr;
}

const CommandInfo& infoOf(Command command) {
    for (const CommandInfo& info : kCommands)
        if (info.command == command) return info;
    return kCommands[0];
}

// kovctl's flags, which may stand before or after the command. --version outside send: there it
// is the request's set version.
struct Flag {
    const char* names; // as CLI11 takes them
    const char* name;
    bool Options::*member;
};
constexpr Flag kFlags[] = {
    {"-h,--help", "--help", &Options::help},
    {"--version", "--version", &Options::version},
    {"--json", "--json", &Options::json},
    {"--sync", "--sync", &Options::sync},
    {"--loaded-only", "--loaded-only", &Options::loadedOnly},
    {"--wide", "--wide", &Options::wide},
    {"--stop-on-error", "--stop-on-error", &Options::stopOnError},
    {"--user", "--user", &Options::userLayer},
    {"--machine", "--machine", &Options::machineLayer},
    {"--once", "--once", &Options::once},
    {"--clean", "--clean", &Options::clean},
};

// The options that take a value: kovctl's own, then the request's, which belong to send.
constexpr const char* kValueOptions[] = {"--module", "--timeout", "--pid", "--count", "--interval"};
constexpr const char* kSendOptions[] = {"--provider", "--set", "--version", "--code",
                                        "--hex",      "--text", "--file"};

bool isSendOption(const std::string& name) {
    return std::find(std::begin(kSendOptions), std::end(kSendOptions), name) != std::end(kSendOptions);
}

// Whether `name` is an option with a value where it was read: kovctl's own before or after the
// command (where --version is a flag), the request's after send.
bool takesValue(const CLI::App& app, const std::string& name) {
    if (app.get_parent() != nullptr) return isSendOption(name);
    return std::find(std::begin(kValueOptions), std::end(kValueOptions), name) != std::end(kValueOptions);
}

// What CLI11 records for an option given without a value (its value is optional, so that the
// complaint is ours); nobody types it.
const char kNoValue[] = "\x01";

// The command line as CLI11 reads it: kovctl's flags and options, which may stand before or after
// the command, and one subcommand per command with its operands (send with its own options).
// "help COMMAND" is a subcommand too. Everything CLI11 does not know is left over, and named
// here in kovctl's words.
struct Grammar {
    CLI::App app{"kovctl"};
    Options flags; // the members kFlags names
    std::map<const CLI::App*, Command> commandOf;
    std::map<const CLI::App*, std::vector<std::string>> operandsOf;
    CLI::App* help = nullptr;

    Grammar() {
        app.set_help_flag(); // --help prints kovctl's own texts, so it is an ordinary flag
        // A Windows path such as /opt/x.dll or /d is an operand, not an option, on every system.
        app.allow_windows_style_options(false);
        app.allow_extras();
        app.require_subcommand(0, 1); // a second command name is an operand of the first
        for (const Flag& flag : kFlags)
            app.add_flag(flag.names, flags.*flag.member)
                ->disable_flag_override()
                ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
        for (const char* name : kValueOptions) valueOption(app, name);
        for (const CommandInfo& info : kCommands) {
            CLI::App* command = addCommand(info.name);
            commandOf[command] = info.command;
            if (info.command == Command::Send)
                for (const char* name : kSendOptions) valueOption(*command, name);
        }
        help = addCommand("help");
    }

    static void valueOption(CLI::App& on, const char* name) {
        on.add_option(name)
            ->expected(0, 1)
            ->default_str(kNoValue)
            ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    }

    CLI::App* addCommand(const char* name) {
        CLI::App* command = app.add_subcommand(name);
        command->fallthrough(); // kovctl's own options after the command, too
        command->allow_extras();
        command->add_option("operands", operandsOf[command]);
        return command;
    }
};

// A word CLI11 left over, named as a complaint. False when it is none to complain of.
bool leftOver(const std::string& word, bool afterCommand, std::string& error) {
    if (word.size() > 2 && word.compare(0, 2, "--") == 0) {
        const std::string name = word.substr(0, word.find('='));
        error = isSendOption(name) ? "option " + name + " belongs to the send command"
                                   : "unknown option '" + name + "'";
    } else if (word.size() > 1 && word[0] == '-') {
        error = "unknown option '" + word + "'";
    } else if (!afterCommand) {
        error = "unknown command '" + word + "'";
    } else {
        return false;
    }
    return true;
}

// CLI11 refuses a value given to a flag ("--json=1"); say which, as an unknown option.
std::string refusedFlag(const std::vector<std::string>& words, const CLI::ParseError& refusal) {
    for (const std::string& word : words) {
        const std::size_t equals = word.find('=');
        if (word.compare(0, 2, "--") == 0 && equals != std::string::npos)
            for (const Flag& flag : kFlags)
                if (word.compare(0, equals, flag.name) == 0)
                    return "unknown option '" + std::string(flag.name) + "'";
    }
    return std::string("cannot read the command line: ") + refusal.what();
}

// The values of the options in the order they were given (the global ones first), each checked
// and applied; false with `error` set at the first that is unusable.
bool applyValues(const std::vector<const CLI::App*>& apps, Options& options, std::string& error) {
    bool payloadGiven = false;
    for (const CLI::App* app : apps) {
        std::map<const CLI::Option*, std::size_t> used;
        for (const CLI::Option* option : app->parse_order()) {
            const std::string name = option->get_name();
            if (!takesValue(*app, name)) continue; // flags are read already, operands later
            const std::size_t index = used[option]++;
            if (index >= option->results().size()) continue;
            const std::string& value = option->results()[index];
            if (value == kNoValue) {
                error = "missing value for " + name;
                return false;
            }
            if (!applyOption(name, value, options, payloadGiven, error)) return false;
        }
    }
    return true;
}

} // namespace

const char* commandName(Command command) {
    return command == Command::None ? "kovctl" : infoOf(command).name;
}

Command commandNamed(const std::string& name) {
    const CommandInfo* info = findCommand(name);
    return info != nullptr ? info->command : Command::None;
}

ParseResult parseArguments(int argc, const char* const* argv) {
    std::vector<std::string> words;
    for (int i = 1; i < argc; ++i) words.emplace_back(argv[i]);
    return parseWords(words);
}

ParseResult parseWords(const std::vector<std::string>& words) {
    ParseResult result;
    Options& options = result.options;
    Grammar grammar;
    try {
        std::vector<std::string> reversed(words.rbegin(), words.rend()); // as CLI11 takes them
        grammar.app.parse(reversed);
    } catch (const CLI::ParseError& refusal) {
        result.error = refusedFlag(words, refusal);
        return result;
    }
    for (const Flag& flag : kFlags) options.*flag.member = grammar.flags.*flag.member;

    std::vector<const CLI::App*> apps = {&grammar.app};
    const CLI::App* given = nullptr;
    for (const CLI::App* command : grammar.app.get_subcommands()) given = command;
    if (given != nullptr) apps.push_back(given);
    if (given != nullptr && given != grammar.help) options.command = grammar.commandOf[given];
    // Before the command, a word CLI11 did not take is a command it does not know; after it, words
    // are the command's operands.
    for (const std::string& word : grammar.app.remaining())
        if (leftOver(word, false, result.error)) return result;
    if (given != nullptr)
        for (const std::string& word : given->remaining())
            if (leftOver(word, true, result.error)) return result;

    const std::vector<std::string> none;
    const std::vector<std::string>& operands = given != nullptr ? grammar.operandsOf[given] : none;
    // "kovctl help send" reads as "kovctl send --help".
    if (given == grammar.help) {
        options.help = true;
        if (!operands.empty()) {
            const CommandInfo* info = findCommand(operands.front());
            if (info == nullptr) {
                result.error = "unknown command '" + operands.front() + "'";
                return result;
            }
            options.command = info->command;
        }
    }
    if (!applyValues(apps, options, result.error)) return result;
    if (options.help || (options.version && options.command == Command::None)) {
        result.ok = true;
        return result;
    }
    if (options.command == Command::None) {
        result.error = "no command given";
        return result;
    }
    options.operands = operands;
    if (options.command == Command::Version) options.version = true;

    const CommandInfo& info = infoOf(options.command);
    if (options.operands.size() < info.operands) {
        result.error = std::string("missing argument ") + info.operandNames[options.operands.size()] +
                       " for " + info.name;
        return result;
    }
    const std::size_t most = info.operands + info.optionalOperands;
    if (options.operands.size() > most) {
        result.error = "unexpected argument '" + options.operands[most] + "' for " + info.name;
        return result;
    }
    if ((options.loadedOnly || options.wide) && options.command != Command::List) {
        result.error = std::string("option ") + (options.loadedOnly ? "--loaded-only" : "--wide") +
                       " belongs to the list command";
        return result;
    }
    if (options.userLayer || options.machineLayer) {
        const char* given = options.userLayer ? "--user" : "--machine";
        const Command c = options.command;
        if (c != Command::Register && c != Command::Remove && c != Command::Registry) {
            result.error = std::string("option ") + given +
                           " belongs to the register, remove and registry commands";
            return result;
        }
        if (options.userLayer && options.machineLayer) {
            result.error = "options --user and --machine name one registry each: give one";
            return result;
        }
    }
    if (options.stopOnError && options.command != Command::Session) {
        result.error = "option --stop-on-error belongs to the session command";
        return result;
    }
    if (!observeOptionsFit(options, result.error)) return result;
    for (std::size_t i = 0; i < options.operands.size(); ++i) {
        const std::string& operand = options.operands[i];
        // An empty key or path would reach the registry as an empty name.
        if (operand.empty() && options.command != Command::CheckLang) {
            result.error = std::string(info.operandNames[i]) + " must not be empty";
            return result;
        }
        std::u16string wide;
        if (!utf16FromArgument(operand, wide)) {
            result.error = std::string(info.operandNames[i]) + " '" + operand +
                           "' is not valid text in the system's code page";
            return result;
        }
        options.wideOperands.push_back(std::move(wide));
    }
    result.ok = true;
    return result;
}

} // namespace kovctl
