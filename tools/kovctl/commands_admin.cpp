// Commands whose answer is a status: reload, register, remove, check-lang.
#include "commands.h"

#include "records.h"
#include "report.h"

namespace kovctl {
namespace {

// Sends `fields` and reports the confirm's status, or whatever went wrong before one came.
int sendForStatus(const Options& options, const BrokerApi& api, const RequestFields& fields,
                  const Extras& extras, Explain explain = nullptr) {
    Exchange answer;
    int exitCode = kExitOk;
    if (!query(options, api, fields, answer, exitCode, extras, explain)) return exitCode;
    return reportStatus(options, 0, extras);
}

// A refused registration is retried here, in kovctl's process, to say why.
Extras explainRegistration(const Options& options, std::uint32_t status) {
    if (status != KOV_STATUS_PROVIDER_LOAD_FAILED) return {};
    const std::string reason = refusalReason(options.operands[1]);
    if (reason.empty()) return {};
    return {{"reason", reason}};
}

} // namespace

int runReload(const Options& options, const BrokerApi& api) {
    return sendForStatus(options, api, brokerRequest(KOV_BROKER_FUNCTION_SET, KOV_FN_RELOAD), {});
}

int runRegistration(const Options& options, const BrokerApi& api) {
    const bool add = options.command == Command::Register;
    Bytes payload = registrationPayload(options.wideOperands[0], options.wideOperands[1], add);
    return sendForStatus(options, api,
                         brokerRequest(KOV_BROKER_FUNCTION_SET, KOV_FN_REGISTER_PROVIDER,
                                       std::move(payload)),
                         {{"key", options.operands[0]}, {"path", options.operands[1]}},
                         add ? explainRegistration : nullptr);
}

int runCheckLang(const Options& options, const BrokerApi& api) {
    return sendForStatus(options, api,
                         brokerRequest(KOV_COMMON_FUNCTION_SET, KOV_COMMON_FN_CHECK_LANGUAGE,
                                       checkLanguagePayload(options.wideOperands[0])),
                         {{"tag", options.operands[0]}});
}

} // namespace kovctl
