// What the sample caller needs from the broker, built on the three exports alone.
#ifndef KOV_SAMPLE_BROKER_CLIENT_H
#define KOV_SAMPLE_BROKER_CLIENT_H

#include <kov/kov_broker.h>

#include <cstdint>
#include <string>
#include <vector>

namespace client {

// A request in memory of its own: the 44-byte header, then the payload. Word storage keeps the
// header aligned.
class Request {
public:
    Request(ProviderHandle provider, uint32_t functionSet, uint32_t functionCode,
            const std::vector<uint8_t> &payload = {});
    BrokerMessage *message() { return reinterpret_cast<BrokerMessage *>(words_.data()); }

private:
    std::vector<uint32_t> words_;
};

// A confirm that the caller kept; released with kov_DeleteConfirm when it goes out of scope.
class Confirm {
public:
    explicit Confirm(BrokerMessage *message = nullptr) : message_(message) {}
    Confirm(Confirm &&other) noexcept : message_(other.message_) { other.message_ = nullptr; }
    Confirm(const Confirm &) = delete;
    Confirm &operator=(const Confirm &) = delete;
    ~Confirm();

    const BrokerMessage *get() const { return message_; }
    const uint8_t *payload() const;
    uint32_t payloadLength() const;

private:
    BrokerMessage *message_;
};

// kov_SendSync. Null confirm: the request's status says why.
Confirm sendSync(Request &request);
// kov_Send, then waits here for the confirm that arrives through the callback (from the
// provider's thread, or at once from the broker). One asynchronous request at a time.
Confirm sendAndWait(Request &request);

struct ProviderEntry {
    ProviderHandle handle;
    uint32_t functionSet;
    uint16_t setMajor, setMinor;
    std::string product;
};
// Every function set of a ListSubsystems reply, with its provider's handle. Empty when the reply
// is malformed.
std::vector<ProviderEntry> readProviderList(const Confirm &reply);

// Payload of RegisterProvider (operation 1 registers, 0 removes). Texts must be ASCII.
std::vector<uint8_t> registrationPayload(uint32_t operation, const std::string &key,
                                         const std::string &path);

} // namespace client

#endif
