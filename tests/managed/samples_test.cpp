// The two samples end to end, as a developer runs them: VrnsTechEmpower.exe checked against every
// rule of the TechEmpower test types' verification (headers, bodies, JSON shapes, the bounds of
// the count parameter, updates that really update, fortunes' added row, order and escaping, and,
// on PostgreSQL, the number of queries each type runs, from pg_stat_statements), on SQLite and on
// a PostgreSQL server of the test's own through ODBC; VrnsTodoApi.exe's REST API on its in-memory
// and its SQLite store. Every read has a deadline (the client's receive time-out).
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>

#include <map>
#include <memory>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/emulator.h"
#include "tests/support/http_client.h"
#include "tests/support/json_value.h"
#include "tests/support/postgres_server.h"
#include "tests/support/server_process.h"
#include "tests/support/test_files.h"

namespace {

using vrns_test::Client;
using vrns_test::JsonParser;
using vrns_test::JsonValue;
using vrns_test::Response;

const std::string kManaged = VRNS_MANAGED_DIR;
constexpr int kWorldRows = 10000, kMostQueries = 500;

std::string TempDir() {
    char tmpl[] = "/tmp/vrns-samples-XXXXXX";
    return mkdtemp(tmpl) ? tmpl : "";
}

Response Get(int port, const std::string& target, const std::string& method = "GET",
             const std::string& body = "", const std::string& type = "application/json") {
    Client c(port);
    std::string request = method + " " + target + " HTTP/1.1\r\nHost: localhost\r\n";
    if (!body.empty() || method == "POST" || method == "PUT")
        request += "Content-Type: " + type + "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n";
    c.Send(request + "\r\n" + body);
    return c.Read(method == "HEAD");
}

// ---- The rules of the TechEmpower test types ----

// Server, Date (an IMF-fixdate), Content-Type of the type's form, and a length or chunks.
void ExpectHeaders(const Response& r, const std::string& typePattern, const std::string& what) {
    SCOPED_TRACE(what);
    EXPECT_FALSE(r.Header("server").empty());
    tm parsed{};
    std::string date = r.Header("date");
    const char* end = strptime(date.c_str(), "%a, %d %b %Y %H:%M:%S GMT", &parsed);
    EXPECT_TRUE(end && *end == '\0') << "Date: " << date;
    EXPECT_TRUE(std::regex_match(r.Header("content-type"), std::regex(typePattern)))
        << r.Header("content-type");
    EXPECT_TRUE(r.headers.count("content-length") || r.Header("transfer-encoding") == "chunked");
}

const char* const kJsonType = "application/json(; ?charset=(UTF|utf)-8)?";
const char* const kHtmlType = "text/html; ?charset=(UTF|utf)-8";
const char* const kTextType = "text/plain(; ?charset=(UTF|utf)-8)?";

// {"id": 1..10000, "randomNumber": 1..10000} and nothing else (names without case).
void ExpectWorld(const JsonValue& w, const std::string& what) {
    SCOPED_TRACE(what);
    ASSERT_EQ(w.type, JsonValue::Object);
    EXPECT_EQ(w.members.size(), 2u);
    const JsonValue* id = w.Find("id");
    const JsonValue* number = w.Find("randomNumber");
    ASSERT_TRUE(id && number);
    ASSERT_TRUE(id->IsInteger() && number->IsInteger());
    EXPECT_GE(id->number, 1);
    EXPECT_LE(id->number, kWorldRows);
    EXPECT_GE(number->number, 1);
    EXPECT_LE(number->number, kWorldRows);
}

JsonValue ExpectWorldList(const Response& r, size_t count, const std::string& what) {
    SCOPED_TRACE(what);
    EXPECT_EQ(r.status, 200);
    ExpectHeaders(r, kJsonType, what);
    JsonValue list = JsonParser::Parse(r.body);
    EXPECT_EQ(list.type, JsonValue::Array) << r.body.substr(0, 200);
    EXPECT_EQ(list.items.size(), count);
    for (auto& w : list.items) ExpectWorld(w, what);
    return list;
}

// The count parameter: 1..500; 0 and below 1, above 500 500, not a number or missing 1.
const std::vector<std::pair<std::string, size_t>> kCountCases = {
    {"2", 2}, {"0", 1}, {"-3", 1}, {"foo", 1}, {"501", 500}, {"500", 500}, {"", 1}};

void ExpectCountCases(int port, const std::string& path, const std::string& name) {
    for (auto& [value, count] : kCountCases)
        ExpectWorldList(Get(port, path + "?" + name + "=" + value), count, path + " " + name + "=" + value);
    ExpectWorldList(Get(port, path), 1, path + " without " + name);
}

// The fortunes page after TechEmpower's normalisation: the rows as (id, message) with the
// characters that need no escaping in text (' " >) in their escaped form, and numeric references
// of them in their named one, so that any correct escaping compares equal.
std::string NormaliseText(std::string s) {
    static const std::vector<std::pair<std::string, std::string>> same = {
        {"&#39;", "'"},   {"&#x27;", "'"}, {"&apos;", "'"}, {"&#34;", "\""}, {"&#x22;", "\""},
        {"&quot;", "\""}, {"&#62;", ">"},  {"&#x3e;", ">"}, {"&gt;", ">"},   {"&#43;", "+"},
        {"&#47;", "/"},   {"&#40;", "("},  {"&#41;", ")"}};
    for (auto& [from, to] : same)
        for (size_t at; (at = s.find(from)) != std::string::npos;) s.replace(at, from.size(), to);
    return s;
}

const std::vector<std::pair<int, std::string>> kFortunes = {
    {11, "&lt;script>alert(\"This should not be displayed in a browser alert box.\");&lt;/script>"},
    {4, "A bad random number generator: 1, 1, 1, 1, 1, 4.33e+67, 1, 1, 1"},
    {5, "A computer program does what you tell it to do, not what you want it to do."},
    {2, "A computer scientist is someone who fixes things that aren't broken."},
    {8, "A list is only as strong as its weakest link. \u2014 Donald Knuth"},
    {0, "Additional fortune added at request time."},
    {3, "After enough decimal places, nobody gives a damn."},
    {7, "Any program that runs right is obsolete."},
    {10, "Computers make very fast, very accurate mistakes."},
    {6, "Emacs is a nice operating system, but I prefer UNIX. \u2014 Tom Christaensen"},
    {9, "Feature: A bug with seniority."},
    {1, "fortune: No such file or directory"},
    {12, "\u30d5\u30ec\u30fc\u30e0\u30ef\u30fc\u30af\u306e\u30d9\u30f3\u30c1\u30de\u30fc\u30af"},
};

void ExpectFortunes(const Response& r) {
    ASSERT_EQ(r.status, 200);
    ExpectHeaders(r, kHtmlType, "fortunes");
    std::string body = r.body;
    // Whitespace between tags does not count.
    body = std::regex_replace(body, std::regex(">\\s+<"), "><");
    EXPECT_TRUE(
        std::regex_search(body, std::regex("^<!doctype html><html><head><title>Fortunes</title></head><body>"
                                           "<table><tr><th>id</th><th>message</th></tr>",
                                           std::regex::icase)))
        << body.substr(0, 200);
    EXPECT_NE(body.find("</table></body></html>"), std::string::npos);
    std::vector<std::pair<int, std::string>> rows;
    std::regex row("<tr><td>(\\d+)</td><td>([^<]*)</td></tr>");
    for (auto it = std::sregex_iterator(body.begin(), body.end(), row); it != std::sregex_iterator(); ++it)
        rows.emplace_back(std::stoi((*it)[1]), NormaliseText((*it)[2]));
    std::vector<std::pair<int, std::string>> expected;
    for (auto& [id, text] : kFortunes) expected.emplace_back(id, NormaliseText(text));
    EXPECT_EQ(rows, expected) << body;
}

// ---- The databases ----

// The ODBC connection string, or empty for SQLite; and the World table as it is now.
struct Store {
    virtual ~Store() = default;
    virtual std::vector<std::string> ServerArgs() = 0;
    virtual std::map<int, int> Worlds() = 0;
};

std::map<int, int> ParseRows(const std::string& out) {
    std::map<int, int> rows;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);) {
        size_t bar = line.find('|');
        if (bar != std::string::npos) rows[atoi(line.c_str())] = atoi(line.c_str() + bar + 1);
    }
    return rows;
}

struct SqliteStore : Store {
    std::string dir = TempDir(), file = dir + "/techempower.sqlite";
    ~SqliteStore() override {
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
    }
    std::vector<std::string> ServerArgs() override { return {"--sqlite", file}; }
    std::map<int, int> Worlds() override {
        std::string out;
        if (FILE* p = popen(("timeout -s KILL 60 sqlite3 -cmd '.timeout 10000' " + file +
                             " 'SELECT id, randomNumber FROM World' 2>&1")
                                .c_str(),
                            "r")) {
            char buffer[4096];
            size_t n;
            while ((n = fread(buffer, 1, sizeof buffer, p)) > 0) out.append(buffer, n);
            pclose(p);
        }
        return ParseRows(out);
    }
};

// The sample's own schema, in a database with pg_stat_statements.
std::string PostgresSchema() {
    return "CREATE DATABASE hello_world;\n\\c hello_world\nCREATE EXTENSION pg_stat_statements;\n" +
           vrns_test::ReadFile(VRNS_TECHEMPOWER_SQL);
}

// One PostgreSQL server for the whole run, made on first use and stopped at the end.
class PostgresEnvironment : public ::testing::Environment {
  public:
    static vrns_test::PostgresServer* Server(std::string* whyNot) {
        static std::string failed;
        if (!server_ && failed.empty()) {
            auto s = std::make_unique<vrns_test::PostgresServer>();
            failed = s->Start();
            if (failed.empty()) {
                std::string out = s->Psql("postgres", PostgresSchema());
                if (!out.empty()) failed = "schema: " + out;
            }
            if (failed.empty()) server_ = std::move(s);
        }
        *whyNot = failed;
        return server_.get();
    }
    void TearDown() override { server_.reset(); }

  private:
    static inline std::unique_ptr<vrns_test::PostgresServer> server_;
};

struct PostgresStore : Store {
    vrns_test::PostgresServer* pg;
    explicit PostgresStore(vrns_test::PostgresServer* server) : pg(server) {}
    std::vector<std::string> ServerArgs() override {
        return {"--odbc", "Driver={PostgreSQL Unicode};Server=127.0.0.1;Port=" + std::to_string(pg->port()) +
                              ";Database=hello_world;Uid=postgres;Pwd=unused"};
    }
    std::map<int, int> Worlds() override {
        return ParseRows(pg->Psql("hello_world", "SELECT id, randomnumber FROM world"));
    }
    void ResetCounts() { pg->Psql("hello_world", "SELECT pg_stat_statements_reset();"); }
    // Calls and rows of the statements that begin with verb and name table.
    std::pair<long, long> Counted(const std::string& verb, const std::string& table) {
        std::string out = pg->Psql(
            "hello_world",
            "SELECT coalesce(sum(calls), 0) || '|' || coalesce(sum(rows), 0) FROM pg_stat_statements "
            "WHERE dbid = (SELECT oid FROM pg_database WHERE datname = 'hello_world') AND query ~* '^" +
                verb + "\\s.*\\m" + table + "\\M'");
        return {atol(out.c_str()), atol(out.c_str() + out.find('|') + 1)};
    }
};

// ---- The TechEmpower sample ----

class TechEmpowerTest : public ::testing::TestWithParam<std::string> {
  protected:
    void SetUp() override {
        if (GetParam() == "postgres") {
            SKIP_UNDER_QEMU("the arm64 sysroot has no unixODBC or psqlodbc");
            std::string whyNot;
            auto* server = PostgresEnvironment::Server(&whyNot);
            if (!server) GTEST_SKIP() << "no PostgreSQL server here: " << whyNot;
            pg_ = new PostgresStore(server);
            store_.reset(pg_);
        } else {
            SKIP_UNDER_QEMU("the arm64 sysroot has no libsqlite3");
            store_ = std::make_unique<SqliteStore>();
        }
        dir_ = TempDir();
        std::vector<std::string> args = {kManaged + "/VrnsTechEmpower.exe", "--listen", "127.0.0.1:0"};
        for (auto& a : store_->ServerArgs()) args.push_back(a);
        ASSERT_TRUE(server_.Start(dir_, args)) << server_.Err();
        port_ = server_.port();
    }
    void TearDown() override {
        if (server_.pid() > 0) {
            EXPECT_EQ(server_.Stop(), 0) << server_.Err();
        }
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }

    // requests GETs of target from connections threads at once, each answered 200.
    void Load(const std::string& target, int threads, int perThread) {
        std::vector<std::thread> all;
        std::atomic<int> ok{0};
        for (int t = 0; t < threads; ++t)
            all.emplace_back([&] {
                Client c(port_);
                for (int i = 0; i < perThread; ++i) {
                    c.Send("GET " + target + " HTTP/1.1\r\nHost: localhost\r\n\r\n");
                    if (c.Read().status == 200) ++ok;
                }
            });
        for (auto& t : all) t.join();
        ASSERT_EQ(ok.load(), threads * perThread) << target;
    }

    std::unique_ptr<Store> store_;
    PostgresStore* pg_ = nullptr;
    vrns_test::ServerFixture server_;
    std::string dir_;
    int port_ = 0;
};

TEST_P(TechEmpowerTest, PlaintextIsHelloWorldAndNothingMore) {
    Response r = Get(port_, "/plaintext");
    ASSERT_EQ(r.status, 200);
    ExpectHeaders(r, kTextType, "plaintext");
    EXPECT_EQ(r.body, "Hello, World!");
}

TEST_P(TechEmpowerTest, JsonIsOneMessageMember) {
    Response r = Get(port_, "/json");
    ASSERT_EQ(r.status, 200);
    ExpectHeaders(r, kJsonType, "json");
    JsonValue v = JsonParser::Parse(r.body);
    ASSERT_EQ(v.type, JsonValue::Object) << r.body;
    ASSERT_EQ(v.members.size(), 1u) << r.body;
    ASSERT_TRUE(v.Find("message"));
    EXPECT_EQ(v.Find("message")->text, "Hello, World!");
    EXPECT_EQ(r.body.size(), 27u) << "no whitespace beyond the object";
}

// The Date field is the time of the answer, not one cached for good.
TEST_P(TechEmpowerTest, DateIsNotCached) {
    std::string first = Get(port_, "/json").Header("date");
    time_t start = time(nullptr);
    ASSERT_TRUE(WaitUntil([&] { return time(nullptr) >= start + 2; }, std::chrono::seconds(10)));
    std::string second = Get(port_, "/json").Header("date");
    EXPECT_NE(first, second);
}

TEST_P(TechEmpowerTest, DbIsOneWorldObject) {
    Response r = Get(port_, "/db");
    ASSERT_EQ(r.status, 200);
    ExpectHeaders(r, kJsonType, "db");
    JsonValue v = JsonParser::Parse(r.body);
    EXPECT_EQ(v.type, JsonValue::Object) << "an object, not an array: " << r.body;
    ExpectWorld(v, "db");
}

TEST_P(TechEmpowerTest, QueriesCountIsBounded) {
    ExpectCountCases(port_, "/queries", "queries");
}

TEST_P(TechEmpowerTest, CachedQueriesCountIsBounded) {
    ExpectCountCases(port_, "/cached-queries", "count");
}

TEST_P(TechEmpowerTest, UpdatesCountIsBounded) {
    ExpectCountCases(port_, "/updates", "queries");
}

// 500 updates change (nearly) 500 rows of the table, each to the number the answer shows.
TEST_P(TechEmpowerTest, UpdatesReallyUpdate) {
    std::map<int, int> before = store_->Worlds();
    ASSERT_EQ(before.size(), size_t(kWorldRows));
    JsonValue list = ExpectWorldList(Get(port_, "/updates?queries=500"), kMostQueries, "updates 500");
    std::map<int, int> after = store_->Worlds();
    int changed = 0;
    for (auto& [id, number] : after) changed += before[id] != number;
    // A row drawn twice, or given its old number, changes once or not at all: TechEmpower
    // fails below 90% of the rows asked for.
    EXPECT_GT(changed, kMostQueries * 9 / 10);
    for (auto& w : list.items)
        EXPECT_EQ(after[int(w.Find("id")->number)], int(w.Find("randomNumber")->number));
}

TEST_P(TechEmpowerTest, FortunesAddOneSortAndEscape) {
    ExpectFortunes(Get(port_, "/fortunes"));
    // The added row is the request's own: a second request shows it once, not twice.
    ExpectFortunes(Get(port_, "/fortunes"));
}

// Query counts under concurrency, as TechEmpower counts them: exactly one query per row read
// (no margin), the rows each returned or updated, and none for the cache.
TEST_P(TechEmpowerTest, QueryCountsPerType) {
    if (!pg_) GTEST_SKIP() << "counted from pg_stat_statements: PostgreSQL only";
    constexpr int kThreads = 8, kEach = 4, kRequests = kThreads * kEach, kPerRequest = 20;
    struct Case {
        std::string target, verb, table;
        long calls, rows;
    };
    const std::vector<Case> cases = {
        {"/db", "select", "world", kRequests, kRequests},
        {"/queries?queries=20", "select", "world", kRequests * kPerRequest, kRequests * kPerRequest},
        {"/updates?queries=20", "select", "world", kRequests * kPerRequest, kRequests * kPerRequest},
        {"/updates?queries=20", "update", "world", kRequests * kPerRequest, kRequests * kPerRequest},
        {"/fortunes", "select", "fortune", kRequests, kRequests * 12},
        {"/cached-queries?count=20", "select", "world", 0, 0},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.target + " " + c.verb + " " + c.table);
        pg_->ResetCounts();
        Load(c.target, kThreads, kEach);
        auto [calls, rows] = pg_->Counted(c.verb, c.table);
        EXPECT_EQ(calls, c.calls);
        EXPECT_EQ(rows, c.rows);
    }
}

// --db-connections bounds the connections open at once: more concurrent requests than that wait
// for one, and all are answered.
TEST_P(TechEmpowerTest, ConnectionsAreBounded) {
    if (!pg_) GTEST_SKIP() << "counted from pg_stat_activity: PostgreSQL only";
    EXPECT_EQ(server_.Stop(), 0);
    std::vector<std::string> args = {kManaged + "/VrnsTechEmpower.exe", "--listen", "127.0.0.1:0",
                                     "--db-connections", "2"};
    for (auto& a : store_->ServerArgs()) args.push_back(a);
    std::string base = dir_ + "/bounded";
    mkdir(base.c_str(), 0700);
    ASSERT_TRUE(server_.Start(base, args)) << server_.Err();
    port_ = server_.port();
    Load("/queries?queries=5", 8, 4);
    // The pool keeps its connections open; the first server's leave as their backends notice.
    std::string open;
    EXPECT_TRUE(WaitUntil(
        [&] {
            open = pg_->pg->Psql("postgres",
                                 "SELECT count(*) FROM pg_stat_activity WHERE datname = 'hello_world'");
            return atoi(open.c_str()) <= 2;
        },
        std::chrono::seconds(20)))
        << open;
    EXPECT_GE(atoi(open.c_str()), 1) << open;
}

INSTANTIATE_TEST_SUITE_P(Databases, TechEmpowerTest, ::testing::Values("sqlite", "postgres"),
                         [](const auto& info) { return info.param; });

// ---- The TodoApi sample ----

class TodoApiTest : public ::testing::TestWithParam<std::string> {
  protected:
    void SetUp() override {
        if (GetParam() == "sqlite") {
            SKIP_UNDER_QEMU("the arm64 sysroot has no libsqlite3");
        }
        dir_ = TempDir();
        Start();
    }
    // Each start writes its output to a folder of its own, so the port read is the new one's.
    void Start() {
        std::string base = dir_ + "/run" + std::to_string(++starts_);
        mkdir(base.c_str(), 0700);
        std::vector<std::string> args = {kManaged + "/VrnsTodoApi.exe", "--listen", "127.0.0.1:0", "--store",
                                         GetParam()};
        if (GetParam() == "sqlite") args.insert(args.end(), {"--sqlite", dir_ + "/todo.sqlite"});
        server_ = std::make_unique<vrns_test::ServerFixture>();
        ASSERT_TRUE(server_->Start(base, args)) << server_->Err();
        port_ = server_->port();
    }
    void TearDown() override {
        if (server_) {
            EXPECT_EQ(server_->Stop(), 0) << server_->Err();
        }
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
    std::unique_ptr<vrns_test::ServerFixture> server_;
    std::string dir_;
    int port_ = 0, starts_ = 0;
};

TEST_P(TodoApiTest, CreateReadUpdateDelete) {
    EXPECT_EQ(Get(port_, "/todoitems").body, "[]");
    Response created = Get(port_, "/todoitems", "POST", R"({"name":"walk dog","isComplete":false})");
    ASSERT_EQ(created.status, 201) << created.body;
    EXPECT_EQ(created.Header("location"), "/todoitems/1");
    EXPECT_TRUE(std::regex_match(created.Header("content-type"), std::regex(kJsonType)));
    EXPECT_EQ(created.body, R"({"id":1,"name":"walk dog","isComplete":false})");
    ASSERT_EQ(Get(port_, "/todoitems", "POST", R"({"name":"feed cat","isComplete":true})").status, 201);

    EXPECT_EQ(Get(port_, "/todoitems/1").body, R"({"id":1,"name":"walk dog","isComplete":false})");
    // The group's own path answers with a trailing slash too.
    EXPECT_EQ(
        Get(port_, "/todoitems/").body,
        R"([{"id":1,"name":"walk dog","isComplete":false},{"id":2,"name":"feed cat","isComplete":true}])");
    EXPECT_EQ(Get(port_, "/todoitems/complete").body, R"([{"id":2,"name":"feed cat","isComplete":true}])");
    EXPECT_EQ(Get(port_, "/todoitems/1", "PUT", R"({"id":1,"name":"walk dog","isComplete":true})").status,
              204);
    EXPECT_EQ(
        Get(port_, "/todoitems/complete").body,
        R"([{"id":1,"name":"walk dog","isComplete":true},{"id":2,"name":"feed cat","isComplete":true}])");
    EXPECT_EQ(Get(port_, "/todoitems/9", "PUT", R"({"name":"x"})").status, 404);

    EXPECT_EQ(Get(port_, "/todoitems/1", "DELETE").status, 204);
    EXPECT_EQ(Get(port_, "/todoitems/1").status, 404);
    EXPECT_EQ(Get(port_, "/todoitems/1", "DELETE").status, 404);
    EXPECT_EQ(Get(port_, "/todoitems/one").status, 404);
    EXPECT_EQ(Get(port_, "/todoitems").body, R"([{"id":2,"name":"feed cat","isComplete":true}])");
}

// What a client sends wrong is refused with its reason and stores nothing.
TEST_P(TodoApiTest, BadBodiesAreRefused) {
    struct Row {
        std::string body, type;
        int status;
    };
    const std::vector<Row> rows = {
        {R"({"name":"x"})", "text/plain", 415},
        {R"({"name":"x"})", "application/x-www-form-urlencoded", 415},
        {R"({"name":"x")", "application/json", 400},
        {R"([{"name":"x"}])", "application/json", 400},
        {R"({"name":"x","isComplete":"yes"})", "application/json", 400},
        {R"({"name":7})", "application/json", 400},
        {R"({"name":"x"} trailing)", "application/json", 400},
        {std::string(100, '[') + std::string(100, ']'), "application/json", 400},
    };
    for (auto& row : rows) {
        Response r = Get(port_, "/todoitems", "POST", row.body, row.type);
        EXPECT_EQ(r.status, row.status) << row.type << " " << row.body << " -> " << r.body;
        EXPECT_EQ(r.Header("content-type"), "application/problem+json") << row.body;
    }
    EXPECT_EQ(Get(port_, "/todoitems").body, "[]");
    // Names bind without case, as the web defaults do; unknown ones are ignored.
    Response r = Get(port_, "/todoitems", "POST", R"({"Name":"x","ISCOMPLETE":true,"extra":[1,{"a":null}]})",
                     "application/json; charset=utf-8");
    EXPECT_EQ(r.body, R"({"id":1,"name":"x","isComplete":true})");
}

// The SQLite store keeps its items across a restart; the in-memory one starts empty.
TEST_P(TodoApiTest, StoreOutlivesTheProcessOnlyOnSqlite) {
    ASSERT_EQ(Get(port_, "/todoitems", "POST", R"({"name":"kept"})").status, 201);
    ASSERT_EQ(server_->Stop(), 0);
    Start();
    EXPECT_EQ(Get(port_, "/todoitems").body,
              GetParam() == "sqlite" ? R"([{"id":1,"name":"kept","isComplete":false}])" : "[]");
}

INSTANTIATE_TEST_SUITE_P(Stores, TodoApiTest, ::testing::Values("memory", "sqlite"),
                         [](const auto& info) { return info.param; });

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new PostgresEnvironment);
    return RUN_ALL_TESTS();
}
