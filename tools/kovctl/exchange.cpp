#include "exchange.h"

#include "copies.h"
#include "records.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace kovctl {
namespace {

// What the callback hands to the waiting thread. It is process-wide rather than reached through
// callbackData because a null delivery carries no callbackData; kovctl has one request in flight.
struct Pending {
    std::mutex mutex;
    std::condition_variable arrived;
    bool delivered = false;
    BrokerMessage* kept = nullptr;
    std::vector<std::uint8_t> copy;
    std::string malformed;
};

Pending& pending() {
    static Pending state;
    return state;
}

std::int32_t KOV_CALL keepConfirm(BrokerMessage* confirm) {
    Pending& state = pending();
    std::lock_guard<std::mutex> guard(state.mutex);
    if (state.delivered) return 0; // a second answer to one request: let its provider have it back
    state.delivered = true;
    if (confirm != nullptr) {
        takeConfirm(confirm, state.copy, state.malformed);
        state.kept = confirm; // malformed or not, it goes back to its provider
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

// Runs the broker calls of the process one after another on one thread of its own, so that kovctl
// can stop waiting for one after --timeout. One thread for all rather than one per call: a session
// makes many calls, and with a thread per call one thread ends while the next call starts, which
// under Wine now and then left a send to a provider library hanging. Never destroyed: the thread
// may still wait on it while the process exits.
class CallThread {
public:
    static CallThread& instance() {
        static CallThread* const thread = new CallThread;
        return *thread;
    }

    void run(std::function<void()> call) {
        const std::lock_guard<std::mutex> hold(mutex_);
        calls_.push_back(std::move(call));
        queued_.notify_one();
    }

private:
    CallThread() {
        std::thread([this] {
            for (;;) {
                std::unique_lock<std::mutex> lock(mutex_);
                queued_.wait(lock, [this] { return !calls_.empty(); });
                const std::function<void()> call = std::move(calls_.front());
                calls_.pop_front();
                lock.unlock();
                call();
            }
        }).detach();
    }

    std::mutex mutex_;
    std::condition_variable queued_;
    std::deque<std::function<void()>> calls_;
};

std::atomic<bool>& callLeftPending() {
    static std::atomic<bool> pendingCall{false};
    return pendingCall;
}

// One kov_SendSync run on the call thread, so that kovctl can stop waiting for it. Shared with
// that thread: whoever finishes last frees it, and a confirm that comes after kovctl gave up is
// released by the thread.
struct SyncCall {
    std::mutex mutex;
    std::condition_variable finished;
    bool done = false;
    bool abandoned = false;
    std::int32_t result = 0;
    std::uint32_t requestStatus = 0;
    std::vector<std::uint8_t> copy;
    std::string malformed;
};

bool exchangeSync(const BrokerApi& api, BrokerMessage* request, std::uint32_t timeoutMs,
                  Exchange& out, std::string& error) {
    const auto call = std::make_shared<SyncCall>();
    CallThread::instance().run([api, request, call] {
        BrokerMessage* confirm = nullptr;
        const std::int32_t result = api.sendSync(request, &confirm);
        const std::lock_guard<std::mutex> hold(call->mutex);
        call->done = true;
        call->result = result;
        if (!call->abandoned) call->requestStatus = request->status;
        if (confirm != nullptr) {
            if (!call->abandoned) takeConfirm(confirm, call->copy, call->malformed);
            sendRecord({{"r", "release"}});
            api.deleteConfirm(confirm);
        }
        call->finished.notify_all();
    });

    std::unique_lock<std::mutex> lock(call->mutex);
    if (!call->finished.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                 [&] { return call->done; })) {
        call->abandoned = true;
        callLeftPending() = true;
        error = "no answer within " + std::to_string(timeoutMs) +
                " ms; the synchronous call is still pending in the broker";
        return false;
    }
    out.result = call->result;
    out.requestStatus = call->requestStatus;
    out.delivered = true;
    out.confirm = std::move(call->copy);
    if (!call->malformed.empty()) {
        out.malformed = call->malformed;
        error = "malformed confirm: " + call->malformed;
        return false;
    }
    return true;
}

// kov_Send runs on the call thread too: the broker's first send loads every provider, and a
// registry another process keeps locked, or a provider that does not return, must not hold kovctl
// past --timeout.
struct AsyncCall {
    bool returned = false; // guarded by pending().mutex
    std::int32_t result = 0;
    std::uint32_t requestStatus = 0;
};

bool exchangeAsync(const BrokerApi& api, BrokerMessage* request, std::uint32_t timeoutMs,
                   Exchange& out, std::string& error) {
    Pending& state = pending();
    {
        // A command may send more than one request (send --set asks for the list first).
        const std::lock_guard<std::mutex> hold(state.mutex);
        state.delivered = false;
        state.kept = nullptr;
        state.copy.clear();
        state.malformed.clear();
    }
    const auto call = std::make_shared<AsyncCall>();
    CallThread::instance().run([api, request, call] {
        const std::int32_t result = api.send(request);
        const std::uint32_t status = request->status;
        Pending& shared = pending();
        const std::lock_guard<std::mutex> hold(shared.mutex);
        call->returned = true;
        call->result = result;
        call->requestStatus = status;
        shared.arrived.notify_all();
    });

    std::unique_lock<std::mutex> lock(state.mutex);
    // A nonzero result without a delivery is a refusal: no confirm will come.
    const bool answered = state.arrived.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
        return call->returned && (state.delivered || call->result != 0);
    });
    if (!answered) {
        out.stillLoading = !call->returned;
        error = call->returned ? "no confirm arrived within " + std::to_string(timeoutMs) + " ms"
                               : "no answer within " + std::to_string(timeoutMs) +
                                     " ms; the call is still pending in the broker";
        return false;
    }
    out.result = call->result;
    out.requestStatus = call->requestStatus;
    out.delivered = state.delivered;
    out.confirm = std::move(state.copy);
    const std::string malformed = state.malformed;
    BrokerMessage* kept = state.kept;
    state.kept = nullptr;
    lock.unlock();
    if (kept != nullptr) {
        sendRecord({{"r", "release"}});
        api.deleteConfirm(kept);
    }
    if (!malformed.empty()) {
        out.malformed = malformed;
        error = "malformed confirm: " + malformed;
        return false;
    }
    return true;
}

} // namespace

bool takeConfirm(const BrokerMessage* confirm, std::vector<std::uint8_t>& copy,
                 std::string& malformed) {
    copy.clear();
    malformed.clear();
    // totalLength first: only once it covers a header is anything past it read.
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(confirm);
    std::uint32_t total = 0, header = 0;
    std::memcpy(&total, bytes, 4);
    if (total < KOV_HEADER_SIZE) {
        malformed = "totalLength " + std::to_string(total) + " is shorter than the 44-byte header";
        return false;
    }
    std::memcpy(&header, bytes + 8, 4);
    if (header < KOV_HEADER_SIZE)
        malformed = "headerLength " + std::to_string(header) + " is shorter than the 44-byte header";
    else if (header > total)
        malformed = "headerLength " + std::to_string(header) + " exceeds totalLength " +
                    std::to_string(total);
    else if (total > kMaxConfirm)
        malformed = "totalLength " + std::to_string(total) +
                    " is more than kovctl accepts (64 MiB)";
    if (!malformed.empty()) return false;
    copy.assign(bytes, bytes + total);
    return true;
}

bool exchange(const BrokerApi& api, const RequestFields& fields, bool sync, std::uint32_t timeoutMs,
              Exchange& out, std::string& error) {
    // The request stays alive until its confirm has come: a provider may read it until then.
    std::vector<std::uint32_t> request = buildRequest(fields);
    auto* message = reinterpret_cast<BrokerMessage*>(request.data());
    // What the parent of a worker names should this process die in the call: the first call
    // of a process also loads every provider.
    static bool sentBefore = false;
    const bool first = !sentBefore;
    sentBefore = true;
    sendRecord({{"r", "request"},
                {"handle", fields.provider},
                {"set", fields.functionSet},
                {"code", fields.functionCode},
                {"first", first}});
    const bool answered = sync ? exchangeSync(api, message, timeoutMs, out, error)
                               : exchangeAsync(api, message, timeoutMs, out, error);
    sendRecord({{"r", "answered"}});
    if (answered || !out.malformed.empty()) return answered; // malformed: the call is over
    // A synchronous call returns only with its confirm, so it cannot tell loading from answering.
    out.stillLoading = first && (sync || out.stillLoading);
    // The provider (or the broker, for a synchronous call) still holds the request and may read
    // it or answer later: it must outlive this call, so it is left to the end of the process.
    callLeftPending() = true;
    static std::vector<std::vector<std::uint32_t>> abandoned;
    abandoned.push_back(std::move(request));
    return false;
}

bool callStillPending() { return callLeftPending(); }

std::uint32_t finalStatus(const Exchange& exchange) {
    std::uint32_t status = 0;
    if (ByteView(exchange.confirm).u32(32, status)) return status;
    return exchange.requestStatus;
}

} // namespace kovctl
