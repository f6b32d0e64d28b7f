#include "orvanta/server/server_status.h"

#include <inttypes.h>
#include <stdio.h>

#include "orvanta/http/http_request.h"
#include "orvanta/http/http_target.h"
#include "orvanta/server/orvanta_exports.h"

namespace {

constexpr const char* kPrometheusType = "text/plain; version=0.0.4; charset=utf-8";

// One metric family: its help and type lines, then one sample per label set.
class MetricWriter {
  public:
    void Family(const char* name, const char* type, const char* help) {
        Printf("# HELP %s %s\n# TYPE %s %s\n", name, help, name, type);
        name_ = name;
    }
    void Sample(int64_t value, const char* labels = "") {
        Printf("%s%s %" PRId64 "\n", name_, labels, value);
    }
    std::string Take() { return std::move(text_); }

  private:
    template <typename... Args>
    void Printf(const char* format, Args... args) {
        char line[256];
        int n = snprintf(line, sizeof line, format, args...);
        if (n > 0) text_.append(line, size_t(n) < sizeof line ? size_t(n) : sizeof line - 1);
    }
    const char* name_ = "";
    std::string text_;
};

int64_t Load(const std::atomic<uint64_t>& counter) {
    return int64_t(counter.load(std::memory_order_relaxed));
}

void WriteServerCounters(const StatusSources& s, MetricWriter* w) {
    const ServerCounters& c = *s.counters;
    w->Family("vrns_open_connections", "gauge", "Connections now open.");
    w->Sample(s.openConnections->load(std::memory_order_relaxed));
    w->Family("vrns_responses_total", "counter", "Responses sent, by status class.");
    static const char* const kClasses[] = {"{class=\"1xx\"}", "{class=\"2xx\"}", "{class=\"3xx\"}",
                                           "{class=\"4xx\"}", "{class=\"5xx\"}"};
    for (int i = 0; i < 5; ++i) w->Sample(Load(c.responsesByClass[i]), kClasses[i]);
    w->Family("vrns_sent_bytes_total", "counter", "Header and body bytes of completed responses.");
    w->Sample(Load(c.bytesSent));
    w->Family("vrns_read_timeouts_total", "counter", "Connections closed by the read time-out.");
    w->Sample(Load(c.readTimeouts));
    w->Family("vrns_write_timeouts_total", "counter", "Responses ended by the writer's time-out.");
    w->Sample(Load(c.writeTimeouts));
    w->Family("vrns_accept_backoffs_total", "counter", "Pauses of accepting for want of descriptors.");
    w->Sample(Load(c.acceptBackoffs));
}

void WriteExecutableCounters(const VrnsExports& ex, MetricWriter* w) {
    VrnEpollStats engine{};
    VrnPumpStats pump{};
    ex.VrnEpoll_GetStats(&engine);
    ex.VRN_EventPump_GetStats(&pump);
    w->Family("vrns_engine_armed_halves", "gauge", "Socket record halves with a callback registered.");
    w->Sample(engine.armedReadHalves, "{half=\"read\"}");
    w->Sample(engine.armedWriteHalves, "{half=\"write\"}");
    w->Family("vrns_engine_wheel_nodes", "gauge", "Registrations waiting in the time-out wheels.");
    w->Sample(engine.readWheelNodes, "{wheel=\"read\"}");
    w->Sample(engine.writeWheelNodes, "{wheel=\"write\"}");
    w->Family("vrns_pump_queue_length", "gauge", "Tasks waiting in the event pump's queue.");
    w->Sample(pump.queuedTasks);
    w->Family("vrns_pump_workers", "gauge", "Event pump worker threads running.");
    w->Sample(pump.workers);
}

}  // namespace

bool IsStatusRequest(const HttpRequest& request, const std::string& statusPath) {
    if (statusPath.empty()) return false;
    TargetPath path;
    int status;
    return SplitAndDecodeTarget(request.target, &path, &status) && path.decoded == statusPath;
}

ResponsePlan StatusResponse(const HttpRequest& request, const StatusSources& sources, time_t now) {
    bool head = request.IsHead();
    if (!request.IsGet() && !head)
        return GeneratedResponse(405, PersistenceOf(request), false, now, "Allow: GET, HEAD\r\n");
    MetricWriter w;
    WriteServerCounters(sources, &w);
    WriteExecutableCounters(*sources.exports, &w);
    return BodyResponse(200, PersistenceOf(request), head, now, kPrometheusType, w.Take(),
                        "Cache-Control: no-store\r\n");
}
