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

void beginJson(JsonWriter& json, Command command, std::uint32_t status) {
    json.openObject();
    json.field("schema", std::uint64_t{kJsonSchema});
    json.field("command", commandName(command));
    json.field("status", std::uint64_t{status});
    json.field("statusName", statusNameOf(status));
}

void printJson(JsonWriter& json) { std::cout << json.finish() << std::endl; }

int reportStatus(const Options& options, std::uint32_t status, const Extras& extras) {
    if (options.json) {
        JsonWriter json;
        beginJson(json, options.command, status);
        for (const auto& extra : extras) json.field(extra.first, extra.second);
        printJson(json);
    } else {
        std::cout << commandName(options.command) << ": " << describeStatus(status) << std::endl;
        for (const auto& extra : extras)
            if (std::string(extra.first) == "reason") std::cout << "  reason: " << extra.second << std::endl;
    }
    return status == 0 ? kExitOk : kExitStatus;
}

bool query(const Options& options, const BrokerApi& api, const RequestFields& fields,
           Exchange& exchange, int& exitCode, const Extras& extras, Explain explain) {
    std::string error;
    if (!kovctl::exchange(api, fields, options.sync, options.timeoutMs, exchange, error)) {
        exitCode = fail(error);
        return false;
    }
    const std::uint32_t status = finalStatus(exchange);
    if (exchange.confirm.empty() && status == 0) {
        exitCode = fail("the request was refused without a confirm (result " +
                        std::to_string(exchange.result) + ")");
        return false;
    }
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
