// Validators of a served file and the conditional requests that use them: the entity tag made
// from the file's size and modification time, If-None-Match (a list or "*"), If-Modified-Since
// (consulted only without If-None-Match) and If-Range. Pure functions; any thread.
#pragma once

#include <sys/stat.h>
#include <time.h>

#include <string>
#include <string_view>

struct HttpRequest;

// A strong entity tag, "<mtime seconds>.<nanoseconds>-<size>" in hexadecimal and quoted: a
// file rewritten with the same size within the same second still gets a new tag.
std::string MakeETag(const struct stat& st);

// True when the comma-separated If-None-Match list names etag (weak comparison: a W/ prefix on
// either side is ignored) or is "*".
bool EntityTagListMatches(std::string_view list, std::string_view etag);

// True when a GET or HEAD of the file is answered 304: If-None-Match matches, or, when the
// request has no If-None-Match, If-Modified-Since is a valid past date not before mtime.
bool IsNotModified(const HttpRequest& request, std::string_view etag, time_t mtime, time_t now);

// True when a Range may be honoured under the request's If-Range (or there is none): an entity
// tag must match strongly; a date must equal mtime exactly, and mtime must be at least a second
// older than now, since only then is the date a strong validator.
bool IfRangeHolds(const HttpRequest& request, std::string_view etag, time_t mtime, time_t now);
