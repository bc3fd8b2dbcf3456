#include "report.h"

#include "load_faults.h"
#include "records.h"
#include "text.h"

#include <cstdio>
#include <iostream>

namespace kovctl {

namespace {

struct Context {
    bool json = false; // set once the command line asked for --json: failures are JSON objects too
    Command command = Command::None;
    std::size_t line = 0; // in a session, the line being run
};

Context& context() {
    static Context current;
    return current;
}

} // namespace

void reportFailuresAsJson(Command command) {
    context().json = true;
    context().command = command;
}

void reportSessionLine(bool json, Command command, std::size_t line) {
    context() = Context{json, command, line};
}

Json jsonStart(const char* command) {
    Json json;
    json["schema"] = kJsonSchema;
    json["command"] = textOrNull(command);
    if (context().line != 0) json["line"] = context().line;
    return json;
}

int failWith(int exitCode, const std::string& message, const Json& members,
             const std::string& advice) {
    const Context& current = context();
    const std::string where =
        current.line != 0 ? "line " + std::to_string(current.line) + ": " : std::string();
    std::fprintf(stderr, "kovctl: %s%s\n", where.c_str(), message.c_str());
    if (!advice.empty()) std::fprintf(stderr, "kovctl: %s%s\n", where.c_str(), advice.c_str());
    std::fflush(stderr);
    if (current.json) {
        Json json =
            jsonStart(current.command == Command::None ? nullptr : commandName(current.command));
        json["error"] = message;
        for (const auto& member : members.items()) json[member.key()] = member.value();
        json["exitCode"] = exitCode;
        printJson(json);
    }
    return exitCode;
}

int fail(const std::string& message) { return failWith(kExitFailure, message); }

int exitCodeFor(std::uint32_t status) { return status == 0 ? kExitOk : kExitStatus; }

Json beginJson(Command command, std::uint32_t status) {
    Json json = jsonStart(commandName(command));
    json["status"] = status;
    json["statusName"] = textOrNull(statusNameOf(status));
    json["exitCode"] = exitCodeFor(status);
    return json;
}

void printJson(const Json& json) { std::cout << jsonLine(json) << std::endl; }

namespace {

// Extras that may come more than once: printed as lines, gathered into a JSON array.
struct Repeated {
    const char* extra;
    const char* array;
};
constexpr Repeated kRepeated[] = {
    {"note", "notes"}, {"warning", "warnings"}, {"removed", "removed"}, {"held", "holds"}};

const Repeated* repeated(const char* name) {
    for (const Repeated& r : kRepeated)
        if (std::string(name) == r.extra) return &r;
    return nullptr;
}

} // namespace

int reportStatus(const Options& options, std::uint32_t status, const Extras& extras) {
    if (options.json) {
        Json json = beginJson(options.command, status);
        for (const auto& extra : extras)
            if (repeated(extra.first) == nullptr && !json.contains(extra.first))
                json[extra.first] = extra.second;
        for (const Repeated& r : kRepeated)
            for (const auto& extra : extras)
                if (std::string(extra.first) == r.extra) json[r.array].push_back(extra.second);
        printJson(json);
    } else {
        std::cout << commandName(options.command) << ": " << describeStatus(status) << '\n';
        for (const auto& extra : extras) {
            const std::string name = extra.first;
            if (name == "reason" || repeated(extra.first) != nullptr)
                std::cout << "  " << (name == "held" ? "holds" : name) << ": " << extra.second << '\n';
        }
        std::cout.flush();
    }
    return exitCodeFor(status);
}

bool answer(const Options& options, const BrokerApi& api, const RequestFields& fields,
            Exchange& exchange, int& exitCode) {
    std::string error;
    if (!kovctl::exchange(api, fields, options.sync, options.timeoutMs, exchange, error)) {
        // Given up while the broker may still be loading: a library that hangs there is named.
        const std::vector<CheckedEntry> culprits =
            exchange.stillLoading ? findStalledLoad(options.timeoutMs) : std::vector<CheckedEntry>();
        exitCode = culprits.empty() ? fail(error)
                                    : reportLoadFault(kExitFailure, stalledLoad(options.timeoutMs), culprits);
        return false;
    }
    if (exchange.confirm.empty() && finalStatus(exchange) == 0) {
        exitCode = fail("the request was refused without a confirm (result " +
                        std::to_string(exchange.result) + ")");
        return false;
    }
    return true;
}

bool query(const Options& options, const BrokerApi& api, const RequestFields& fields,
           Exchange& exchange, int& exitCode, const Extras& extras, Explain explain) {
    if (!answer(options, api, fields, exchange, exitCode)) return false;
    const std::uint32_t status = finalStatus(exchange);
    if (status != 0) {
        Extras all = extras;
        if (explain != nullptr)
            for (auto& more : explain(options, status)) all.push_back(std::move(more));
        exitCode = reportStatus(options, status, all);
        return false;
    }
    return true;
}

RequestFields brokerRequest(std::uint32_t functionSet, std::uint32_t functionCode, Bytes payload) {
    RequestFields fields;
    fields.functionSet = functionSet;
    fields.functionCode = functionCode;
    fields.payload = std::move(payload);
    return fields;
}

} // namespace kovctl
