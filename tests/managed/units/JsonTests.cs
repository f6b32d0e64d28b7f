// JSON in and out: the web's defaults (camelCase out, names without case in), the grammar held
// strictly, each value fitting its type, and nesting bounded both ways.
using System;
using System.Collections.Generic;
using System.Linq;
using System.Text;

namespace Vrns.Http.Units
{
    public enum Color { Red, Green = 5 }

    public class Todo
    {
        public int Id { get; set; }
        public string Name { get; set; }
        public bool IsComplete { get; set; }
        public Todo Next { get; set; }
        public List<string> Tags { get; set; }
        public double? Score { get; set; }
        public string ReadOnly { get { return "r"; } }
    }

    public struct Point
    {
        public int X { get; set; }
        public int Y { get; set; }
    }

    public class Shapes
    {
        public long Big { get; set; }
        public ulong Huge { get; set; }
        public byte Small { get; set; }
        public decimal Price { get; set; }
        public float Ratio { get; set; }
        public Guid Key { get; set; }
        public DateTime At { get; set; }
        public DateTimeOffset Offset { get; set; }
        public TimeSpan Span { get; set; }
        public Color Color { get; set; }
        public Point Where { get; set; }
        public int[] Numbers { get; set; }
        public Dictionary<string, int> Counts { get; set; }
        public IList<Point> Path { get; set; }
        public object Anything { get; set; }
        public string URLValue { get; set; }
    }

    // Serialises itself from a getter: a write within a write.
    public class Nested
    {
        public string Inner { get { return Json.SerializeToString(new[] { 1 }); } }
    }

    public class Cased
    {
        public string Name { get; set; }
        public string NAME { get; set; }
    }

    static class JsonTests
    {
        // Read as a Todo, then written: what comes out, or "!" for a refusal.
        static readonly string[][] TodoRows = {
            new[] { "{\"id\":1,\"name\":\"a\",\"isComplete\":true}", "{\"id\":1,\"name\":\"a\",\"isComplete\":true,\"next\":null,\"tags\":null,\"score\":null,\"readOnly\":\"r\"}" },
            // names without case, unknown names skipped whatever they hold, a read-only one ignored
            new[] { "{\"NAME\":\"x\",\"iScOmPlEtE\":true,\"readonly\":\"w\",\"extra\":{\"a\":[1,{\"b\":null}],\"c\":\"}\"}}",
                    "{\"id\":0,\"name\":\"x\",\"isComplete\":true,\"next\":null,\"tags\":null,\"score\":null,\"readOnly\":\"r\"}" },
            new[] { " \t\r\n{ \"next\" : { \"id\" : -2147483648 , \"tags\" : [ \"t\" , \"\" ] } , \"score\" : 1.5e2 } \n",
                    "{\"id\":0,\"name\":null,\"isComplete\":false,\"next\":{\"id\":-2147483648,\"name\":null,\"isComplete\":false,\"next\":null," +
                    "\"tags\":[\"t\",\"\"],\"score\":null,\"readOnly\":\"r\"},\"tags\":null,\"score\":150,\"readOnly\":\"r\"}" },
            // escapes, in a name too, and a pair of surrogates
            new[] { "{\"n\\u0061me\":\"\\\"\\\\\\/\\b\\f\\n\\r\\t\\u00e9\\ud83d\\ude00\"}",
                    "{\"id\":0,\"name\":\"\\\"\\\\/\\b\\f\\n\\r\\t\u00e9\U0001F600\",\"isComplete\":false,\"next\":null,\"tags\":null,\"score\":null,\"readOnly\":\"r\"}" },
            new[] { "{\"id\":1,\"id\":2}", "{\"id\":2,\"name\":null,\"isComplete\":false,\"next\":null,\"tags\":null,\"score\":null,\"readOnly\":\"r\"}" },
            new[] { "null", "null" },
            // the wrong shape or type for a member
            new[] { "[1,2]", "!" },
            new[] { "{\"next\":[]}", "!" },
            new[] { "{\"tags\":{}}", "!" },
            new[] { "{\"isComplete\":\"yes\"}", "!" },
            new[] { "{\"isComplete\":1}", "!" },
            new[] { "{\"id\":\"1\"}", "!" },
            new[] { "{\"id\":1.5}", "!" },
            new[] { "{\"id\":1e2}", "!" },
            new[] { "{\"id\":2147483648}", "!" },
            new[] { "{\"id\":-2147483649}", "!" },
            new[] { "{\"id\":null}", "!" },
            new[] { "{\"name\":1}", "!" },
            new[] { "{\"score\":\"1\"}", "!" },
            // the grammar
            new[] { "", "!" },
            new[] { "{", "!" },
            new[] { "{\"id\":1,}", "!" },
            new[] { "{,}", "!" },
            new[] { "{\"id\" 1}", "!" },
            new[] { "{\"id\":01}", "!" },
            new[] { "{\"id\":-}", "!" },
            new[] { "{\"id\":+1}", "!" },
            new[] { "{\"score\":1.}", "!" },
            new[] { "{\"score\":.5}", "!" },
            new[] { "{\"score\":NaN}", "!" },
            new[] { "{'id':1}", "!" },
            new[] { "{id:1}", "!" },
            new[] { "{\"id\":1} x", "!" },
            new[] { "{\"id\":1}{}", "!" },
            new[] { "{\"id\":1 /* c */}", "!" },
            new[] { "{\"name\":\"a\nb\"}", "!" },
            new[] { "{\"name\":\"\\x\"}", "!" },
            new[] { "{\"name\":\"\\u12\"}", "!" },
            new[] { "{\"name\":\"open}", "!" },
            new[] { "{\"isComplete\":tru}", "!" },
            new[] { "{\"next\":nul}", "!" },
        };

        [Test]
        static void ReadsTodosStrictly()
        {
            foreach (string[] row in TodoRows) {
                string what = Check.Escape(row[0]);
                if (row[1] == "!") {
                    Check.Throws<JsonException>(() => Json.Deserialize<Todo>(row[0]), what);
                } else {
                    Check.Equal(row[1], Json.SerializeToString(Json.Deserialize<Todo>(row[0])), what);
                }
            }
        }

        [Test]
        static void ReadsOnlyUtf8()
        {
            var rows = new[] {
                new byte[] { (byte)'"', 0xE9, (byte)'"' },                  // Latin-1
                new byte[] { (byte)'"', 0xC0, 0xAF, (byte)'"' },            // overlong
                new byte[] { (byte)'"', 0xED, 0xA0, 0x80, (byte)'"' },      // a surrogate
                new byte[] { (byte)'"', 0xE2, 0x82, (byte)'"' },            // cut short
            };
            foreach (byte[] row in rows) Check.Throws<JsonException>(() => Json.Deserialize<string>(row), BitConverter.ToString(row));
            Check.Equal("\u20ac", Json.Deserialize<string>(new byte[] { (byte)'"', 0xE2, 0x82, 0xAC, (byte)'"' }), "UTF-8");
            Check.Equal("a", Json.Deserialize<string>(new byte[] { 0xEF, 0xBB, 0xBF, (byte)'"', (byte)'a', (byte)'"' }), "a byte order mark ignored");
        }

        // Every kind of value there and back: what is written, and the same read back.
        [Test]
        static void WritesEveryKindAndReadsItBack()
        {
            var value = new Shapes {
                Big = long.MinValue, Huge = ulong.MaxValue, Small = 255, Price = 12.50m, Ratio = 0.25f,
                Key = new Guid("0f8fad5b-d9cb-469f-a165-70867728950e"), At = new DateTime(2024, 2, 29, 23, 59, 58, DateTimeKind.Utc),
                Offset = new DateTimeOffset(2024, 1, 2, 3, 4, 5, TimeSpan.FromHours(2)), Span = new TimeSpan(1, 2, 3, 4),
                Color = Color.Green, Where = new Point { X = 1, Y = -2 }, Numbers = new[] { 1, 2 },
                Counts = new Dictionary<string, int> { { "a\"", 1 } }, Path = new List<Point> { new Point { X = 3 } },
                Anything = new object[] { 1, "s", null, true, new { inner = 2.5 } }, URLValue = "\u0001\u2028<",
            };
            string written = Json.SerializeToString(value);
            const string expected =
                "{\"big\":-9223372036854775808,\"huge\":18446744073709551615,\"small\":255,\"price\":12.50,\"ratio\":0.25," +
                "\"key\":\"0f8fad5b-d9cb-469f-a165-70867728950e\",\"at\":\"2024-02-29T23:59:58.0000000Z\"," +
                "\"offset\":\"2024-01-02T03:04:05.0000000+02:00\",\"span\":\"1.02:03:04\",\"color\":5,\"where\":{\"x\":1,\"y\":-2}," +
                "\"numbers\":[1,2],\"counts\":{\"a\\\"\":1},\"path\":[{\"x\":3,\"y\":0}],\"anything\":[1,\"s\",null,true,{\"inner\":2.5}]," +
                "\"urlValue\":\"\\u0001\u2028<\"}";
            Check.Equal(expected, written, "written");
            Shapes back = Json.Deserialize<Shapes>(written);
            Check.Equal(expected.Replace("\"anything\":[1,\"s\",null,true,{\"inner\":2.5}]", "\"anything\":[1,\"s\",null,true,{\"inner\":2.5}]"),
                        Json.SerializeToString(back), "read back");
            Check.Equal(DateTimeKind.Utc, back.At.Kind, "a UTC time stays UTC");
            var anything = (List<object>)back.Anything;
            Check.Equal(typeof(long), anything[0].GetType(), "an integer in an object is a long");
            Check.Equal(2.5, (double)((Dictionary<string, object>)anything[4])["inner"], "a fraction a double");
            Check.Equal("[\"a\",\"b\"]", Json.SerializeToString(new HashSet<string> { "a", "b" }), "any IEnumerable<T> is written");
            Check.Throws<NotSupportedException>(() => Json.Deserialize<HashSet<string>>("[]"), "but read only as a List<T>");
            Check.Throws<JsonException>(() => Json.Deserialize<byte>("256"), "byte range");
            Check.Throws<JsonException>(() => Json.Deserialize<ulong>("18446744073709551616"), "ulong range");
            Check.Throws<JsonException>(() => Json.Deserialize<uint>("-1"), "unsigned");
            Check.Throws<JsonException>(() => Json.Deserialize<Guid>("\"not a guid\""), "a GUID's form");
            Check.Throws<JsonException>(() => Json.Deserialize<Point>("null"), "null for a struct");
            Check.Throws<JsonException>(() => Json.Serialize(double.NaN), "NaN is not JSON");
            Check.Throws<JsonException>(() => Json.Serialize(float.PositiveInfinity), "nor an infinity");
        }

        [Test]
        static void NamesAreCamelCase()
        {
            var rows = new[] { "Name=name", "IsComplete=isComplete", "ID=id", "URLValue=urlValue", "X=x", "name=name", "A1=a1", "ABc=aBc", "=" };
            foreach (string row in rows) {
                string[] p = row.Split('=');
                Check.Equal(p[1], Json.CamelCase(p[0]), p[0]);
            }
            Check.Throws<InvalidOperationException>(() => Json.Serialize(new Cased()), "two names alike but for case");
            Check.Equal("{\"inner\":\"[1]\"}", Json.SerializeToString(new Nested()), "a write within a write");
        }

        // Deep input is refused before the stack is; a cycle is refused when written.
        [Test]
        static void NestingIsBounded()
        {
            string within = new string('[', Json.MaxDepth) + new string(']', Json.MaxDepth);
            Check.Equal(within, Json.SerializeToString(Json.Deserialize<object>(within)), "at the bound");
            string beyond = "[" + within + "]";
            Check.Throws<JsonException>(() => Json.Deserialize<object>(beyond), "one past the bound");
            Check.Throws<JsonException>(() => Json.Deserialize<object>(new string('[', 100000)), "far past it");
            Check.Throws<JsonException>(() => Json.Deserialize<Todo>(new string('{', 1) + string.Concat(Enumerable.Repeat("\"next\":{", 100))),
                                        "objects too");
            var loop = new Todo();
            loop.Next = loop;
            Check.Throws<JsonException>(() => Json.Serialize(loop), "a cycle");
            Check.Equal("{\"message\":\"Hello, World!\"}", Json.SerializeToString(new { message = "Hello, World!" }), "the writer is fine afterwards");
        }
    }
}
