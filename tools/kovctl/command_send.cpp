// send: any request to any provider; shows the confirm's header and payload as they came.
#include "commands.h"

#include "option_values.h"
#include "records.h"
#include "registry_view.h"
#include "report.h"
#include "text.h"

#include <iostream>

namespace kovctl {
namespace {

struct HeaderField {
    const char* name;
    std::size_t offset;
    std::size_t width;
};

// The header fields worth showing; callback and callbackData are this process's own pointers.
constexpr HeaderField kHeaderFields[] = {
    {"totalLength", 0, 4}, {"formatMajor", 4, 2}, {"formatMinor", 6, 2},
    {"headerLength", 8, 4}, {"provider", 12, 4},  {"functionSet", 16, 4},
    {"setMajor", 20, 2},   {"setMinor", 22, 2},   {"functionCode", 24, 4},
    {"reserved", 28, 4},   {"status", 32, 4},
};

std::uint32_t headerValue(const ByteView& header, const HeaderField& field) {
    if (field.width == 2) {
        std::uint16_t half = 0;
        header.u16(field.offset, half);
        return half;
    }
    std::uint32_t word = 0;
    header.u32(field.offset, word);
    return word;
}

void printConfirm(const Options& options, const Exchange& exchange, std::uint32_t status) {
    const ByteView payload = payloadOf(exchange.confirm);
    const ByteView header(exchange.confirm);
    if (options.json) {
        Json json = beginJson(options.command, status);
        json["result"] = exchange.result;
        json["confirm"] = nullptr;
        if (!exchange.confirm.empty()) {
            Json& confirm = json["confirm"];
            for (const HeaderField& field : kHeaderFields)
                confirm[field.name] = headerValue(header, field);
            confirm["payloadLength"] = payload.size;
            confirm["payload"] = hexString(payload.data, payload.size);
            confirm["truncated"] = exchange.truncated;
        }
        printJson(json);
        return;
    }
    // kov_SendSync's result is no status: only kov_Send's says whether the provider took it.
    if (!options.sync) std::cout << "result: " << exchange.result << '\n';
    if (exchange.confirm.empty()) {
        std::cout << "confirm: none\nstatus: " << describeStatus(status) << std::endl;
        return;
    }
    for (const HeaderField& field : kHeaderFields) {
        const std::uint32_t value = headerValue(header, field);
        std::cout << field.name << ": ";
        if (field.offset == 32) std::cout << describeStatus(value);
        else if (field.offset == 16) std::cout << value << " (" << shortHex(value) << ")";
        else std::cout << value;
        std::cout << '\n';
    }
    std::cout << "payload: " << payload.size << " bytes\n" << hexDump(payload.data, payload.size);
    std::cout.flush();
}

// Without --provider: the one provider of this process that serves the set (at the version, when
// one was given). False when there is none, or several, with the exit code set.
bool findServingProvider(const Options& options, const BrokerApi& api, RequestFields& fields,
                         int& exitCode) {
    Exchange exchange;
    if (!query(options, api, brokerRequest(KOV_BROKER_FUNCTION_SET, KOV_FN_LIST_SUBSYSTEMS),
               exchange, exitCode))
        return false;
    std::vector<Subsystem> subsystems;
    std::string error;
    if (!parseSubsystemList(payloadOf(exchange.confirm), subsystems, error)) {
        exitCode = fail("malformed reply: " + error);
        return false;
    }
    std::vector<FunctionSet> serving;
    std::vector<std::size_t> servedBy; // index into subsystems, per entry of `serving`
    for (std::size_t i = 0; i < subsystems.size(); ++i)
        for (const FunctionSet& set : subsystems[i].sets) {
            const bool versionMatches = !options.versionGiven ||
                                        (set.major == fields.setMajor && set.minor == fields.setMinor);
            if (set.functionSet == fields.functionSet && versionMatches) {
                serving.push_back(set);
                servedBy.push_back(i);
            }
        }
    const std::string what = "set " + shortHex(fields.functionSet) +
                             (options.versionGiven ? " version " + std::to_string(fields.setMajor) +
                                                         "." + std::to_string(fields.setMinor)
                                                   : std::string());
    if (serving.empty()) {
        exitCode = fail("no provider serves " + what + " (see kovctl list)");
        return false;
    }
    if (serving.size() > 1) {
        // Each handle with the registry key it was loaded from, so the duplicate can be removed.
        std::vector<RegistryEntry> entries;
        std::string ignored;
        readRegistry(entries, ignored);
        const std::vector<CheckedEntry> checked = checkEntries(entries, options.timeoutMs);
        const Listing listing = matchListing(subsystems, checked);
        std::string handles;
        for (std::size_t i = 0; i < serving.size(); ++i) {
            handles += (handles.empty() ? "" : ", ") + std::to_string(serving[i].handle);
            const long entry = listing.entryOf[servedBy[i]];
            if (entry >= 0) handles += " (key '" + checked[std::size_t(entry)].entry.key + "')";
        }
        exitCode = fail("several providers serve " + what + " (handles " + handles +
                        "); choose one with --provider");
        return false;
    }
    fields.provider = serving.front().handle;
    if (!options.versionGiven) {
        fields.setMajor = serving.front().major;
        fields.setMinor = serving.front().minor;
    }
    return true;
}

} // namespace

int runSend(const Options& options, const BrokerApi& api) {
    Options withPayload = options;
    std::string error;
    if (!readPayloadFile(withPayload, error)) return failWith(kExitUsage, error);
    RequestFields fields = withPayload.request;
    int exitCode = kExitOk;
    if (options.setGiven && !options.providerGiven &&
        !findServingProvider(options, api, fields, exitCode))
        return exitCode;
    Exchange exchange;
    if (!answer(options, api, fields, exchange, exitCode)) return exitCode;
    const std::uint32_t status = finalStatus(exchange);
    printConfirm(options, exchange, status);
    return status == 0 ? kExitOk : kExitStatus;
}

} // namespace kovctl
