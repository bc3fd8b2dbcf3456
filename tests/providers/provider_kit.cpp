#include "provider_kit.h"

#include <cstdlib>
#include <cstring>
#include <limits>
#include <mutex>
#include <new>
#include <unordered_map>

namespace {

KovProviderCounters gCounters{};

// A fixed stamp, so a test can see the broker copy it byte for byte.
constexpr char kTimestamp[] = "2024-01-02T03:04:05.678+0100";
static_assert(sizeof(kTimestamp) - 1 == KOV_TIMESTAMP_SIZE, "timestamp field is 28 bytes");

enum class BlockKind { Info, Confirm };

// Every block this library has handed out and not yet got back. kov_DeleteReceive frees only
// what is listed here, so a stranger's block (or one released twice) is never touched.
class LiveBlocks {
public:
    LiveBlocks() = default;
    LiveBlocks(const LiveBlocks &) = delete;
    LiveBlocks &operator=(const LiveBlocks &) = delete;

    // Whatever is still out when the library is unloaded can no longer come back: free it, as a
    // real provider's heap would go with it, so leak checkers see only the broker's own leaks.
    ~LiveBlocks()
    {
        for (const auto &entry : blocks_)
            std::free(entry.first);
    }

    bool add(void *block, BlockKind kind)
    {
        try {
            const std::lock_guard<std::mutex> guard(lock_);
            blocks_.emplace(block, kind);
            return true;
        } catch (const std::bad_alloc &) {
            return false;
        }
    }

    bool take(void *block, BlockKind &kind)
    {
        const std::lock_guard<std::mutex> guard(lock_);
        const auto found = blocks_.find(block);
        if (found == blocks_.end())
            return false;
        kind = found->second;
        blocks_.erase(found);
        return true;
    }

private:
    std::mutex lock_;
    std::unordered_map<void *, BlockKind> blocks_;
};

LiveBlocks gLiveBlocks;

void putU16(std::vector<uint8_t> &bytes, uint32_t offset, uint16_t value)
{
    std::memcpy(bytes.data() + offset, &value, sizeof value);
}

size_t unitsWithTerminator(const char16_t *text)
{
    size_t units = 0;
    while (text[units] != 0)
        ++units;
    return units + 1;
}

uint32_t itemSize(const char16_t *text)
{
    if (text == nullptr || text[0] == 0)
        return 0;
    return static_cast<uint32_t>(4 + 2 * unitsWithTerminator(text));
}

// Writes the item at `running` and stores its offset in the field at `field`; an absent or empty
// text leaves the field 0.
void putStringItem(std::vector<uint8_t> &bytes, uint32_t &running, uint32_t field,
                   const char16_t *text)
{
    const uint32_t size = itemSize(text);
    if (size == 0) {
        kit::putU32(bytes, field, 0);
        return;
    }
    const uint32_t count = (size - 4) / 2;
    kit::putU32(bytes, running, count);
    std::memcpy(bytes.data() + running + 4, text, 2 * count);
    kit::putU32(bytes, field, running);
    running += size;
}

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

std::vector<uint8_t> layoutInfoPayload(const InfoLayout &layout)
{
    const uint32_t setCount = static_cast<uint32_t>(layout.sets.size());
    const uint32_t stringsStart = kInfoFirstEntryOffset + 20 * setCount;
    const uint32_t length = stringsStart + itemSize(layout.copyright) + itemSize(layout.maker) +
                            itemSize(layout.product);
    std::vector<uint8_t> bytes(length, 0);

    putU32(bytes, 0, length);
    putU16(bytes, 4, 1);
    putU16(bytes, 6, 0);
    putU32(bytes, 8, 1);

    const uint32_t descriptor = 12;
    putU32(bytes, descriptor + 0, 0);
    putU16(bytes, descriptor + 4, 1);
    putU16(bytes, descriptor + 6, 0);
    putU32(bytes, descriptor + 8, 1);
    std::memcpy(bytes.data() + descriptor + 12, kTimestamp, KOV_TIMESTAMP_SIZE);

    uint32_t running = stringsStart;
    putStringItem(bytes, running, descriptor + 40, layout.copyright);
    putStringItem(bytes, running, descriptor + 44, layout.maker);
    putU32(bytes, descriptor + 48, 0);
    putStringItem(bytes, running, descriptor + 52, layout.product);
    putU32(bytes, kInfoSetCountOffset, setCount);

    for (uint32_t i = 0; i < setCount; ++i) {
        const uint32_t entry = kInfoFirstEntryOffset + 20 * i;
        putU32(bytes, entry + 0, i + 1 < setCount ? 20 : 0);
        putU32(bytes, entry + 4, 1);
        putU32(bytes, entry + 8, layout.sets[i]);
        putU16(bytes, entry + 12, 1);
        putU16(bytes, entry + 14, 0);
        putU32(bytes, entry + 16, 0);
    }
    return bytes;
}

BrokerMessage *publishInfoBlock(const std::vector<uint8_t> &payload)
{
    const size_t size = KOV_HEADER_SIZE + payload.size();
    auto *block = static_cast<BrokerMessage *>(std::calloc(1, size));
    if (block == nullptr)
        return nullptr;
    block->totalLength = static_cast<uint32_t>(size);
    block->formatMajor = KOV_FORMAT_MAJOR;
    block->formatMinor = KOV_FORMAT_MINOR;
    block->headerLength = KOV_HEADER_SIZE;
    std::memcpy(reinterpret_cast<uint8_t *>(block) + KOV_HEADER_SIZE, payload.data(),
                payload.size());
    if (!gLiveBlocks.add(block, BlockKind::Info)) {
        std::free(block);
        return nullptr;
    }
    return block;
}

bool isAnswerable(const BrokerMessage *request)
{
    return request != nullptr && request->callback != nullptr &&
           request->headerLength >= KOV_HEADER_SIZE &&
           request->totalLength >= request->headerLength;
}

uint32_t payloadLength(const BrokerMessage *request)
{
    return request->totalLength - request->headerLength;
}

const uint8_t *payloadOf(const BrokerMessage *request)
{
    return reinterpret_cast<const uint8_t *>(request) + request->headerLength;
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
    const uint32_t headerLength = request->headerLength;
    if (payloadLength > std::numeric_limits<uint32_t>::max() - headerLength)
        return nullptr;
    const uint32_t size = headerLength + payloadLength;
    auto *confirm = static_cast<BrokerMessage *>(std::calloc(1, size));
    if (confirm == nullptr)
        return nullptr;
    std::memcpy(confirm, request, headerLength);
    if (payloadLength > 0)
        std::memcpy(reinterpret_cast<uint8_t *>(confirm) + headerLength, payload, payloadLength);
    confirm->totalLength = size;
    confirm->status = status;
    if (!gLiveBlocks.add(confirm, BlockKind::Confirm)) {
        std::free(confirm);
        return nullptr;
    }
    bump(gCounters.confirmsBuilt);
    return confirm;
}

int32_t releaseBlock(BrokerMessage *block)
{
    BlockKind kind = BlockKind::Info;
    if (block == nullptr || !gLiveBlocks.take(block, kind))
        return 1;
    std::free(block);
    bump(kind == BlockKind::Info ? gCounters.infoReturned : gCounters.confirmsReleased);
    return 0;
}

void deliver(ConfirmCallback callback, BrokerMessage *confirm)
{
    const int32_t kept = callback(confirm);
    if (confirm != nullptr && kept == 0)
        releaseBlock(confirm);
}

void deliverNoMemory(BrokerMessage *request)
{
    request->status = KOV_STATUS_NO_MEMORY;
    request->callback(nullptr);
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
