#include "bench_kit.h"

#include <cstdio>
#include <cstring>

namespace bench {
namespace {

template <typename Fn> Fn symbol(kov::platform::ModuleHandle module, const char* name) {
    return reinterpret_cast<Fn>(kov::platform::findSymbol(module, name));
}

std::uint32_t u32(const std::uint8_t* bytes, std::size_t at) {
    std::uint32_t value;
    std::memcpy(&value, bytes + at, 4);
    return value;
}

struct Listed {
    std::uint32_t set;
    ProviderHandle provider;
};

// The function-set entries of a ListSubsystems reply, in list order; false when the reply does
// not hold together (every read is checked against its length).
bool listedSets(const BrokerMessage* reply, std::vector<Listed>& out) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(reply);
    const std::size_t size = reply->totalLength;
    const auto inside = [size](std::size_t at, std::size_t length) {
        return at <= size && length <= size - at;
    };
    std::size_t payload = reply->headerLength;
    if (!inside(payload, 20)) return false;
    const std::uint32_t count = u32(bytes, payload + 16);
    std::size_t at = payload + 20;
    for (std::uint32_t i = 0; i < count; ++i) {
        if (!inside(at, 60)) return false;
        const std::uint32_t sets = u32(bytes, at + 56);
        std::size_t entry = at + 60;
        for (std::uint32_t k = 0; k < sets; ++k) {
            if (!inside(entry, 20)) return false;
            out.push_back({u32(bytes, entry + 8), u32(bytes, entry + 16)});
            const std::uint32_t distance = u32(bytes, entry);
            if (k + 1 < sets && distance == 0) return false;
            entry += distance;
        }
        const std::uint32_t step = u32(bytes, at);
        if (i + 1 < count && step == 0) return false;
        at += step;
    }
    return true;
}

bool writeProviderKeys(unsigned libraries, unsigned keys) {
    using namespace kov::platform;
    RegKey broker = nullptr, list = nullptr;
    if (createKey(localMachineKey(), "Software\\KOV_Broker", nullptr, &broker, nullptr) != kRegOk)
        return false;
    bool written = createKey(broker, "Provider List", nullptr, &list, nullptr) == kRegOk;
    for (unsigned i = 0; written && i < keys; ++i) {
        RegKey key = nullptr;
        // Zero-padded, so the registry walk (in name order) loads library 0 first.
        char name[16];
        std::snprintf(name, sizeof name, "p%06u", i);
        written = createKey(list, name, nullptr, &key, nullptr) == kRegOk &&
                  setDwordValue(key, libraryPath(i % libraries).c_str(), 0) == kRegOk;
        if (key != nullptr) closeKey(key);
    }
    if (list != nullptr) closeKey(list);
    closeKey(broker);
    return written;
}

} // namespace

extern "C" std::int32_t KOV_CALL kov_bench_KeepConfirm(BrokerMessage* confirm) {
    if (confirm != nullptr) static_cast<Request*>(confirm->callbackData)->confirm = confirm;
    return 1;
}

bool directCall(Request& request, const Target& target) {
    request.confirm = nullptr;
    if (target.receive(request.message()) != 0 || request.confirm == nullptr) return false;
    return target.deleteReceive(request.confirm) == 0;
}

bool sendAndDelete(Request& request, const Target& target) {
    request.confirm = nullptr;
    target.broker->send(request.message());
    return request.confirm != nullptr && target.broker->deleteConfirm(request.confirm) == 0;
}

bool sendSyncAndDelete(Request& request, const Target& target) {
    BrokerMessage* confirm = nullptr;
    target.broker->sendSync(request.message(), &confirm);
    return confirm != nullptr && target.broker->deleteConfirm(confirm) == 0;
}

void prepare(Request& request, const Target& target) {
    request = Request{};
    BrokerMessage* const message = request.message();
    message->totalLength = KOV_HEADER_SIZE;
    message->formatMajor = KOV_FORMAT_MAJOR;
    message->headerLength = KOV_HEADER_SIZE;
    message->provider = target.provider;
    message->functionSet = target.set;
    message->setMajor = 1;
    message->functionCode = target.code;
    message->callback = kov_bench_KeepConfirm;
    message->callbackData = &request;
}

std::string libraryPath(unsigned library) {
    return kov::platform::programDirectory() + "kov_bench_provider_" + std::to_string(library) +
           KOV_BENCH_LIB_SUFFIX;
}

ProviderList::ProviderList(const char* tag, unsigned libraries, unsigned keys) {
    kov::platform::testing::redirectMachineRegistry(tag);
    written_ = writeProviderKeys(libraries, keys);
    if (!written_) std::fprintf(stderr, "bench: cannot write the provider list\n");
}

ProviderList::~ProviderList() { kov::platform::testing::redirectMachineRegistry(nullptr); }

LoadedBroker::LoadedBroker(unsigned libraries, unsigned keys) {
    const std::string path = kov::platform::programDirectory() + KOV_BENCH_MODULE_FILE;
    module_ = kov::platform::loadLibrary(path.c_str());
    if (module_ == nullptr) {
        std::fprintf(stderr, "bench: cannot load %s\n", path.c_str());
        return;
    }
    exports_.send = symbol<SendFn>(module_, "kov_Send");
    exports_.sendSync = symbol<SendSyncFn>(module_, "kov_SendSync");
    exports_.deleteConfirm = symbol<DeleteConfirmFn>(module_, "kov_DeleteConfirm");
    if (exports_.send == nullptr || exports_.sendSync == nullptr ||
        exports_.deleteConfirm == nullptr) {
        std::fprintf(stderr, "bench: %s lacks an export\n", path.c_str());
        return;
    }
    for (unsigned i = 0; i < libraries; ++i) {
        const std::string library = libraryPath(i);
        opened_.push_back(kov::platform::loadLibrary(library.c_str()));
        Target target;
        target.broker = &exports_;
        target.set = kFirstProviderSet + i;
        if (opened_.back() != nullptr) {
            target.receive = symbol<KovReceiveFn>(opened_.back(), "kov_Receive");
            target.deleteReceive = symbol<KovDeleteReceiveFn>(opened_.back(), "kov_DeleteReceive");
        }
        if (target.receive == nullptr || target.deleteReceive == nullptr) {
            std::fprintf(stderr, "bench: cannot open %s\n", library.c_str());
            return;
        }
        libraries_.push_back(target);
    }
    ready_ = findHandles(libraries, keys);
}

LoadedBroker::~LoadedBroker() {
    if (module_ != nullptr) kov::platform::freeLibrary(module_);
    for (kov::platform::ModuleHandle library : opened_)
        if (library != nullptr) kov::platform::freeLibrary(library);
}

// The first request of the process loads the providers; its reply lists them with their
// handles, the broker's own provider first and then the libraries in the reverse of their
// loading order.
bool LoadedBroker::findHandles(unsigned libraries, unsigned keys) {
    Request request;
    prepare(request, brokerProvider(KOV_BROKER_FUNCTION_SET, KOV_FN_LIST_SUBSYSTEMS));
    BrokerMessage* reply = nullptr;
    exports_.sendSync(request.message(), &reply);
    if (reply == nullptr) {
        std::fprintf(stderr, "bench: ListSubsystems brought no reply\n");
        return false;
    }
    std::vector<Listed> sets;
    const bool parsed = listedSets(reply, sets);
    exports_.deleteConfirm(reply);
    if (!parsed) {
        std::fprintf(stderr, "bench: the ListSubsystems reply does not hold together\n");
        return false;
    }
    unsigned records = 0;
    for (const Listed& listed : sets) {
        if (listed.set < kFirstProviderSet || listed.set >= kFirstProviderSet + libraries) continue;
        Target& library = libraries_[listed.set - kFirstProviderSet];
        if (library.provider == 0) library.provider = listed.provider;
        farthest_ = library;
        farthest_.provider = listed.provider;
        ++records;
    }
    if (records != keys) {
        std::fprintf(stderr, "bench: %u provider records loaded for %u keys\n", records, keys);
        return false;
    }
    for (const Target& library : libraries_) {
        if (library.provider == 0) {
            std::fprintf(stderr, "bench: library of set 0x%X not loaded\n", library.set);
            return false;
        }
    }
    return true;
}

Target LoadedBroker::brokerProvider(std::uint32_t set, std::uint32_t code) const {
    Target target;
    target.broker = &exports_;
    target.set = set;
    target.code = code;
    return target;
}

Target LoadedBroker::unknownHandle() const {
    Target target = libraries_[0];
    target.provider = kUnknownHandle;
    return target;
}

} // namespace bench
