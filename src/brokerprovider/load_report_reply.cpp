// Broker function 5, GetLoadReport: the report of the last load of the provider list, laid out as
// LoadReportHead and LoadReportEntry records followed by their texts as StringItems.
#include "brokerprovider/broker_provider.h"

#include "message/bytes.h"
#include "platform/platform.h"
#include "registry/load_report.h"
#include "registry/provider_loading.h"

#include <cstring>
#include <new>
#include <string>
#include <vector>

namespace kov::brokerprovider {
namespace {

using message::writeU32;

constexpr std::uint32_t kHeadSize = sizeof(LoadReportHead);
constexpr std::uint32_t kEntrySize = sizeof(LoadReportEntry);

// Registry names and reasons are ANSI texts. One that does not convert (not valid in the code
// page) is given byte by byte, each byte above ASCII as U+FFFD, rather than left out.
std::u16string wide(const std::string& text) {
    std::u16string out(text.size(), u'\0');
    const int units = text.empty() ? 0
                                   : platform::ansiToWide(text.data(), static_cast<int>(text.size()),
                                                          out.data(), static_cast<int>(out.size()));
    if (units > 0 || text.empty()) {
        out.resize(static_cast<std::size_t>(units));
        return out;
    }
    for (std::size_t i = 0; i < text.size(); ++i)
        out[i] = static_cast<unsigned char>(text[i]) < 0x80 ? char16_t(text[i]) : u'\xFFFD';
    return out;
}

// The texts of the reply in the order they are written, with the offset field each goes into.
struct Text {
    std::uint32_t field; // payload offset of the u32 that gets the item's offset
    std::u16string units;
};

class TextList {
public:
    void add(std::uint32_t field, const std::string& text) {
        if (text.empty()) return; // an empty text gets no item: its field stays 0
        texts_.push_back(Text{field, wide(text)});
        bytes_ += 4 + 2 * (static_cast<std::uint64_t>(texts_.back().units.size()) + 1);
    }
    std::uint64_t bytes() const { return bytes_; }
    void write(std::uint8_t* payload, std::uint32_t at) const {
        for (const Text& t : texts_) {
            const auto count = static_cast<std::uint32_t>(t.units.size() + 1);
            writeU32(payload, t.field, at);
            writeU32(payload, at, count);
            // Items are not aligned: the terminator is the zero the reply was filled with.
            std::memcpy(payload + at + 4, t.units.data(), 2 * t.units.size());
            at += 4 + 2 * count;
        }
    }

private:
    std::vector<Text> texts_;
    std::uint64_t bytes_ = 0;
};

// Null when no memory is left for it (or it would not fit 32 bits).
BrokerMessage* buildReply(BrokerMessage* request) {
    const registry::PublishedReport last = registry::lastLoadReport();
    const registry::LoadReport* r = last.report.get();
    const std::uint32_t entries = r != nullptr ? static_cast<std::uint32_t>(r->problems.size()) : 0;
    const std::uint64_t fixed = kHeadSize + std::uint64_t{kEntrySize} * entries;
    TextList texts;
    // Without a report (its load had no memory for one) the location is still worth saying.
    texts.add(offsetof(LoadReportHead, locationOffset),
              r != nullptr ? r->location : platform::registryLocation(registry::kBrokerKey));
    if (r != nullptr) {
        texts.add(offsetof(LoadReportHead, marksFolderOffset), r->marksFolder);
        texts.add(offsetof(LoadReportHead, marksNoteOffset), r->marksNote);
        texts.add(offsetof(LoadReportHead, userLocationOffset), r->userLocation);
        texts.add(offsetof(LoadReportHead, userNoteOffset), r->userNote);
        for (std::uint32_t i = 0; i < entries; ++i) {
            const std::uint32_t at = kHeadSize + kEntrySize * i;
            const registry::LoadProblem& p = r->problems[i];
            texts.add(at + offsetof(LoadReportEntry, keyOffset), p.key);
            texts.add(at + offsetof(LoadReportEntry, pathOffset), p.path);
            texts.add(at + offsetof(LoadReportEntry, textOffset), p.reason);
        }
    }
    const std::uint64_t size = fixed + texts.bytes();
    if (size > UINT32_MAX - request->headerLength) return nullptr;
    BrokerMessage* confirm = message::newBrokerConfirm(request, static_cast<std::uint32_t>(size));
    if (confirm == nullptr) return nullptr;
    auto* out = reinterpret_cast<std::uint8_t*>(confirm) + request->headerLength;
    message::writePayloadHead(out, static_cast<std::uint32_t>(size));
    writeU32(out, offsetof(LoadReportHead, outcome), last.outcome);
    writeU32(out, offsetof(LoadReportHead, loadKind), last.loadKind);
    writeU32(out, offsetof(LoadReportHead, entrySize), kEntrySize);
    if (r != nullptr) {
        writeU32(out, offsetof(LoadReportHead, registryState), r->registryState);
        writeU32(out, offsetof(LoadReportHead, registryError), r->registryError);
        writeU32(out, offsetof(LoadReportHead, loadedCount), r->loadedCount);
        writeU32(out, offsetof(LoadReportHead, entryCount), entries);
        writeU32(out, offsetof(LoadReportHead, entriesOffset), entries > 0 ? kHeadSize : 0);
        writeU32(out, offsetof(LoadReportHead, marksState), r->marksState);
        std::memcpy(out + offsetof(LoadReportHead, timestamp), r->timestamp, KOV_TIMESTAMP_SIZE);
        writeU32(out, offsetof(LoadReportHead, userRegistryState), r->userState);
        writeU32(out, offsetof(LoadReportHead, userRegistryError), r->userError);
        for (std::uint32_t i = 0; i < entries; ++i) {
            const std::uint32_t at = kHeadSize + kEntrySize * i;
            const registry::LoadProblem& p = r->problems[i];
            writeU32(out, at + offsetof(LoadReportEntry, why), p.why);
            writeU32(out, at + offsetof(LoadReportEntry, status), p.status);
            writeU32(out, at + offsetof(LoadReportEntry, processId), p.processId);
            writeU32(out, at + offsetof(LoadReportEntry, layer), p.layer);
        }
    } else {
        writeU32(out, offsetof(LoadReportHead, marksState), KOV_MARKS_NONE);
    }
    texts.write(out, static_cast<std::uint32_t>(fixed));
    return confirm;
}

} // namespace

void handleLoadReport(BrokerMessage* request) {
    BrokerMessage* confirm = nullptr;
    try {
        confirm = buildReply(request);
    } catch (const std::bad_alloc&) {
        confirm = nullptr; // said to the callback as no memory, like every other reply
    }
    deliverReply(request, confirm);
}

} // namespace kov::brokerprovider
