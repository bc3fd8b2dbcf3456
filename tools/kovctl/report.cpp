#include "report.h"

#include "records.h"
#include "text.h"

#include <cstdio>
#include <iostream>

namespace kovctl {

namespace {

// Set once the command line asked for --json: from then on failures are JSON objects too.
bool& failuresAsJson() {
    static bool json = false;
    return json;
}

Command& currentCommand() {
    static Command command = Command::None;
    return command;
}

} // namespace

void reportFailuresAsJson(Command command) {
    failuresAsJson() = true;
    currentCommand() = command;
}

int failWith(int exitCode, const std::string& message) {
    std::fprintf(stderr, "kovctl: %s\n", message.c_str());
    if (failuresAsJson()) {
        JsonWriter json;
        json.openObject();
        json.field("schema", std::uint64_t{kJsonSchema});
        if (currentCommand() == Command::None) json.null("command");
        else json.field("command", commandName(currentCommand()));
        json.field("error", message);
        json.field("exitCode", std::uint64_t(exitCode));
        printJson(json);
    }
    return exitCode;
}

int fail(const std::string& message) { return failWith(kExitFailure, message); }

int exitCodeFor(std::uint32_t status) { return status == 0 ? kExitOk : kExitStatus; }

void beginJson(JsonWriter& json, Command command, std::uint32_t status) {
    json.openObject();
    json.field("schema", std::uint64_t{kJsonSchema});
    json.field("command", commandName(command));
    json.field("status", std::uint64_t{status});
    json.field("statusName", statusNameOf(status));
    json.field("exitCode", std::uint64_t(exitCodeFor(status)));
}

void printJson(JsonWriter& json) { std::cout << json.finish() << std::endl; }

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
        JsonWriter json;
        beginJson(json, options.command, status);
        for (const auto& extra : extras)
            if (repeated(extra.first) == nullptr) json.field(extra.first, extra.second);
        for (const Repeated& r : kRepeated) {
            bool any = false;
            for (const auto& extra : extras) {
                if (std::string(extra.first) != r.extra) continue;
                if (!any) json.openArray(r.array);
                any = true;
                json.field(nullptr, extra.second);
            }
            if (any) json.close();
        }
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
        exitCode = fail(error);
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
