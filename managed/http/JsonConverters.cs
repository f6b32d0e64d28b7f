// The converters Json uses, one per type, made once when the type is first written or read and
// kept for the life of the process (one per type an application uses: a bounded set). An
// object's converter finds its properties when it is first used, not when it is made, so a type
// that refers to itself (a tree's node) gets its converter without recursion.
using System;
using System.Collections;
using System.Collections.Concurrent;
using System.Collections.Generic;
using System.Globalization;
using System.Linq;
using System.Linq.Expressions;
using System.Reflection;
using System.Text;
using System.Threading;

namespace Vrns.Http
{
    abstract class JsonConverter
    {
        public abstract void WriteBoxed(JsonWriter w, object value);
        public abstract object ReadBoxed(JsonReader r);
    }

    abstract class JsonConverter<T> : JsonConverter
    {
        public abstract void Write(JsonWriter w, T value);
        public abstract T Read(JsonReader r);

        public override void WriteBoxed(JsonWriter w, object value)
        {
            Write(w, (T)value);
        }

        public override object ReadBoxed(JsonReader r)
        {
            return Read(r);
        }
    }

    static class JsonConverters
    {
        static readonly ConcurrentDictionary<Type, JsonConverter> made = new ConcurrentDictionary<Type, JsonConverter>();

        static class Of<T>
        {
            public static readonly JsonConverter<T> Value = (JsonConverter<T>)For(typeof(T));
        }

        public static JsonConverter<T> For<T>()
        {
            return Of<T>.Value;
        }

        public static JsonConverter For(Type t)
        {
            JsonConverter c;
            return made.TryGetValue(t, out c) ? c : made.GetOrAdd(t, Make(t));
        }

        static JsonConverter Make(Type t)
        {
            if (t == typeof(string)) return new StringConverter();
            if (t == typeof(bool)) return new BoolConverter();
            if (t == typeof(int)) return new IntegerConverter<int>(int.MinValue, int.MaxValue, v => (int)v, v => v);
            if (t == typeof(long)) return new IntegerConverter<long>(long.MinValue, long.MaxValue, v => v, v => v);
            if (t == typeof(short)) return new IntegerConverter<short>(short.MinValue, short.MaxValue, v => (short)v, v => v);
            if (t == typeof(sbyte)) return new IntegerConverter<sbyte>(sbyte.MinValue, sbyte.MaxValue, v => (sbyte)v, v => v);
            if (t == typeof(byte)) return new IntegerConverter<byte>(0, byte.MaxValue, v => (byte)v, v => v);
            if (t == typeof(ushort)) return new IntegerConverter<ushort>(0, ushort.MaxValue, v => (ushort)v, v => v);
            if (t == typeof(uint)) return new IntegerConverter<uint>(0, uint.MaxValue, v => (uint)v, v => v);
            if (t == typeof(ulong)) return new UInt64Converter();
            if (t == typeof(double)) return new DoubleConverter();
            if (t == typeof(float)) return new SingleConverter();
            if (t == typeof(decimal)) return new DecimalConverter();
            if (t == typeof(Guid)) return new GuidConverter();
            if (t == typeof(DateTime)) return new DateTimeConverter();
            if (t == typeof(DateTimeOffset)) return new DateTimeOffsetConverter();
            if (t == typeof(TimeSpan)) return new TimeSpanConverter();
            if (t == typeof(object)) return new DynamicConverter();
            if (t.IsPointer || typeof(Delegate).IsAssignableFrom(t) || t == typeof(IntPtr) || t == typeof(UIntPtr) ||
                t.ContainsGenericParameters)
                throw new NotSupportedException("JSON cannot hold a " + t);
            if (t.IsEnum) return Generic(typeof(EnumConverter<>), t);
            Type under = Nullable.GetUnderlyingType(t);
            if (under != null) return Generic(typeof(NullableConverter<>), under);
            if (t.IsArray && t.GetArrayRank() == 1) return Generic(typeof(ArrayConverter<>), t.GetElementType());
            Type value = DictionaryValue(t);
            if (value != null) return Generic(typeof(DictionaryConverter<,>), t, value);
            Type item = EnumerableItem(t);
            if (item != null) return Generic(typeof(ListConverter<,>), t, item);
            if (typeof(IEnumerable).IsAssignableFrom(t)) return Generic(typeof(UntypedListConverter<>), t);
            return Generic(typeof(ObjectConverter<>), t);
        }

        static JsonConverter Generic(Type definition, params Type[] args)
        {
            return (JsonConverter)Activator.CreateInstance(definition.MakeGenericType(args));
        }

        // V of a type that is or implements IDictionary<string, V> (or its read-only form).
        static Type DictionaryValue(Type t)
        {
            foreach (Type i in Interfaces(t)) {
                if (!i.IsGenericType) continue;
                Type d = i.GetGenericTypeDefinition();
                if ((d == typeof(IDictionary<,>) || d == typeof(IReadOnlyDictionary<,>)) && i.GetGenericArguments()[0] == typeof(string))
                    return i.GetGenericArguments()[1];
            }
            return null;
        }

        static Type EnumerableItem(Type t)
        {
            foreach (Type i in Interfaces(t))
                if (i.IsGenericType && i.GetGenericTypeDefinition() == typeof(IEnumerable<>)) return i.GetGenericArguments()[0];
            return null;
        }

        static IEnumerable<Type> Interfaces(Type t)
        {
            if (t.IsInterface) yield return t;
            foreach (Type i in t.GetInterfaces()) yield return i;
        }
    }

    sealed class StringConverter : JsonConverter<string>
    {
        public override void Write(JsonWriter w, string value)
        {
            if (value == null)
                w.Ascii("null");
            else
                w.String(value);
        }

        public override string Read(JsonReader r)
        {
            return r.TryNull() ? null : r.String();
        }
    }

    sealed class BoolConverter : JsonConverter<bool>
    {
        public override void Write(JsonWriter w, bool value)
        {
            w.Ascii(value ? "true" : "false");
        }

        public override bool Read(JsonReader r)
        {
            return r.Bool();
        }
    }

    // The integer types up to 64 bits but ulong: read within the type's range, written through a
    // long.
    sealed class IntegerConverter<T> : JsonConverter<T>
    {
        readonly long min, max;
        readonly Func<long, T> from;
        readonly Func<T, long> to;

        public IntegerConverter(long min, long max, Func<long, T> from, Func<T, long> to)
        {
            this.min = min;
            this.max = max;
            this.from = from;
            this.to = to;
        }

        public override void Write(JsonWriter w, T value)
        {
            w.Long(to(value));
        }

        public override T Read(JsonReader r)
        {
            return from(r.Integer(min, max));
        }
    }

    sealed class UInt64Converter : JsonConverter<ulong>
    {
        public override void Write(JsonWriter w, ulong value)
        {
            w.ULong(value);
        }

        public override ulong Read(JsonReader r)
        {
            return r.UInt64();
        }
    }

    sealed class DoubleConverter : JsonConverter<double>
    {
        public override void Write(JsonWriter w, double value)
        {
            w.Double(value);
        }

        public override double Read(JsonReader r)
        {
            return double.Parse(r.NumberText(), NumberStyles.Float, CultureInfo.InvariantCulture);
        }
    }

    sealed class SingleConverter : JsonConverter<float>
    {
        public override void Write(JsonWriter w, float value)
        {
            if (float.IsNaN(value) || float.IsInfinity(value)) throw new JsonException("JSON has no " + value);
            w.Ascii(value.ToString("R", CultureInfo.InvariantCulture));
        }

        public override float Read(JsonReader r)
        {
            float v = float.Parse(r.NumberText(), NumberStyles.Float, CultureInfo.InvariantCulture);
            if (float.IsInfinity(v)) throw r.Error("a number out of range");
            return v;
        }
    }

    sealed class DecimalConverter : JsonConverter<decimal>
    {
        public override void Write(JsonWriter w, decimal value)
        {
            w.Ascii(value.ToString(CultureInfo.InvariantCulture));
        }

        public override decimal Read(JsonReader r)
        {
            decimal v;
            if (!decimal.TryParse(r.NumberText(), NumberStyles.Float, CultureInfo.InvariantCulture, out v))
                throw r.Error("a number out of range");
            return v;
        }
    }

    // Types written as a string of a fixed form, and read back from it.
    abstract class TextConverter<T> : JsonConverter<T>
    {
        protected abstract string Format(T value);
        protected abstract bool TryParse(string text, out T value);

        public override void Write(JsonWriter w, T value)
        {
            w.String(Format(value));
        }

        public override T Read(JsonReader r)
        {
            T value;
            if (!TryParse(r.String(), out value)) throw r.Error("not a " + typeof(T).Name);
            return value;
        }
    }

    sealed class GuidConverter : TextConverter<Guid>
    {
        protected override string Format(Guid value)
        {
            return value.ToString("D");
        }

        protected override bool TryParse(string text, out Guid value)
        {
            return Guid.TryParseExact(text, "D", out value);
        }
    }

    sealed class DateTimeConverter : TextConverter<DateTime>
    {
        protected override string Format(DateTime value)
        {
            return value.ToString("o", CultureInfo.InvariantCulture);
        }

        protected override bool TryParse(string text, out DateTime value)
        {
            return DateTime.TryParse(text, CultureInfo.InvariantCulture, DateTimeStyles.RoundtripKind, out value);
        }
    }

    sealed class DateTimeOffsetConverter : TextConverter<DateTimeOffset>
    {
        protected override string Format(DateTimeOffset value)
        {
            return value.ToString("o", CultureInfo.InvariantCulture);
        }

        protected override bool TryParse(string text, out DateTimeOffset value)
        {
            return DateTimeOffset.TryParse(text, CultureInfo.InvariantCulture, DateTimeStyles.RoundtripKind, out value);
        }
    }

    sealed class TimeSpanConverter : TextConverter<TimeSpan>
    {
        protected override string Format(TimeSpan value)
        {
            return value.ToString("c", CultureInfo.InvariantCulture);
        }

        protected override bool TryParse(string text, out TimeSpan value)
        {
            return TimeSpan.TryParseExact(text, "c", CultureInfo.InvariantCulture, out value);
        }
    }

    // An enum as its number.
    sealed class EnumConverter<T> : JsonConverter<T> where T : struct
    {
        static readonly bool Unsigned = Type.GetTypeCode(Enum.GetUnderlyingType(typeof(T))) == TypeCode.UInt64;

        public override void Write(JsonWriter w, T value)
        {
            if (Unsigned)
                w.ULong(Convert.ToUInt64(value, CultureInfo.InvariantCulture));
            else
                w.Long(Convert.ToInt64(value, CultureInfo.InvariantCulture));
        }

        public override T Read(JsonReader r)
        {
            object n;
            try {
                n = Unsigned ? (object)r.UInt64() : Convert.ChangeType(r.Integer(long.MinValue, long.MaxValue),
                                                                        Enum.GetUnderlyingType(typeof(T)), CultureInfo.InvariantCulture);
            } catch (OverflowException) {
                throw r.Error("an integer out of range");
            }
            return (T)Enum.ToObject(typeof(T), n);
        }
    }

    sealed class NullableConverter<T> : JsonConverter<T?> where T : struct
    {
        readonly JsonConverter<T> inner = JsonConverters.For<T>();

        public override void Write(JsonWriter w, T? value)
        {
            if (value.HasValue)
                inner.Write(w, value.Value);
            else
                w.Ascii("null");
        }

        public override T? Read(JsonReader r)
        {
            if (r.TryNull()) return null;
            return inner.Read(r);
        }
    }

    sealed class ArrayConverter<T> : JsonConverter<T[]>
    {
        public override void Write(JsonWriter w, T[] value)
        {
            ListConverter<T[], T>.WriteItems(w, value);
        }

        public override T[] Read(JsonReader r)
        {
            return r.TryNull() ? null : ListConverter<List<T>, T>.ReadList(r).ToArray();
        }
    }

    // Any IEnumerable<T>; read as a List<T> when the type takes one (List<T>, IList<T>,
    // IEnumerable<T>, ...), else refused.
    sealed class ListConverter<C, T> : JsonConverter<C>
    {
        static readonly bool Readable = typeof(C).IsAssignableFrom(typeof(List<T>));

        public override void Write(JsonWriter w, C value)
        {
            WriteItems(w, (IEnumerable<T>)value);
        }

        // A JSON array of items; null as null.
        internal static void WriteItems(JsonWriter w, IEnumerable<T> items)
        {
            if (items == null) {
                w.Ascii("null");
                return;
            }
            JsonConverter<T> item = JsonConverters.For<T>();
            w.Enter();
            w.Byte((byte)'[');
            bool first = true;
            foreach (T v in items) {
                if (!first) w.Byte((byte)',');
                first = false;
                item.Write(w, v);
            }
            w.Byte((byte)']');
            w.Leave();
        }

        public override C Read(JsonReader r)
        {
            if (!Readable) throw new NotSupportedException("a " + typeof(C) + " is written to JSON, not read");
            return r.TryNull() ? default(C) : (C)(object)ReadList(r);
        }

        internal static List<T> ReadList(JsonReader r)
        {
            JsonConverter<T> item = JsonConverters.For<T>();
            var list = new List<T>();
            r.BeginArray();
            bool first = true;
            while (r.NextItem(ref first)) list.Add(item.Read(r));
            return list;
        }
    }

    // A collection that is not IEnumerable<T> (an ArrayList): its items as their runtime types.
    sealed class UntypedListConverter<C> : JsonConverter<C>
    {
        public override void Write(JsonWriter w, C value)
        {
            ListConverter<List<object>, object>.WriteItems(w, value == null ? null : ((IEnumerable)value).Cast<object>());
        }

        public override C Read(JsonReader r)
        {
            throw new NotSupportedException("a " + typeof(C) + " is written to JSON, not read");
        }
    }

    sealed class DictionaryConverter<D, V> : JsonConverter<D>
    {
        static readonly bool Readable = typeof(D).IsAssignableFrom(typeof(Dictionary<string, V>));

        public override void Write(JsonWriter w, D value)
        {
            if (value == null) {
                w.Ascii("null");
                return;
            }
            JsonConverter<V> item = JsonConverters.For<V>();
            w.Enter();
            w.Byte((byte)'{');
            bool first = true;
            foreach (KeyValuePair<string, V> pair in (IEnumerable<KeyValuePair<string, V>>)value) {
                if (!first) w.Byte((byte)',');
                first = false;
                w.String(pair.Key);
                w.Byte((byte)':');
                item.Write(w, pair.Value);
            }
            w.Byte((byte)'}');
            w.Leave();
        }

        public override D Read(JsonReader r)
        {
            if (!Readable) throw new NotSupportedException("a " + typeof(D) + " is written to JSON, not read");
            if (r.TryNull()) return default(D);
            JsonConverter<V> item = JsonConverters.For<V>();
            var d = new Dictionary<string, V>();
            r.BeginObject();
            bool first = true;
            int s, n;
            bool escaped;
            while (r.NextName(ref first, out s, out n, out escaped)) {
                string name = r.Text(s, n, escaped);
                d[name] = item.Read(r);
            }
            return (D)(object)d;
        }
    }

    // object: written as the value's runtime type; read as the JSON's own shape.
    sealed class DynamicConverter : JsonConverter<object>
    {
        public override void Write(JsonWriter w, object value)
        {
            if (value == null) {
                w.Ascii("null");
                return;
            }
            Type t = value.GetType();
            if (t == typeof(object)) {
                w.Ascii("{}");
                return;
            }
            JsonConverters.For(t).WriteBoxed(w, value);
        }

        public override object Read(JsonReader r)
        {
            switch (r.Peek()) {
                case (byte)'{': return JsonConverters.For<Dictionary<string, object>>().Read(r);
                case (byte)'[': return ListConverter<List<object>, object>.ReadList(r);
                case (byte)'"': return r.String();
                case (byte)'t':
                case (byte)'f': return r.Bool();
                case (byte)'n':
                    r.TryNull();
                    return null;
                default:
                    string text = r.NumberText();
                    long l;
                    if (long.TryParse(text, NumberStyles.AllowLeadingSign, CultureInfo.InvariantCulture, out l)) return l;
                    return double.Parse(text, NumberStyles.Float, CultureInfo.InvariantCulture);
            }
        }
    }

    // A member of an object: its name as written ("\"name\":" in UTF-8) and read, and its value's
    // way in and out of the owner.
    abstract class JsonProperty<T>
    {
        public string Name;  // camelCase
        public byte[] Written;  // "\"name\":"
        public byte[] AsciiName;  // the name's bytes for matching, or null when it is not ASCII
        public bool CanRead, CanWrite;

        public abstract void Write(JsonWriter w, ref T owner);
        public abstract void Read(JsonReader r, ref T owner);
    }

    sealed class ClassProperty<T, V> : JsonProperty<T>
    {
        readonly Func<T, V> get;
        readonly Action<T, V> set;
        readonly JsonConverter<V> converter = JsonConverters.For<V>();

        public ClassProperty(PropertyInfo p)
        {
            MethodInfo g = p.GetGetMethod(), s = p.GetSetMethod();
            if (g != null) get = (Func<T, V>)Delegate.CreateDelegate(typeof(Func<T, V>), g);
            if (s != null) set = (Action<T, V>)Delegate.CreateDelegate(typeof(Action<T, V>), s);
        }

        public override void Write(JsonWriter w, ref T owner)
        {
            converter.Write(w, get(owner));
        }

        public override void Read(JsonReader r, ref T owner)
        {
            set(owner, converter.Read(r));
        }
    }

    delegate V RefGetter<T, V>(ref T owner);
    delegate void RefSetter<T, V>(ref T owner, V value);

    sealed class StructProperty<T, V> : JsonProperty<T>
    {
        readonly RefGetter<T, V> get;
        readonly RefSetter<T, V> set;
        readonly JsonConverter<V> converter = JsonConverters.For<V>();

        public StructProperty(PropertyInfo p)
        {
            MethodInfo g = p.GetGetMethod(), s = p.GetSetMethod();
            if (g != null) get = (RefGetter<T, V>)Delegate.CreateDelegate(typeof(RefGetter<T, V>), g);
            if (s != null) set = (RefSetter<T, V>)Delegate.CreateDelegate(typeof(RefSetter<T, V>), s);
        }

        public override void Write(JsonWriter w, ref T owner)
        {
            converter.Write(w, get(ref owner));
        }

        public override void Read(JsonReader r, ref T owner)
        {
            set(ref owner, converter.Read(r));
        }
    }

    // A class or struct as an object of its public instance properties.
    sealed class ObjectConverter<T> : JsonConverter<T>
    {
        static readonly bool IsClass = !typeof(T).IsValueType;
        // Found or made at first use; two threads that both find them make the same.
        JsonProperty<T>[] properties;
        Func<T> create;

        JsonProperty<T>[] Properties
        {
            get {
                JsonProperty<T>[] p = Volatile.Read(ref properties);
                if (p == null) {
                    p = Find();
                    Volatile.Write(ref properties, p);
                }
                return p;
            }
        }

        static JsonProperty<T>[] Find()
        {
            var found = new List<JsonProperty<T>>();
            foreach (PropertyInfo p in typeof(T).GetProperties(BindingFlags.Public | BindingFlags.Instance)) {
                if (p.GetIndexParameters().Length > 0 || p.GetGetMethod() == null) continue;
                Type kind = IsClass ? typeof(ClassProperty<,>) : typeof(StructProperty<,>);
                var made = (JsonProperty<T>)Activator.CreateInstance(kind.MakeGenericType(typeof(T), p.PropertyType), p);
                made.Name = Json.CamelCase(p.Name);
                made.Written = Encoding.UTF8.GetBytes("\"" + made.Name + "\":");
                bool ascii = true;
                foreach (char c in made.Name) ascii &= c < 0x80 && c != '"' && c != '\\';
                made.AsciiName = ascii ? Encoding.ASCII.GetBytes(made.Name) : null;
                made.CanWrite = true;
                made.CanRead = p.GetSetMethod() != null;
                foreach (JsonProperty<T> other in found)
                    if (string.Equals(other.Name, made.Name, StringComparison.OrdinalIgnoreCase))
                        throw new InvalidOperationException(typeof(T) + " has two properties named " + made.Name + " but for case");
                found.Add(made);
            }
            return found.ToArray();
        }

        public override void Write(JsonWriter w, T value)
        {
            if (IsClass && value == null) {
                w.Ascii("null");
                return;
            }
            JsonProperty<T>[] all = Properties;
            w.Enter();
            w.Byte((byte)'{');
            for (int i = 0; i < all.Length; i++) {
                if (i > 0) w.Byte((byte)',');
                w.Raw(all[i].Written);
                all[i].Write(w, ref value);
            }
            w.Byte((byte)'}');
            w.Leave();
        }

        public override T Read(JsonReader r)
        {
            if (IsClass && r.TryNull()) return default(T);
            JsonProperty<T>[] all = Properties;
            T value = New();
            r.BeginObject();
            bool first = true;
            int s, n;
            bool escaped;
            while (r.NextName(ref first, out s, out n, out escaped)) {
                JsonProperty<T> p = Match(r, all, s, n, escaped);
                if (p == null || !p.CanRead)
                    r.Skip();
                else
                    p.Read(r, ref value);
            }
            return value;
        }

        static JsonProperty<T> Match(JsonReader r, JsonProperty<T>[] all, int s, int n, bool escaped)
        {
            foreach (JsonProperty<T> p in all)
                if (r.NameIs(s, n, escaped, p.AsciiName, p.Name)) return p;
            return null;
        }

        T New()
        {
            if (!IsClass) return default(T);
            Func<T> c = Volatile.Read(ref create);
            if (c == null) {
                ConstructorInfo ctor = typeof(T).GetConstructor(Type.EmptyTypes);
                if (ctor == null || typeof(T).IsAbstract)
                    throw new NotSupportedException(typeof(T) + " is read from JSON only with a public parameterless constructor");
                // Compiled once: a reflective call per object would cost more than the reading.
                c = Expression.Lambda<Func<T>>(Expression.New(ctor)).Compile();
                Volatile.Write(ref create, c);
            }
            return c();
        }
    }
}
