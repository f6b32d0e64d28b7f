#include "tests/framing/parse_driver.h"

#include <algorithm>

#include "orvanta/http/http_request.h"
#include "tests/framing/framing_table.h"

namespace framing {

namespace {

// One stream through one parser: fed piece by piece, stopped by a refusal or a request that
// ends the connection.
class NativeDriver {
  public:
    explicit NativeDriver(uint64_t bodyLimit) : parser_(bodyLimit) {}

    // False once the connection would end.
    bool Feed(std::string_view piece) {
        buffer_.append(piece);
        for (;;) {
            size_t used = 0;
            ParseResult r = parser_.Feed(buffer_.data(), buffer_.size(), &used, &body_);
            buffer_.erase(0, used);
            taken_ += used;
            switch (r) {
                case ParseResult::kNeedMore:
                    return true;
                case ParseResult::kHead: {
                    const HttpRequest& h = parser_.request();
                    outcomes_.AddHead(h.method, h.target, h.versionMajor, h.versionMinor, h.chunked,
                                      h.contentLength, h.keepAlive, h.expectsContinue);
                    break;
                }
                case ParseResult::kError:
                    outcomes_.Add(std::to_string(parser_.errorStatus()), body_);
                    return false;
                case ParseResult::kComplete:
                    outcomes_.Add("ok", body_);
                    requestEnd_ = taken_;
                    if (!parser_.request().keepAlive) {
                        outcomes_.Add("close");
                        return false;
                    }
                    parser_.Reset();
                    body_.clear();
                    break;
            }
        }
    }

    // The stream ended: bytes after the last whole request are a request left open.
    std::string Finish(size_t streamBytes) {
        if (requestEnd_ < streamBytes) outcomes_.Add("more", body_);
        return outcomes_.text();
    }
    std::string Stopped() const { return outcomes_.text(); }

  private:
    RequestParser parser_;
    std::string buffer_;  // received, not yet taken by the parser
    std::string body_;    // the current request's body so far
    Outcomes outcomes_;
    size_t taken_ = 0;       // stream bytes the parser took
    size_t requestEnd_ = 0;  // where the last whole request ended
};

}  // namespace

std::string FrameNative(std::string_view stream, const std::vector<size_t>& splits, uint64_t bodyLimit) {
    NativeDriver driver(bodyLimit > 0 ? bodyLimit : kMaxBodyBytes);
    size_t at = 0;
    for (size_t i = 0; i <= splits.size(); ++i) {
        size_t end = i < splits.size() ? std::min(splits[i], stream.size()) : stream.size();
        if (end < at) continue;
        if (!driver.Feed(stream.substr(at, end - at))) return driver.Stopped();
        at = end;
    }
    return driver.Finish(stream.size());
}

}  // namespace framing
