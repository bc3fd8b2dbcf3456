// --version: kovctl's own version and that of the module it would talk to.
#include "commands.h"

#include "load_faults.h"
#include "records.h"
#include "report.h"
#include "text.h"

#include <iostream>

namespace kovctl {

int runVersion(const Options& options, const BrokerApi* api, const std::string& loadError) {
    std::string product;
    std::string recordVersion;
    std::string problem = loadError;
    if (api != nullptr) {
        // The broker's own description of itself: its product line carries its version.
        Exchange exchange;
        BrokerInfo info;
        const bool answered =
            kovctl::exchange(*api, brokerRequest(KOV_BROKER_FUNCTION_SET, KOV_FN_GET_BROKER_INFO),
                             options.sync, options.timeoutMs, exchange, problem);
        // Given up while the broker loaded its providers: the library that hangs there is named.
        const std::vector<CheckedEntry> culprits =
            exchange.stillLoading ? findStalledLoad(options.timeoutMs) : std::vector<CheckedEntry>();
        if (!culprits.empty()) problem = loadFaultLine(stalledLoad(options.timeoutMs), culprits);
        if (answered && finalStatus(exchange) != 0)
            problem = "the module answered " + describeStatus(finalStatus(exchange));
        else if (answered && parseBrokerInfo(payloadOf(exchange.confirm), info, problem)) {
            product = utf8FromUtf16(info.product);
            recordVersion = std::to_string(info.versionMajor) + "." + std::to_string(info.versionMinor);
        }
    }
    const bool known = !product.empty();
    const std::string path = modulePathFor(options.modulePath);
    if (options.json) {
        Json json = jsonStart("version");
        json["kovctl"] = KOVCTL_VERSION;
        json["modulePath"] = path;
        json["module"] = textOrNull(known ? product.c_str() : nullptr);
        json["moduleRecordVersion"] = textOrNull(known ? recordVersion.c_str() : nullptr);
        json["moduleError"] = textOrNull(known ? nullptr : problem.c_str());
        json["exitCode"] = known ? kExitOk : kExitFailure;
        printJson(json);
    } else {
        std::cout << "kovctl " << KOVCTL_VERSION << '\n' << "module: " << path << '\n';
        if (known)
            std::cout << "module version: " << product << " (record " << recordVersion << ")\n";
        else
            std::cout << "module version: unknown (" << problem << ")\n";
        std::cout.flush();
    }
    return known ? kExitOk : kExitFailure;
}

} // namespace kovctl
