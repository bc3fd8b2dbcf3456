#include "json.h"

namespace kovctl {

std::string jsonLine(const Json& json) {
    return json.dump(-1, ' ', false, Json::error_handler_t::replace);
}

Json textOrNull(const char* text) { return text != nullptr ? Json(text) : Json(nullptr); }

} // namespace kovctl
