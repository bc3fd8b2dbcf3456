// One request to the broker and the confirm that answers it.
#pragma once

#include "module.h"
#include "request_fields.h"

#include <cstdint>
#include <string>
#include <vector>

namespace kovctl {

struct Exchange {
    std::int32_t result = 0;           // what kov_Send / kov_SendSync returned
    std::uint32_t requestStatus = 0;   // the request's status once the call is over
    bool delivered = false;            // the callback ran (a confirm or null) / SendSync returned one
    std::vector<std::uint8_t> confirm; // copy of the confirm; empty when none came
    bool truncated = false;            // never now: a confirm larger than kovctl reads is refused
    // Given up on the first call of the process before the broker returned from it: it may still
    // be loading the providers.
    bool stillLoading = false;
    std::string malformed; // what is wrong with the confirm, which was released unread
};

// The largest confirm kovctl reads; no reply comes near it.
constexpr std::uint32_t kMaxConfirm = 64u * 1024u * 1024u;

// Copies the confirm as far as its header says it reaches, after checking that the header holds
// together: totalLength and headerLength at least the 44-byte header, headerLength within
// totalLength, totalLength at most kMaxConfirm. Otherwise nothing past the two lengths is read,
// `copy` stays empty and `malformed` says what is wrong.
bool takeConfirm(const BrokerMessage* confirm, std::vector<std::uint8_t>& copy,
                 std::string& malformed);

// Sends `fields` with kov_SendSync (`sync`) or kov_Send, waiting up to `timeoutMs` for the answer
// either way: both calls run on a thread of their own, left running when kovctl gives up. The
// confirm is copied and released with kov_DeleteConfirm before this returns. False with `error`
// set when no answer came in time, or the confirm was malformed (it is released all the same).
bool exchange(const BrokerApi& api, const RequestFields& fields, bool sync, std::uint32_t timeoutMs,
              Exchange& out, std::string& error);

// True once a call was given up while the broker or a provider still held it. The process must
// then end without running the module's teardown under that call (see main).
bool callStillPending();

// The status that decides the outcome: the confirm's, or the request's when no confirm came.
std::uint32_t finalStatus(const Exchange& exchange);

} // namespace kovctl
