// Sample caller: lists the providers, finds the sample provider's handle, and calls its echo and
// clock functions synchronously (kov_SendSync) and asynchronously (kov_Send and a callback).
//   kov_sample_caller [--register PATH] [--remove-after]
// --register registers the sample provider library PATH (ASCII) under the key "KOV Sample" first
// (an existing registration is kept); --remove-after removes it again at the end.
#include "broker_client.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace {

constexpr uint32_t kSampleSet = 0x5A00;
constexpr const char *kRegistryKey = "KOV Sample";

const char *statusName(uint32_t status)
{
    switch (status) {
    case KOV_STATUS_OK: return "OK";
    case KOV_STATUS_NO_EVENT: return "NO_EVENT";
    case KOV_STATUS_NO_MEMORY: return "NO_MEMORY";
    case KOV_STATUS_UNKNOWN_PROVIDER: return "UNKNOWN_PROVIDER";
    case KOV_STATUS_UNKNOWN_SET: return "UNKNOWN_SET";
    case KOV_STATUS_UNKNOWN_FUNCTION: return "UNKNOWN_FUNCTION";
    case KOV_STATUS_DEREGISTER_FAILED: return "DEREGISTER_FAILED";
    case KOV_STATUS_REGISTRY_ERROR: return "REGISTRY_ERROR";
    case KOV_STATUS_REGISTER_WRITE_FAILED: return "REGISTER_WRITE_FAILED";
    case KOV_STATUS_PROVIDER_LOAD_FAILED: return "PROVIDER_LOAD_FAILED";
    case KOV_STATUS_ALREADY_REGISTERED: return "ALREADY_REGISTERED";
    case KOV_STATUS_BAD_VERSION: return "BAD_VERSION";
    case KOV_STATUS_LANGUAGE_MISMATCH: return "LANGUAGE_MISMATCH";
    default: return "?";
    }
}

// Status of a call: the confirm's, or the request's when no confirm came.
uint32_t outcome(client::Request &request, const client::Confirm &confirm)
{
    return confirm.get() != nullptr ? confirm.get()->status : request.message()->status;
}

bool changeRegistration(uint32_t operation, const std::string &path)
{
    client::Request request(0, KOV_BROKER_FUNCTION_SET, KOV_FN_REGISTER_PROVIDER,
                            client::registrationPayload(operation, kRegistryKey, path));
    const client::Confirm confirm = client::sendSync(request);
    const uint32_t status = outcome(request, confirm);
    std::printf("%s %s: status %u (%s)\n", operation == KOV_REGISTER ? "register" : "remove",
                path.c_str(), status, statusName(status));
    return status == KOV_STATUS_OK ||
           (operation == KOV_REGISTER && status == KOV_STATUS_ALREADY_REGISTERED);
}

// Calls one sample function and prints its answer; true when the answer is what it should be.
bool callSample(ProviderHandle handle, uint32_t code, bool sync)
{
    const std::string text = "hello through the broker";
    client::Request request(handle, kSampleSet, code,
                            code == 0 ? std::vector<uint8_t>(text.begin(), text.end())
                                      : std::vector<uint8_t>{});
    const client::Confirm confirm =
        sync ? client::sendSync(request) : client::sendAndWait(request);
    const uint32_t status = outcome(request, confirm);
    std::string answer;
    if (confirm.get() != nullptr)
        answer.assign(reinterpret_cast<const char *>(confirm.payload()), confirm.payloadLength());
    std::printf("%-5s %-5s status %u (%s)  \"%s\"\n", code == 0 ? "echo" : "clock",
                sync ? "sync" : "async", status, statusName(status), answer.c_str());
    if (status != KOV_STATUS_OK)
        return false;
    return code == 0 ? answer == text : answer.size() == 24 && answer[23] == 'Z';
}

constexpr const char *kUsage = "usage: kov_sample_caller [--register PATH] [--remove-after]\n";

int usage(const char *error)
{
    std::fprintf(stderr, "kov_sample_caller: %s\n%s", error, kUsage);
    return 2;
}

} // namespace

int main(int argc, char **argv)
{
    std::string libraryPath;
    bool removeAfter = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--register") == 0)
            if (i + 1 < argc)
                libraryPath = argv[++i];
            else
                return usage("--register needs a PATH");
        else if (std::strcmp(argv[i], "--remove-after") == 0)
            removeAfter = true;
        else if (std::strcmp(argv[i], "--help") == 0)
            return std::printf("%s", kUsage) < 0;
        else
            return usage((std::string("unknown argument: ") + argv[i]).c_str());
    }
    if (removeAfter && libraryPath.empty())
        return usage("--remove-after needs --register PATH");
    for (char c : libraryPath)
        if (static_cast<unsigned char>(c) >= 0x80)
            return usage("the library path must be ASCII");

    if (!libraryPath.empty() && !changeRegistration(KOV_REGISTER, libraryPath))
        return 1;

    bool ok = true;
    ProviderHandle sample = 0;
    {
        client::Request list(0, KOV_BROKER_FUNCTION_SET, KOV_FN_LIST_SUBSYSTEMS);
        const client::Confirm reply = client::sendSync(list);
        std::printf("providers (ListSubsystems: status %u):\n", outcome(list, reply));
        for (const client::ProviderEntry &entry : client::readProviderList(reply)) {
            std::printf("  handle %-4u set 0x%04X v%u.%u  %s\n", entry.handle, entry.functionSet,
                        entry.setMajor, entry.setMinor, entry.product.c_str());
            if (entry.functionSet == kSampleSet && entry.setMajor == 1 && entry.setMinor == 0)
                sample = entry.handle;
        }
    } // the reply is released here, through kov_DeleteConfirm

    if (sample == 0) {
        std::printf("the sample provider (set 0x5A00) is not loaded; register it with --register\n");
        ok = false;
    } else {
        std::printf("sample provider: handle %u\n", sample);
        for (const bool sync : {true, false})
            for (const uint32_t code : {0u, 1u})
                ok = callSample(sample, code, sync) && ok;
    }

    if (removeAfter && !changeRegistration(0, libraryPath))
        ok = false;
    return ok ? 0 : 1;
}
