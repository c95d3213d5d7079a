// The fetch function of the core over Boost.Beast HTTP/1.1 (TLS through OpenSSL for https).
#pragma once

#include "core/service/http.h"
#include "platform/net/core_queue.h"
#include "platform/net/network.h"

namespace quendra {

// Sends the request with its method, headers and body unchanged (Host and the body's length are
// added when missing) and completes on coreQueue() with the status and body of any HTTP answer.
// A transport failure or a request longer than 15 s completes with a LinkError carrying the
// error's text. An unusable URL completes at once, on the caller's thread, with the LinkError
// "indirizzo non valido". Any thread may call it.
void httpFetch(const HTTPRequest& request, FetchCompletion completion);

// The same on another queue or with other tuning (tests). The function and its requests may
// outlive `queue`; a request made or pending after it stopped never completes.
FetchFunction makeFetch(CoreQueue& queue, NetTuning tuning = {});

}  // namespace quendra
