#include "message/status_names.h"

#include <kov/kov_broker.h>

namespace kov::message {
namespace {

struct StatusName {
    std::uint32_t code;
    const char* name;
};

constexpr StatusName kNames[] = {
    {KOV_STATUS_OK, "STATUS_OK"},
    {KOV_STATUS_NO_EVENT, "STATUS_NO_EVENT"},
    {KOV_STATUS_NO_MEMORY, "STATUS_NO_MEMORY"},
    {KOV_STATUS_UNKNOWN_PROVIDER, "STATUS_UNKNOWN_PROVIDER"},
    {KOV_STATUS_UNKNOWN_SET, "STATUS_UNKNOWN_SET"},
    {KOV_STATUS_UNKNOWN_FUNCTION, "STATUS_UNKNOWN_FUNCTION"},
    {KOV_STATUS_DEREGISTER_FAILED, "STATUS_DEREGISTER_FAILED"},
    {KOV_STATUS_REGISTRY_ERROR, "STATUS_REGISTRY_ERROR"},
    {KOV_STATUS_REGISTER_WRITE_FAILED, "STATUS_REGISTER_WRITE_FAILED"},
    {KOV_STATUS_PROVIDER_LOAD_FAILED, "STATUS_PROVIDER_LOAD_FAILED"},
    {KOV_STATUS_ALREADY_REGISTERED, "STATUS_ALREADY_REGISTERED"},
    {KOV_STATUS_MALFORMED_CONFIRM, "STATUS_MALFORMED_CONFIRM"},
    {KOV_STATUS_BAD_VERSION, "STATUS_BAD_VERSION"},
    {KOV_STATUS_LANGUAGE_MISMATCH, "STATUS_LANGUAGE_MISMATCH"},
};

} // namespace

const char* statusName(std::uint32_t status) {
    for (const StatusName& entry : kNames)
        if (entry.code == status) return entry.name;
    return nullptr;
}

} // namespace kov::message
