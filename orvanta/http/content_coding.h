// Content codings: whether a client's Accept-Encoding admits gzip, and the precompressed
// sibling FILE.gz that is then served in place of FILE. Pure functions; any thread.
#pragma once

#include <string_view>

#include "orvanta/static/http_resolve.h"

// True when the Accept-Encoding value admits gzip: "gzip" or "x-gzip" with a q-value above 0,
// or "*" above 0 when gzip is not named. An element with a malformed q-value counts as absent.
bool AcceptsGzip(std::string_view acceptEncoding);

// The sibling of a resolved regular file: file.name + ".gz" opened beneath the root. status 0
// when it is a regular file (its descriptor is then the caller's), otherwise why not.
ResolvedFile OpenGzipSibling(int rootFd, const ResolvedFile& file);
