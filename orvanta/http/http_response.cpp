#include "orvanta/http/http_response.h"

#include <charconv>

#include "orvanta/http/http_date.h"
#include "orvanta/http/http_request.h"

namespace {

constexpr std::string_view kServerHeader = "Server: vrns\r\n";
// Room for a file response's whole header (about 250 bytes with its validators), reserved once.
constexpr size_t kHeaderReserve = 384;

void AppendStatusLine(std::string* h, int status) {
    h->append("HTTP/1.1 ");
    AppendDecimal(h, uint64_t(status));
    h->push_back(' ');
    h->append(ReasonPhrase(status));
    h->append("\r\n");
}

}  // namespace

void AppendDecimal(std::string* out, uint64_t n) {
    char digits[20];  // 2^64 - 1 has 20
    out->append(digits, std::to_chars(digits, digits + sizeof digits, n).ptr);
}

const char* ReasonPhrase(int status) {
    static constexpr struct {
        int status;
        const char* phrase;
    } kPhrases[] = {
        {100, "Continue"},
        {200, "OK"},
        {206, "Partial Content"},
        {301, "Moved Permanently"},
        {304, "Not Modified"},
        {400, "Bad Request"},
        {403, "Forbidden"},
        {404, "Not Found"},
        {405, "Method Not Allowed"},
        {412, "Precondition Failed"},
        {413, "Payload Too Large"},
        {414, "URI Too Long"},
        {416, "Range Not Satisfiable"},
        {417, "Expectation Failed"},
        {431, "Request Header Fields Too Large"},
        {500, "Internal Server Error"},
        {501, "Not Implemented"},
        {503, "Service Unavailable"},
        {505, "HTTP Version Not Supported"},
    };
    for (const auto& p : kPhrases)
        if (p.status == status) return p.phrase;
    return "Unknown";
}

Persistence PersistenceOf(const HttpRequest& request) {
    if (!request.keepAlive) return Persistence::kClose;
    return request.versionMinor == 0 ? Persistence::kKeepAlive : Persistence::kDefault;
}

void AppendCommonHeaders(std::string* header, int status, time_t now, Persistence persistence) {
    // Within a second a thread answers mostly with one status, all kept alive or all not: the
    // last lines made are copied whole while they still fit.
    struct Made {
        int status = 0;
        time_t now = -1;
        Persistence persistence = Persistence::kClose;
        std::string text;
    };
    // Initial-exec: the library is loaded with the executable (static TLS, no call per use).
    [[gnu::tls_model("initial-exec")]] thread_local Made made;
    if (made.status != status || made.now != now || made.persistence != persistence) {
        made.text.clear();
        AppendStatusLine(&made.text, status);
        made.text.append(kServerHeader);
        made.text.append("Date: ");
        AppendHttpDate(&made.text, now);
        made.text.append("\r\n");
        if (persistence == Persistence::kKeepAlive) made.text.append("Connection: keep-alive\r\n");
        if (persistence == Persistence::kClose) made.text.append("Connection: close\r\n");
        made.status = status;
        made.now = now;
        made.persistence = persistence;
    }
    header->reserve(header->size() + kHeaderReserve);
    header->append(made.text);
}

std::string CommonHeaders(int status, time_t now, Persistence persistence) {
    std::string h;
    AppendCommonHeaders(&h, status, now, persistence);
    return h;
}

ResponsePlan GeneratedResponse(int status, Persistence persistence, bool head, time_t now,
                               std::string_view extraHeader) {
    std::string title = std::to_string(status) + " " + ReasonPhrase(status);
    std::string body =
        "<html><head><title>" + title + "</title></head><body><h1>" + title + "</h1></body></html>\n";
    return BodyResponse(status, persistence, head, now, "text/html", std::move(body), extraHeader);
}

ResponsePlan BodyResponse(int status, Persistence persistence, bool head, time_t now,
                          std::string_view contentType, std::string body, std::string_view extraHeader) {
    ResponsePlan plan;
    plan.status = status;
    plan.keepAlive = persistence != Persistence::kClose;
    AppendCommonHeaders(&plan.header, status, now, persistence);
    plan.header += "Content-Type: ";
    plan.header.append(contentType);
    plan.header += "\r\nContent-Length: ";
    AppendDecimal(&plan.header, body.size());
    plan.header += "\r\n";
    plan.header.append(extraHeader);
    plan.header += "\r\n";
    if (!head) {
        plan.contentBytes = body.size();
        plan.body = std::move(body);
    }
    return plan;
}
