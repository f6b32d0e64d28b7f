// Content codings: whether a client's Accept-Encoding admits gzip, so that a precompressed
// sibling FILE.gz may be served in place of FILE. Pure functions; any thread.
#pragma once

#include <string_view>

// True when the Accept-Encoding value admits gzip: "gzip" or "x-gzip" with a q-value above 0,
// or "*" above 0 when gzip is not named. An element with a malformed q-value counts as absent.
bool AcceptsGzip(std::string_view acceptEncoding);
