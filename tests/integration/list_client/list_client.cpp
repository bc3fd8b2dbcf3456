// kov_test_list_client: a second process for the integration tests. It loads the broker module as
// any caller does, asks for ListSubsystems and writes the number of descriptors, then each
// product name, one a line, to kov_test_list_client.out beside itself. Exit code 0 on success.
#include "integration/program_request.h"
#include "platform/platform.h"

#include <kov/kov_broker.h>

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
        const std::uint32_t item = readU32(payload, at + 52);
        std::string product;
        if (item != 0) {
            if (item > length - at || length - at - item < 4) return false;
            const std::uint32_t units = readU32(payload, at + item);
            if ((length - at - item - 4) / 2 < units) return false;
            for (std::uint32_t u = 0; u + 1 < units; ++u) // ASCII names only
                product += static_cast<char>(payload[at + item + 4 + 2 * u]);
        }
        out << product << '\n';
        at += readU32(payload, at);
    }
    return true;
}

} // namespace

int main() {
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
        BrokerMessage request =
            kov::test::headerRequest(KOV_BROKER_FUNCTION_SET, KOV_FN_LIST_SUBSYSTEMS);
        BrokerMessage* confirm = nullptr;
        sendSync(&request, &confirm);
        if (confirm != nullptr) {
            result = confirm->status == KOV_STATUS_OK && writeList(confirm, out) ? 0 : 5;
            deleteConfirm(confirm);
        }
    }
    kov::platform::freeLibrary(module);
    return result;
}
