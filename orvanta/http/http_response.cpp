#include "orvanta/http/http_response.h"

#include "orvanta/http/http_date.h"

namespace {

constexpr const char* kServerHeader = "Server: vrns\r\n";

std::string StatusLine(int status) {
    return "HTTP/1.1 " + std::to_string(status) + " " + ReasonPhrase(status) + "\r\n";
}

}  // namespace

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

std::string CommonHeaders(int status, time_t now, bool keepAlive) {
    std::string h = StatusLine(status);
    h += kServerHeader;
    h += "Date: " + FormatHttpDate(now) + "\r\n";
    h += keepAlive ? "Connection: keep-alive\r\n" : "Connection: close\r\n";
    return h;
}

ResponsePlan GeneratedResponse(int status, bool keepAlive, bool head, time_t now,
                               std::string_view extraHeader) {
    std::string title = std::to_string(status) + " " + ReasonPhrase(status);
    std::string body =
        "<html><head><title>" + title + "</title></head><body><h1>" + title + "</h1></body></html>\n";
    return BodyResponse(status, keepAlive, head, now, "text/html", std::move(body), extraHeader);
}

ResponsePlan BodyResponse(int status, bool keepAlive, bool head, time_t now, std::string_view contentType,
                          std::string body, std::string_view extraHeader) {
    ResponsePlan plan;
    plan.status = status;
    plan.keepAlive = keepAlive;
    plan.header = CommonHeaders(status, now, keepAlive);
    plan.header += "Content-Type: ";
    plan.header.append(contentType);
    plan.header += "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n";
    plan.header.append(extraHeader);
    plan.header += "\r\n";
    if (!head) {
        plan.contentBytes = body.size();
        plan.body = std::move(body);
    }
    return plan;
}
