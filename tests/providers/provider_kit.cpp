#include "provider_kit.h"

#include <cstring>
#include <mutex>
#include <new>
#include <unordered_map>

namespace {

KovProviderCounters gCounters{};

// A fixed stamp, so a test can see the broker copy it byte for byte.
constexpr char kTimestamp[] = "2024-01-02T03:04:05.678+0100";

enum class BlockKind { Info, Confirm };

// What each block of this library that is still out is, for the counters. The kit owns the
// blocks; building and releasing happen under this lock, so an address the kit reuses is never
// confused with the block it had before.
class Outstanding {
public:
    Outstanding() = default;
    Outstanding(const Outstanding &) = delete;
    Outstanding &operator=(const Outstanding &) = delete;

    // Whatever is still out when the library is unloaded can no longer come back: release it, so
    // leak checkers see only the broker's own leaks. (A real provider leaves such blocks to
    // whoever still holds them.)
    ~Outstanding()
    {
        for (const auto &entry : kinds_)
            kov_releaseBlock(static_cast<BrokerMessage *>(entry.first));
    }

    template <typename Build> BrokerMessage *add(BlockKind kind, Build build)
    {
        const std::lock_guard<std::mutex> guard(lock_);
        BrokerMessage *block = build();
        if (block == nullptr)
            return nullptr;
        try {
            kinds_.emplace(block, kind);
        } catch (const std::bad_alloc &) {
            kov_releaseBlock(block);
            return nullptr;
        }
        return block;
    }

    int32_t release(BrokerMessage *block)
    {
        BlockKind kind;
        {
            const std::lock_guard<std::mutex> guard(lock_);
            const int32_t refused = kov_releaseBlock(block);
            if (refused != 0)
                return refused;
            const auto found = kinds_.find(block);
            kind = found != kinds_.end() ? found->second : BlockKind::Confirm;
            if (found != kinds_.end())
                kinds_.erase(found);
        }
        kit::bump(kind == BlockKind::Info ? gCounters.infoReturned : gCounters.confirmsReleased);
        return 0;
    }

private:
    std::mutex lock_;
    std::unordered_map<void *, BlockKind> kinds_;
};

Outstanding gOutstanding;

} // namespace

extern "C" KovProviderCounters *KOV_CALL kov_test_Counters(void)
{
    return &gCounters;
}

namespace kit {

KovProviderCounters &counters()
{
    return gCounters;
}

void bump(int32_t &counter, int32_t delta)
{
    __atomic_fetch_add(&counter, delta, __ATOMIC_SEQ_CST);
}

void putU32(std::vector<uint8_t> &bytes, uint32_t offset, uint32_t value)
{
    std::memcpy(bytes.data() + offset, &value, sizeof value);
}

uint32_t getU32(const std::vector<uint8_t> &bytes, uint32_t offset)
{
    uint32_t value = 0;
    std::memcpy(&value, bytes.data() + offset, sizeof value);
    return value;
}

namespace {

BrokerMessage *buildInfoBlock(const InfoLayout &layout)
{
    std::vector<KovFunctionSet> sets;
    for (const uint32_t set : layout.sets)
        sets.push_back(KovFunctionSet{set, 1, 0});
    KovDescription description{};
    description.product = layout.product;
    description.maker = layout.maker;
    description.copyright = layout.copyright;
    description.sets = sets.data();
    description.setCount = static_cast<uint32_t>(sets.size());
    description.timestamp = kTimestamp;
    description.kind = 1;
    return kov_buildInfoBlock(&description, nullptr);
}

} // namespace

BrokerMessage *describe(const InfoLayout &layout)
{
    return gOutstanding.add(BlockKind::Info, [&] { return buildInfoBlock(layout); });
}

std::vector<uint8_t> layoutInfoPayload(const InfoLayout &layout)
{
    BrokerMessage *block = buildInfoBlock(layout); // never handed out, so not counted
    if (block == nullptr)
        return {};
    const uint8_t *payload = kov_payload(block);
    std::vector<uint8_t> bytes(payload, payload + kov_payloadSize(block));
    kov_releaseBlock(block);
    return bytes;
}

BrokerMessage *publishInfoBlock(const std::vector<uint8_t> &payload)
{
    const auto size = static_cast<uint32_t>(KOV_HEADER_SIZE + payload.size());
    return gOutstanding.add(BlockKind::Info, [&] {
        BrokerMessage *block = kov_newBlock(size);
        if (block == nullptr)
            return block;
        block->totalLength = size;
        block->formatMajor = KOV_FORMAT_MAJOR;
        block->formatMinor = KOV_FORMAT_MINOR;
        block->headerLength = KOV_HEADER_SIZE;
        std::memcpy(kov_payload(block), payload.data(), payload.size());
        return block;
    });
}

bool isAnswerable(const BrokerMessage *request)
{
    return kov_isAnswerable(request) != 0;
}

uint32_t payloadLength(const BrokerMessage *request)
{
    return kov_payloadSize(request);
}

const uint8_t *payloadOf(const BrokerMessage *request)
{
    return kov_payload(request);
}

uint32_t firstPayloadWord(const BrokerMessage *request)
{
    uint32_t word = 0;
    if (payloadLength(request) >= sizeof word)
        std::memcpy(&word, payloadOf(request), sizeof word);
    return word;
}

BrokerMessage *buildConfirm(const BrokerMessage *request, const uint8_t *payload,
                            uint32_t payloadLength, uint32_t status)
{
    BrokerMessage *confirm = gOutstanding.add(BlockKind::Confirm, [&] {
        return kov_buildConfirm(request, status, payload, payloadLength);
    });
    if (confirm != nullptr)
        bump(gCounters.confirmsBuilt);
    return confirm;
}

int32_t releaseBlock(BrokerMessage *block)
{
    return gOutstanding.release(block);
}

void deliver(ConfirmCallback callback, BrokerMessage *confirm)
{
    const int32_t kept = callback(confirm);
    if (confirm != nullptr && kept == 0)
        releaseBlock(confirm);
}

void deliverNoMemory(BrokerMessage *request)
{
    kov_answerNoMemory(request);
}

int32_t answerNow(BrokerMessage *request)
{
    if (!isAnswerable(request))
        return refuse();

    bump(gCounters.pendingConfirms);
    BrokerMessage *confirm = nullptr;
    switch (request->functionCode) {
    case 0:
        confirm = buildConfirm(request, payloadOf(request), payloadLength(request), KOV_STATUS_OK);
        break;
    case 1:
        confirm = buildConfirm(request, nullptr, 0, firstPayloadWord(request));
        break;
    default:
        confirm = buildConfirm(request, nullptr, 0, KOV_STATUS_UNKNOWN_FUNCTION);
        break;
    }
    if (confirm == nullptr)
        deliverNoMemory(request);
    else
        deliver(request->callback, confirm);
    bump(gCounters.pendingConfirms, -1);
    return 0;
}

int32_t refuse()
{
    bump(gCounters.refusals);
    return 1;
}

} // namespace kit
