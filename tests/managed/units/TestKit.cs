// The managed unit tests' runner: VrnsHttpUnits.exe CLASS runs every [Test] method of the class
// named CLASS (one source file each, one ctest each), prints one line per failed check and per
// test, and exits 1 when anything failed. Checks record and go on, so one run shows every row of
// a table that fails, each named by the text the row passes in.
using System;
using System.Collections.Generic;
using System.Linq;
using System.Reflection;

namespace Vrns.Http.Units
{
    [AttributeUsage(AttributeTargets.Method)]
    sealed class TestAttribute : Attribute
    {
    }

    static class Check
    {
        static int failures;

        public static int Failures
        {
            get { return failures; }
        }

        public static void Fail(string what)
        {
            failures++;
            Console.WriteLine("  FAILED: " + what);
        }

        public static void True(bool condition, string what)
        {
            if (!condition) Fail(what);
        }

        public static void Equal<T>(T expected, T actual, string what)
        {
            if (!EqualityComparer<T>.Default.Equals(expected, actual))
                Fail(what + ": expected <" + Show(expected) + ">, got <" + Show(actual) + ">");
        }

        public static void Bytes(byte[] expected, byte[] actual, string what)
        {
            if (expected == null || actual == null ? expected != actual : !expected.SequenceEqual(actual))
                Fail(what + ": expected <" + Show(expected) + ">, got <" + Show(actual) + ">");
        }

        // The exception of type E that action throws; a failure (and null) when it throws none or
        // another.
        public static E Throws<E>(Action action, string what) where E : Exception
        {
            try {
                action();
            } catch (E e) {
                return e;
            } catch (Exception e) {
                Fail(what + ": expected " + typeof(E).Name + ", got " + e.GetType().Name + ": " + e.Message);
                return null;
            }
            Fail(what + ": expected " + typeof(E).Name + ", nothing thrown");
            return null;
        }

        static string Show(object value)
        {
            if (value == null) return "null";
            var bytes = value as byte[];
            if (bytes != null) return Escape(System.Text.Encoding.GetEncoding(28591).GetString(bytes));
            var text = value as string;
            return text != null ? Escape(text) : value.ToString();
        }

        // Control characters shown as \r, \n, \xNN, so a framing difference is visible.
        public static string Escape(string s)
        {
            var b = new System.Text.StringBuilder();
            foreach (char c in s) {
                if (c == '\r') b.Append("\\r");
                else if (c == '\n') b.Append("\\n");
                else if (c < ' ' || c == 0x7f) b.Append("\\x").Append(((int)c).ToString("x2"));
                else b.Append(c);
            }
            return b.ToString();
        }
    }

    static class Runner
    {
        static int Main(string[] args)
        {
            if (args.Length != 1) {
                Console.Error.WriteLine("usage: vrns VrnsHttpUnits.exe CLASS");
                return 2;
            }
            Type type = typeof(Runner).Assembly.GetTypes().FirstOrDefault(t => t.Name == args[0]);
            if (type == null) {
                Console.Error.WriteLine("no test class " + args[0]);
                return 2;
            }
            int tests = 0, failed = 0;
            foreach (MethodInfo m in type.GetMethods(BindingFlags.Static | BindingFlags.Public | BindingFlags.NonPublic)) {
                if (m.GetCustomAttributes(typeof(TestAttribute), false).Length == 0) continue;
                tests++;
                int before = Check.Failures;
                try {
                    m.Invoke(null, null);
                } catch (TargetInvocationException e) {
                    Check.Fail("threw " + e.InnerException);
                }
                bool ok = Check.Failures == before;
                if (!ok) failed++;
                Console.WriteLine((ok ? "ok     " : "FAILED ") + type.Name + "." + m.Name);
            }
            Console.WriteLine(tests + " tests, " + failed + " failed");
            return tests > 0 && failed == 0 ? 0 : 1;
        }
    }
}
