#include "exchange.h"

#include "records.h"

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>

namespace kovctl {
namespace {

// A confirm larger than this is copied only this far; no reply kovctl reads comes near it.
constexpr std::uint32_t kMaxConfirmCopy = 64u * 1024u * 1024u;

// What the callback hands to the waiting thread. It is process-wide rather than reached through
// callbackData because a null delivery carries no callbackData; kovctl has one request in flight.
struct Pending {
    std::mutex mutex;
    std::condition_variable arrived;
    bool delivered = false;
    BrokerMessage* kept = nullptr;
    std::vector<std::uint8_t> copy;
    bool truncated = false;
};

Pending& pending() {
    static Pending state;
    return state;
}

// Every confirm starts with a full header; past it, totalLength says how far it reaches.
void copyConfirm(const BrokerMessage* confirm, std::vector<std::uint8_t>& copy, bool& truncated) {
    std::uint32_t length = confirm->totalLength;
    if (length < KOV_HEADER_SIZE) length = KOV_HEADER_SIZE;
    truncated = length > kMaxConfirmCopy;
    if (truncated) length = kMaxConfirmCopy;
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(confirm);
    copy.assign(bytes, bytes + length);
}

std::int32_t KOV_CALL keepConfirm(BrokerMessage* confirm) {
    Pending& state = pending();
    std::lock_guard<std::mutex> guard(state.mutex);
    if (state.delivered) return 0; // a second answer to one request: let its provider have it back
    state.delivered = true;
    if (confirm != nullptr) {
        copyConfirm(confirm, state.copy, state.truncated);
        state.kept = confirm;
    }
    state.arrived.notify_all();
    return confirm != nullptr ? 1 : 0;
}

// The request in 4-aligned storage: header, then payload.
std::vector<std::uint32_t> buildRequest(const RequestFields& fields) {
    const std::size_t total = KOV_HEADER_SIZE + fields.payload.size();
    std::vector<std::uint32_t> words((total + 3) / 4, 0);
    auto* header = reinterpret_cast<BrokerMessage*>(words.data());
    header->totalLength = static_cast<std::uint32_t>(total);
    header->formatMajor = KOV_FORMAT_MAJOR;
    header->formatMinor = KOV_FORMAT_MINOR;
    header->headerLength = KOV_HEADER_SIZE;
    header->provider = fields.provider;
    header->functionSet = fields.functionSet;
    header->setMajor = fields.setMajor;
    header->setMinor = fields.setMinor;
    header->functionCode = fields.functionCode;
    header->callback = keepConfirm;
    if (!fields.payload.empty())
        std::memcpy(reinterpret_cast<std::uint8_t*>(words.data()) + KOV_HEADER_SIZE,
                    fields.payload.data(), fields.payload.size());
    return words;
}

bool exchangeSync(const BrokerApi& api, BrokerMessage* request, Exchange& out) {
    BrokerMessage* confirm = nullptr;
    out.result = api.sendSync(request, &confirm);
    out.requestStatus = request->status;
    out.delivered = true;
    if (confirm != nullptr) {
        copyConfirm(confirm, out.confirm, out.truncated);
        api.deleteConfirm(confirm);
    }
    return true;
}

bool exchangeAsync(const BrokerApi& api, BrokerMessage* request, std::uint32_t timeoutMs,
                   Exchange& out, std::string& error) {
    Pending& state = pending();
    out.result = api.send(request);
    std::unique_lock<std::mutex> lock(state.mutex);
    // A nonzero result without a delivery is a refusal: no confirm will come.
    if (!state.delivered && out.result == 0) {
        const bool answered = state.arrived.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                                     [&] { return state.delivered; });
        if (!answered) {
            error = "no confirm arrived within " + std::to_string(timeoutMs) + " ms";
            return false;
        }
    }
    out.requestStatus = request->status;
    out.delivered = state.delivered;
    out.confirm = std::move(state.copy);
    out.truncated = state.truncated;
    BrokerMessage* kept = state.kept;
    state.kept = nullptr;
    lock.unlock();
    if (kept != nullptr) api.deleteConfirm(kept);
    return true;
}

} // namespace

bool exchange(const BrokerApi& api, const RequestFields& fields, bool sync, std::uint32_t timeoutMs,
              Exchange& out, std::string& error) {
    // The request stays alive until its confirm has come: a provider may read it until then.
    std::vector<std::uint32_t> request = buildRequest(fields);
    auto* message = reinterpret_cast<BrokerMessage*>(request.data());
    if (sync) return exchangeSync(api, message, out);
    if (exchangeAsync(api, message, timeoutMs, out, error)) return true;
    // The provider still holds the request and may read it or answer later: it must outlive
    // this call, so it is left to the end of the process.
    static std::vector<std::vector<std::uint32_t>> abandoned;
    abandoned.push_back(std::move(request));
    return false;
}

std::uint32_t finalStatus(const Exchange& exchange) {
    std::uint32_t status = 0;
    if (ByteView(exchange.confirm).u32(32, status)) return status;
    return exchange.requestStatus;
}

} // namespace kovctl
