// Every broker operation swept over every kind of failing call (see sweep.h).
#include "sweeps/sweep.h"

#include "dispatch/send.h"
#include "registry/provider_loading.h"
#include "runtime/process.h"
#include "runtime/statistics.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <type_traits>

namespace kov::test {
namespace {

constexpr std::uint32_t kRegister = 1;
constexpr std::uint32_t kRemove = 0;

std::vector<std::uint8_t> registration(std::uint32_t operation, const std::string& key,
                                       const std::string& path) {
    std::vector<std::uint8_t> bytes(16, 0);
    appendU32(bytes, operation);
    appendU32(bytes, 28);
    appendU32(bytes, static_cast<std::uint32_t>(28 + 4 + 2 * (key.size() + 1)));
    for (const std::string* text : {&key, &path}) {
        appendU32(bytes, static_cast<std::uint32_t>(text->size() + 1));
        const std::vector<std::uint8_t> units = utf16(*text);
        bytes.insert(bytes.end(), units.begin(), units.end());
    }
    return bytes;
}

// A synchronous request to handle 0 (or a library), answered by a reply or one of the failure
// table's outcomes.
class SyncRequest : public SweptOperation {
public:
    SyncRequest(ProviderHandle provider, std::uint32_t set, std::uint32_t code)
        : provider_(provider), set_(set), code_(code) {}
    void prepare() override { request_ = Request(provider_, set_, code_); }
    void run() override { sendSyncRecording(request_, out_); }
    void verify() override { expectSyncOutcome(out_, okStatus_); }

protected:
    ProviderHandle provider_;
    std::uint32_t set_, code_;
    Request request_;
    SyncOutcome out_;
    std::uint32_t okStatus_ = 0; // a failure status the operation may answer besides 2 and 3
};

// Counts deliveries without allocating: the callback runs while the C++ heap is being failed, and
// an exception of its own would be the test's fault, not the broker's.
struct DeliveryCount {
    std::atomic<unsigned> count{0};
    std::atomic<BrokerMessage*> confirm{nullptr};
    std::atomic<std::uint32_t> status{0};
    // Null deliveries carry no callbackData.
    static inline std::atomic<DeliveryCount*> nullTarget{nullptr};

    static std::int32_t KOV_CALL callback(BrokerMessage* delivered) {
        DeliveryCount* self = delivered != nullptr
                                  ? static_cast<DeliveryCount*>(delivered->callbackData)
                                  : nullTarget.load();
        if (self == nullptr) return 0;
        if (delivered != nullptr) self->status = delivered->status;
        self->confirm = delivered;
        ++self->count;
        return 0; // not kept: the broker or the provider takes it back
    }
    bool waitForOne() const {
        for (int i = 0; i < 2000 && count.load() == 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        return count.load() != 0;
    }
};

// The asynchronous form: exactly one delivery, a confirm or null with status 3.
class AsyncRequest : public SweptOperation {
public:
    AsyncRequest(ProviderHandle provider, std::uint32_t set, std::uint32_t code)
        : provider_(provider), set_(set), code_(code) {}
    void prepare() override {
        request_ = Request(provider_, set_, code_);
        delivered_ = std::make_unique<DeliveryCount>();
        request_->callback = DeliveryCount::callback;
        request_->callbackData = delivered_.get();
        DeliveryCount::nullTarget = delivered_.get();
    }
    void run() override {
        threw_ = false;
        try {
            result_ = dispatch::send(request_.get());
        } catch (...) {
            threw_ = true;
        }
    }
    void verify() override {
        EXPECT_FALSE(threw_) << "an exception left the send";
        EXPECT_NE(result_, dispatch::kRefused);
        ASSERT_TRUE(delivered_->waitForOne()) << "the callback was never called";
        // A second delivery would arrive at once with a provider that confirms on the caller's
        // thread; give a late one a moment anyway.
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        EXPECT_EQ(delivered_->count.load(), 1u);
        if (delivered_->confirm.load() == nullptr) {
            // A null names its reason in the request's status: no memory, or the code the
            // header-only answer would have carried (a reload that went through answers 0).
            const bool headerOnlyAnswer = set_ == 0 && code_ == KOV_FN_RELOAD;
            EXPECT_TRUE(request_->status == 3u || (headerOnlyAnswer && request_->status == 0u))
                << "status " << request_->status;
        }
        DeliveryCount::nullTarget = nullptr;
    }

private:
    ProviderHandle provider_;
    std::uint32_t set_, code_;
    Request request_;
    std::unique_ptr<DeliveryCount> delivered_;
    std::int32_t result_ = 0;
    bool threw_ = false;
};

// A reload may lose a library whose loading failed, never the broker provider at handle 0; the
// next case starts from a clean reload. A registry that fails it answers 8.
template <class Base>
class ReloadRequest : public Base {
public:
    ReloadRequest() : Base(0, 0, KOV_FN_RELOAD) {
        if constexpr (std::is_base_of_v<SyncRequest, Base>) this->okStatus_ = KOV_STATUS_REGISTRY_ERROR;
    }
    void verify() override {
        Base::verify();
        const std::vector<ListedSet> sets = listedSets();
        ASSERT_FALSE(sets.empty());
        EXPECT_EQ(sets[0].functionSet, KOV_BROKER_FUNCTION_SET) << "the broker provider first";
    }
    void restore() override { registry::reloadProviders(); }
};

// First use after attach: the load runs inside the first send.
class FirstLoad : public SyncRequest {
public:
    FirstLoad() : SyncRequest(0, 0, KOV_FN_GET_STATISTICS) {}
    void prepare() override {
        SyncRequest::prepare();
        runtime::processDetach(false);
        ASSERT_TRUE(runtime::processAttach(nullptr));
    }
    void verify() override {
        SyncRequest::verify();
        const std::vector<ListedSet> sets = listedSets();
        ASSERT_FALSE(sets.empty());
        EXPECT_EQ(sets[0].functionSet, KOV_BROKER_FUNCTION_SET) << "the broker provider first";
    }
    // A library whose loading failed is skipped for this process; start the next case afresh.
    void restore() override { registry::reloadProviders(); }
};

// Register a fourth library, or remove it: on success the change is undone afterwards, on
// failure the list must be as before.
class Registration : public SweptOperation {
public:
    Registration(std::uint32_t operation, std::string path)
        : operation_(operation), path_(std::move(path)) {}
    void prepare() override {
        if (operation_ == kRemove) apply(kRegister);
        before_ = descriptorsListed();
        request_ = Request(0, 0, KOV_FN_REGISTER_PROVIDER, 44, registration(operation_, "Fourth", path_));
    }
    void run() override { sendSyncRecording(request_, out_); }
    void verify() override {
        const std::uint32_t status = out_.confirm != nullptr ? out_.confirm->status : out_.status;
        // 8: a key could not be opened; 9/7: the value could not be written/deleted; 10: the
        // library could not be loaded (its record, say); 11: the key exists already.
        const std::uint32_t allowed[] = {0, 2, 3, 8, operation_ == kRegister ? 9u : 7u,
                                         operation_ == kRegister ? 10u : 0u, 11};
        EXPECT_NE(std::find(std::begin(allowed), std::end(allowed), status), std::end(allowed))
            << "status " << status;
        expectSyncOutcome(out_, status);
        const std::uint32_t now = descriptorsListed();
        if (status == 0 && out_.confirm != nullptr) {
            EXPECT_EQ(now, operation_ == kRegister ? before_ + 1 : before_ - 1);
        } else if (status != 0) {
            EXPECT_EQ(now, before_) << "a failed step leaves the list alone";
        }
    }
    void restore() override {
        // Back to three libraries, whatever the case left.
        apply(kRemove);
        registry::reloadProviders();
    }

private:
    void apply(std::uint32_t operation) {
        Request request(0, 0, KOV_FN_REGISTER_PROVIDER, 44, registration(operation, "Fourth", path_));
        SyncOutcome out;
        sendSyncRecording(request, out);
        if (out.confirm != nullptr) dispatch::deleteConfirm(out.confirm);
    }
    std::uint32_t operation_;
    std::string path_;
    std::uint32_t before_ = 0;
    Request request_;
    SyncOutcome out_;
};

// Detach: everything the broker holds is given back, whatever fails on the way.
class Detach : public SweptOperation {
public:
    void prepare() override { runtime::ensureLoaded(); }
    void run() override { runtime::processDetach(false); }
    // What detach failed to give back is LeakSanitizer's to find; the broker must come up
    // whole again afterwards.
    void verify() override {
        ASSERT_TRUE(runtime::processAttach(nullptr));
        runtime::ensureLoaded();
    }
};

TEST_F(SweepTest, FirstLoadOfThreeProviders) {
    registerThree();
    FirstLoad operation;
    EXPECT_GT(sweep("first load", operation), 0u);
}

TEST_F(SweepTest, ReloadSyncAndAsync) {
    registerThree();
    loadProviders();
    ReloadRequest<SyncRequest> sync;
    EXPECT_GT(sweep("reload (sync)", sync), 0u);
    ReloadRequest<AsyncRequest> async;
    EXPECT_GT(sweep("reload (async)", async), 0u);
}

TEST_F(SweepTest, RegisterAndRemove) {
    registerThree();
    loadProviders();
    Registration add(kRegister, providerPath("kov_test_three_sets"));
    EXPECT_GT(sweep("RegisterProvider", add), 0u);
    Registration remove(kRemove, providerPath("kov_test_three_sets"));
    EXPECT_GT(sweep("remove", remove), 0u);
}

TEST_F(SweepTest, BrokerFunctions) {
    registerThree();
    loadProviders();
    SyncRequest statistics(0, 0, KOV_FN_GET_STATISTICS);
    EXPECT_GT(sweep("GetStatistics", statistics), 0u);
    SyncRequest list(0, 0, KOV_FN_LIST_SUBSYSTEMS);
    EXPECT_GT(sweep("ListSubsystems", list), 0u);
    SyncRequest language(0, KOV_COMMON_FUNCTION_SET, KOV_COMMON_FN_GET_LANGUAGE);
    EXPECT_GT(sweep("GetLanguage", language), 0u);
}

TEST_F(SweepTest, SendsToAProviderLibrary) {
    registerThree();
    const ProviderHandle immediate = handleServing(0x100);
    ASSERT_NE(immediate, 0u);
    SyncRequest sync(immediate, 0x100, 0);
    EXPECT_GT(sweep("sync send to a library", sync), 0u);
    AsyncRequest async(immediate, 0x100, 0);
    EXPECT_GT(sweep("async send to a library", async), 0u);
}

TEST_F(SweepTest, Detach) {
    registerThree();
    Detach operation;
    EXPECT_GT(sweep("detach", operation), 0u);
}

} // namespace
} // namespace kov::test
