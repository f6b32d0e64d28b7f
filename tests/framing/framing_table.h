// The framing table (framing.table, its format described at its top) as the C++ runners read
// it: each row's request stream, the parse drivers' expected outcomes in their canonical text,
// and the servers' expected answers. FramingTable.cs reads the same file for the managed side.
#pragma once

#include <stdint.h>

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace framing {

enum Servers { kNative = 1, kManaged = 2, kBoth = 3 };

// What the connection does after an answer.
enum class Then {
    kUnchecked,  // an answer amid a pipeline
    kKeep,       // it carries the next request (GET /hello.txt is answered)
    kClose,      // the answer says Connection: close, then the connection closes
    kEnd,        // the connection closes after the answer, whatever it said
};

struct Answer {
    int status = 0;
    Then then = Then::kUnchecked;
    bool head = false;                                         // an answer to HEAD: no body follows
    std::vector<std::pair<std::string, std::string>> headers;  // lower-case name, value ("?": present)
    bool hasBody = false;
    std::string body;
};

struct Row {
    std::string name;
    int line = 0;  // of its "==" in the file
    std::string stream;
    uint64_t bodyLimit = 0;  // for the parse drivers; 0: the servers' own
    bool parses = false;     // it has a "parse" line
    std::string parse;       // the expected outcomes, canonical (see Outcomes)
    std::string heads;       // the expected heads, canonical ("\nHEAD" each); empty: not pinned
    std::vector<Answer> serve;
    int servers = kBoth;
};

// The rows of the table at path; false with *error ("framing.table:12: ...") when it is malformed.
bool LoadTable(const std::string& path, std::vector<Row>* rows, std::string* error);

// The text form of bytes in the table and in the outcomes: printable ASCII as it is but '"' and
// '\', which are escaped, as are CR, LF and tab (\r \n \t) and every other byte (\xHH).
std::string Escape(std::string_view bytes);
// The reverse, and \{N*TEXT} for TEXT N times (TEXT may hold escapes; '}' in it is \}). False
// on a malformed escape.
bool Unescape(std::string_view text, std::string* out);

// A parse driver's outcomes in canonical text: one word per request, "ok" or the refusal's
// status, with the body bytes taken as ("...") when there are any; then "close" when an accepted
// request ended the connection, or "more" (with its body so far) when the stream ended inside
// a request. After them, a line per head the parser accepted, with what it read of it:
// "METHOD TARGET HTTP/M.N" (the target escaped), then "chunked" or "length=N" when a body was
// announced, "keep" or "close" for the connection, "continue" when the client waits for 100.
class Outcomes {
  public:
    void Add(std::string_view word, std::string_view body = {});
    void AddHead(std::string_view method, std::string_view target, int major, int minor, bool chunked,
                 uint64_t length, bool keepAlive, bool expectsContinue);
    std::string text() const { return text_ + heads_; }

  private:
    std::string text_;
    std::string heads_;
};

// A driver's text as a row compares it: without its heads when the row pins none.
std::string AsTheRowPins(const Row& row, const std::string& text);

}  // namespace framing
