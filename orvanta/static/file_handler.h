// The static-file handler: answers a parsed GET or HEAD from the files beneath the root, or
// from the open-file cache: the file or its precompressed FILE.gz sibling for a client that
// accepts gzip (ranges then count in the compressed bytes), with validators and conditions, a
// redirect for a directory named without its slash, a listing, or an error. Any thread.
#pragma once

#include <stdint.h>
#include <time.h>

#include "orvanta/http/http_response.h"

class MimeTypes;
class OpenFileCache;
struct HttpRequest;

struct ServeContext {
    int rootFd = -1;
    const MimeTypes* mime = nullptr;
    bool autoindex = false;          // list directories that have no index.html
    OpenFileCache* cache = nullptr;  // null: every request opens its files
    // Without the cache, a file region up to this size is read into the body and goes out with
    // the header in one gather write; larger ones go through the file sender. 0: always the latter.
    uint64_t smallFileMax = 0;
};

// Serves one parsed request from the root.
ResponsePlan HandleRequest(const HttpRequest& request, const ServeContext& ctx, time_t now);
