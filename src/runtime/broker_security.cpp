#include "runtime/broker_security.h"

#include "platform/platform.h"
#include "runtime/block_allocator.h"

namespace kov::runtime {
namespace {
SecurityAttributes* attributes = nullptr;
}

bool buildBrokerSecurity() {
    void* descriptor = allocate(platform::kSecurityDescriptorSize);
    if (descriptor == nullptr) return false;
    if (!platform::initSecurityDescriptor(descriptor) || !platform::setNullDacl(descriptor)) {
        release(descriptor);
        return false;
    }
    auto* record = static_cast<SecurityAttributes*>(allocate(sizeof(SecurityAttributes)));
    if (record == nullptr) {
        release(descriptor);
        return false;
    }
    record->length = sizeof(SecurityAttributes);
    record->descriptor = descriptor;
    record->inheritHandle = 1;
    attributes = record;
    return true;
}

void releaseBrokerSecurity() {
    if (attributes == nullptr) return;
    release(attributes->descriptor);
    release(attributes);
    attributes = nullptr;
}

const SecurityAttributes* brokerSecurity() { return attributes; }

} // namespace kov::runtime
