// Media types by file-name extension, read from a mime.types table (Debian's media-types
// package installs /etc/mime.types). Loaded once at start-up, read-only afterwards, so any
// thread may look types up without a lock.
#pragma once

#include <string>
#include <string_view>
#include <unordered_map>

class MimeTypes {
  public:
    // Reads a table of lines "type ext ext ..." ('#' starts a comment). False when the file
    // cannot be read; a small built-in table is then used.
    bool Load(const char* path);
    // Adds the entries of a table held in memory (same format as the file).
    void AddTable(std::string_view text);
    // The type for the name's extension (case-insensitive), or application/octet-stream.
    const std::string& Lookup(std::string_view fileName) const;
    size_t size() const { return byExtension_.size(); }

  private:
    void AddBuiltins();
    std::unordered_map<std::string, std::string> byExtension_;
};
