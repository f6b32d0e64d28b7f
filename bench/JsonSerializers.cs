// The JSON serializers a C# developer on Debian's Mono can reach, on what a web API needs:
// reading a client's camelCase {"name":"x"} into a plain class's Name, refusing an array where an object
// is expected, a string where a bool is, a trailing comma, each with an error a server can tell
// from its own faults (a 400, not a 500); writing camelCase names without attributes; and the CPU
// per message of writing {"message":"Hello, World!"} and of reading a small object. Run by
// bench/json_serializers.sh, which compiles in the candidates whose assemblies it finds.
using System;
using System.Diagnostics;
using System.IO;
using System.Text;
using Vrns.Http;

public class Todo
{
    public int Id { get; set; }
    public string Name { get; set; }
    public bool IsComplete { get; set; }
}

abstract class Candidate
{
    public abstract string Name { get; }
    public abstract byte[] Write(Todo t);  // camelCase wanted
    public abstract Todo Read(byte[] json);
    // An exception of the reader's own kind for bad input (a server answers it 400), as opposed to
    // one that also stands for its own faults.
    public abstract bool IsInputError(Exception e);
}

sealed class VrnsCandidate : Candidate
{
    public override string Name { get { return "Vrns.Http.Json (the library's own)"; } }
    public override byte[] Write(Todo t) { return Json.Serialize(t); }
    public override Todo Read(byte[] json) { return Json.Deserialize<Todo>(json); }
    public override bool IsInputError(Exception e) { return e is JsonException; }
}

#if NEWTONSOFT
sealed class NewtonsoftCandidate : Candidate
{
    static readonly Newtonsoft.Json.JsonSerializerSettings Settings = new Newtonsoft.Json.JsonSerializerSettings {
        ContractResolver = new Newtonsoft.Json.Serialization.CamelCasePropertyNamesContractResolver() };
    public override string Name { get { return "Newtonsoft.Json 6.0.8 (libnewtonsoft-json5.0-cil)"; } }
    public override byte[] Write(Todo t) { return Encoding.UTF8.GetBytes(Newtonsoft.Json.JsonConvert.SerializeObject(t, Settings)); }
    public override Todo Read(byte[] json) { return Newtonsoft.Json.JsonConvert.DeserializeObject<Todo>(Encoding.UTF8.GetString(json), Settings); }
    public override bool IsInputError(Exception e) { return e is Newtonsoft.Json.JsonException; }
}
#endif

#if DATACONTRACT
sealed class DataContractCandidate : Candidate
{
    static readonly System.Runtime.Serialization.Json.DataContractJsonSerializer Serializer =
        new System.Runtime.Serialization.Json.DataContractJsonSerializer(typeof(Todo));
    public override string Name { get { return "DataContractJsonSerializer (libmono-system-runtime-serialization4.0-cil)"; } }
    public override byte[] Write(Todo t) { var m = new MemoryStream(); Serializer.WriteObject(m, t); return m.ToArray(); }
    public override Todo Read(byte[] json) { return (Todo)Serializer.ReadObject(new MemoryStream(json)); }
    public override bool IsInputError(Exception e) { return e is System.Runtime.Serialization.SerializationException; }
}
#endif

#if WEBEXTENSIONS
sealed class JavaScriptCandidate : Candidate
{
    static readonly System.Web.Script.Serialization.JavaScriptSerializer Serializer = new System.Web.Script.Serialization.JavaScriptSerializer();
    public override string Name { get { return "JavaScriptSerializer (libmono-system-web-extensions4.0-cil)"; } }
    public override byte[] Write(Todo t) { return Encoding.UTF8.GetBytes(Serializer.Serialize(t)); }
    public override Todo Read(byte[] json) { return Serializer.Deserialize<Todo>(Encoding.UTF8.GetString(json)); }
    public override bool IsInputError(Exception e) { return e is ArgumentException; }
}
#endif

static class JsonSerializers
{
    // right: what the value read must satisfy; null: the input must be refused with an input error.
    static string Outcome(Candidate c, string json, Func<Todo, bool> right)
    {
        Todo t;
        try {
            t = c.Read(Encoding.UTF8.GetBytes(json));
        } catch (Exception e) {
            return (right == null && c.IsInputError(e) ? "yes, " : "NO, ") + e.GetType().Name;
        }
        if (right == null) return "NO, accepted";
        return right(t) ? "yes" : "NO, read as " + Encoding.UTF8.GetString(new VrnsCandidate().Write(t ?? new Todo()));
    }

    static double MicrosPer(int n, Action op)
    {
        for (int i = 0; i < n / 10; i++) op();  // compiled and warm
        TimeSpan before = Process.GetCurrentProcess().TotalProcessorTime;
        for (int i = 0; i < n; i++) op();
        return (Process.GetCurrentProcess().TotalProcessorTime - before).TotalMilliseconds * 1000 / n;
    }

    static int Main(string[] args)
    {
        int n = args.Length > 0 ? int.Parse(args[0]) : 200000;
        var all = new System.Collections.Generic.List<Candidate> { new VrnsCandidate() };
#if NEWTONSOFT
        all.Add(new NewtonsoftCandidate());
#endif
#if DATACONTRACT
        all.Add(new DataContractCandidate());
#endif
#if WEBEXTENSIONS
        all.Add(new JavaScriptCandidate());
#endif
        byte[] small = Encoding.UTF8.GetBytes("{\"id\":7,\"name\":\"walk the dog\",\"isComplete\":true}");
        var todo = new Todo { Id = 7, Name = "walk the dog", IsComplete = true };
        Console.WriteLine("| serializer | {\"name\":\"x\"} binds to Name | [1,2] refused | \"yes\" for a bool refused | trailing comma refused | camelCase out | write µs | read µs |");
        Console.WriteLine("| --- | --- | --- | --- | --- | --- | --- | --- |");
        foreach (Candidate c in all) {
            string bind = Outcome(c, "{\"name\":\"x\"}", t => t != null && t.Name == "x");
            string array = Outcome(c, "[1,2]", null);
            string yes = Outcome(c, "{\"isComplete\":\"yes\"}", null);
            string comma = Outcome(c, "{\"id\":1,}", null);
            string written = Encoding.UTF8.GetString(c.Write(todo));
            string camel = written.Contains("\"isComplete\"") ? "yes" : "NO: " + written;
            double write = MicrosPer(n, () => c.Write(todo));
            double read = MicrosPer(n, () => c.Read(small));
            Console.WriteLine("| {0} | {1} | {2} | {3} | {4} | {5} | {6:F2} | {7:F2} |", c.Name, bind, array, yes, comma, camel, write, read);
        }
        return 0;
    }
}
