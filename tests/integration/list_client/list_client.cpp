// kov_test_list_client: a second process for the integration tests. It loads the broker module as
// any caller does, asks for ListSubsystems and writes the number of descriptors, then each
// product name, one a line, to kov_test_list_client.out beside itself. With the argument
// "report" it goes on with GetLoadReport: a line "report OUTCOME ENTRIES", then per entry
// "WHY KEY PROCESS". Exit code 0 on success.
#include "integration/program_request.h"
#include "platform/platform.h"

#include <kov/kov_broker.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <string>

namespace {

using SendSyncFn = std::int32_t(KOV_CALL*)(BrokerMessage*, BrokerMessage**);
using DeleteConfirmFn = std::int32_t(KOV_CALL*)(BrokerMessage*);

std::uint32_t readU32(const std::uint8_t* bytes, std::uint32_t offset) {
    std::uint32_t value;
    std::memcpy(&value, bytes + offset, 4);
    return value;
}

// The ASCII text of the StringItem at `item` of a payload of `length` bytes; false when it does
// not lie inside.
bool itemText(const std::uint8_t* payload, std::uint32_t length, std::uint32_t item,
              std::string& text) {
    text.clear();
    if (item == 0) return true;
    if (item > length || length - item < 4) return false;
    const std::uint32_t units = readU32(payload, item);
    if ((length - item - 4) / 2 < units) return false;
    for (std::uint32_t u = 0; u + 1 < units; ++u) // ASCII names only
        text += static_cast<char>(payload[item + 4 + 2 * u]);
    return true;
}

// Writes the report's outcome and, per entry, why, key and process.
bool writeReport(const BrokerMessage* confirm, std::ofstream& out) {
    if (confirm->totalLength < confirm->headerLength) return false;
    const std::uint32_t length = confirm->totalLength - confirm->headerLength;
    const auto* payload = reinterpret_cast<const std::uint8_t*>(confirm) + confirm->headerLength;
    if (length < sizeof(LoadReportHead)) return false;
    const std::uint32_t count = readU32(payload, offsetof(LoadReportHead, entryCount));
    const std::uint32_t first = readU32(payload, offsetof(LoadReportHead, entriesOffset));
    const std::uint32_t size = readU32(payload, offsetof(LoadReportHead, entrySize));
    out << "report " << readU32(payload, offsetof(LoadReportHead, outcome)) << ' ' << count << '\n';
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::uint64_t at = first + std::uint64_t{size} * i;
        if (size < sizeof(LoadReportEntry) || at + sizeof(LoadReportEntry) > length) return false;
        const auto entry = static_cast<std::uint32_t>(at);
        std::string key;
        if (!itemText(payload, length, readU32(payload, entry + offsetof(LoadReportEntry, keyOffset)), key))
            return false;
        out << readU32(payload, entry) << ' ' << key << ' '
            << readU32(payload, entry + offsetof(LoadReportEntry, processId)) << '\n';
    }
    return true;
}

// Writes the reply's descriptor count and products; false when the reply does not hold together.
bool writeList(const BrokerMessage* confirm, std::ofstream& out) {
    if (confirm->totalLength < confirm->headerLength) return false;
    const std::uint32_t length = confirm->totalLength - confirm->headerLength;
    const auto* payload = reinterpret_cast<const std::uint8_t*>(confirm) + confirm->headerLength;
    if (length < 20) return false;
    const std::uint32_t count = readU32(payload, 16);
    out << count << '\n';
    std::uint32_t at = 20;
    for (std::uint32_t i = 0; i < count; ++i) {
        if (at > length || length - at < 60) return false;
        std::string product;
        if (!itemText(payload + at, length - at, readU32(payload, at + 52), product)) return false;
        out << product << '\n';
        at += readU32(payload, at);
    }
    return true;
}

} // namespace

// The confirm of a broker function with no payload, sent synchronously; null when none came.
BrokerMessage* ask(SendSyncFn sendSync, std::uint32_t functionCode) {
    BrokerMessage request = kov::test::headerRequest(KOV_BROKER_FUNCTION_SET, functionCode);
    BrokerMessage* confirm = nullptr;
    sendSync(&request, &confirm);
    return confirm;
}

int main(int argc, char** argv) {
    const bool report = argc > 1 && std::string(argv[1]) == "report";
    std::ofstream out(kov::platform::programDirectory() + "kov_test_list_client.out");
    if (!out) return 2;
    const kov::platform::ModuleHandle module =
        kov::platform::loadLibrary(KOV_TEST_DIR KOV_TEST_MODULE_FILE);
    if (module == nullptr) return 3;
    const auto sendSync =
        reinterpret_cast<SendSyncFn>(kov::platform::findSymbol(module, "kov_SendSync"));
    const auto deleteConfirm =
        reinterpret_cast<DeleteConfirmFn>(kov::platform::findSymbol(module, "kov_DeleteConfirm"));
    int result = 4;
    if (sendSync != nullptr && deleteConfirm != nullptr) {
        if (BrokerMessage* confirm = ask(sendSync, KOV_FN_LIST_SUBSYSTEMS)) {
            result = confirm->status == KOV_STATUS_OK && writeList(confirm, out) ? 0 : 5;
            deleteConfirm(confirm);
        }
        if (result == 0 && report) {
            BrokerMessage* confirm = ask(sendSync, KOV_FN_GET_LOAD_REPORT);
            result = confirm != nullptr && confirm->status == KOV_STATUS_OK && writeReport(confirm, out) ? 0 : 6;
            if (confirm != nullptr) deleteConfirm(confirm);
        }
    }
    kov::platform::freeLibrary(module);
    return result;
}
