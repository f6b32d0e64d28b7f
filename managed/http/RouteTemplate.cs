// Route templates: "/users/{id}", "/users/{id}/posts/{post}", "/files/{*rest}". A template is
// '/'-separated segments, each a literal, a parameter "{name}" or "{name:constraint}" (one whole
// segment; RouteConstraint) or, as the last segment only, a catch-all "{*name}"; names are
// letters, digits and '_', each once.
// Refused at Map time with ArgumentException: a template not starting with '/', an empty
// segment ("//", a trailing '/'), a brace inside a literal or half a parameter ("/a{id}"), a
// bad or repeated name, a catch-all that is not last.
//
// Matching goes segment by segment over the normalised path, which is already percent-decoded
// once (so a value is never decoded twice: "%41" in the path stays "%41"): a literal matches its
// own text exactly (case counts), a parameter any non-empty segment, a catch-all the rest of
// the path, possibly empty ("/files" and "/files/" give rest "", "/files/a/b" gives "a/b").
//
// A parameter whose value its constraint refuses does not match: the next template is tried, and
// without one the path is not found (404), never handed to a handler that cannot parse it.
//
// Precedence between templates that match the same path (RouteTemplateList keeps this order):
// the leftmost segment where two differ decides, a literal before a constrained parameter before
// a parameter before a catch-all; templates alike in that are tried in the order mapped. So
// "/users/new" style literals win over "/users/{id}", "/items/{id:int}" over "/items/{slug}",
// and "/a/{x}" over "/a/{*rest}". (The router puts exact routes before all templates and
// templates before prefixes.)
using System;
using System.Collections.Generic;

namespace Vrns.Http
{
    public sealed class RouteTemplate
    {
        // The order is the precedence; End stands where a shorter template has no segment, so
        // "/a/{x}" goes before "/a/{x}/{*rest}" and the order is total.
        enum Kind { Literal, Constrained, Parameter, End, CatchAll }

        readonly Kind[] kinds;
        readonly string[] texts;  // the literal, or the parameter's name
        readonly RouteConstraint[] constraints;  // a constrained parameter's; else null

        public readonly string Text;

        RouteTemplate(string text, Kind[] kinds, string[] texts, RouteConstraint[] constraints)
        {
            Text = text;
            this.kinds = kinds;
            this.texts = texts;
            this.constraints = constraints;
        }

        // True when the template has a parameter: a path without one is an exact route.
        public static bool IsTemplate(string path)
        {
            return path != null && path.IndexOf('{') >= 0;
        }

        public static RouteTemplate Parse(string template)
        {
            if (template == null || template.Length == 0 || template[0] != '/')
                throw Refused(template, "a template starts with '/'");
            string[] segments = template.Length == 1 ? new string[0] : template.Substring(1).Split('/');
            var kinds = new Kind[segments.Length];
            var texts = new string[segments.Length];
            var constraints = new RouteConstraint[segments.Length];
            for (int i = 0; i < segments.Length; i++) {
                kinds[i] = Classify(template, segments[i], out texts[i], out constraints[i]);
                if (kinds[i] == Kind.CatchAll && i != segments.Length - 1) throw Refused(template, "a catch-all is the last segment");
                if (kinds[i] != Kind.Literal && NamedBefore(kinds, texts, i))
                    throw Refused(template, "the name " + texts[i] + " is used twice");
            }
            return new RouteTemplate(template, kinds, texts, constraints);
        }

        static bool NamedBefore(Kind[] kinds, string[] texts, int i)
        {
            for (int k = 0; k < i; k++)
                if (kinds[k] != Kind.Literal && Same(texts[k], texts[i])) return true;
            return false;
        }

        static bool Same(string a, string b)
        {
            return string.Equals(a, b, StringComparison.OrdinalIgnoreCase);
        }

        static Kind Classify(string template, string segment, out string text, out RouteConstraint constraint)
        {
            constraint = null;
            if (segment.Length == 0) throw Refused(template, "an empty segment");
            bool open = segment[0] == '{', close = segment[segment.Length - 1] == '}';
            if (!open && !close && segment.IndexOf('{') < 0 && segment.IndexOf('}') < 0) {
                text = segment;
                return Kind.Literal;
            }
            if (!open || !close) throw Refused(template, "a parameter is a whole segment, {name}");
            bool catchAll = segment.Length > 1 && segment[1] == '*';
            text = segment.Substring(catchAll ? 2 : 1, segment.Length - (catchAll ? 3 : 2));
            int colon = text.IndexOf(':');
            if (colon >= 0) {
                if (catchAll) throw Refused(template, "a catch-all takes no constraint");
                constraint = RouteConstraint.Parse(text.Substring(colon + 1));
                if (constraint == null) throw Refused(template, "unknown constraint " + text.Substring(colon + 1));
                text = text.Substring(0, colon);
            }
            if (!IsName(text)) throw Refused(template, "a parameter's name is letters, digits and '_'");
            return catchAll ? Kind.CatchAll : constraint != null ? Kind.Constrained : Kind.Parameter;
        }

        static bool IsName(string s)
        {
            if (s.Length == 0) return false;
            foreach (char c in s)
                if (!(c == '_' || (c >= '0' && c <= '9') || ((c | 0x20) >= 'a' && (c | 0x20) <= 'z'))) return false;
            return true;
        }

        static ArgumentException Refused(string template, string why)
        {
            return new ArgumentException("bad route template " + (template ?? "null") + ": " + why, "template");
        }

        // Matches the normalised path; on a match, the parameters' values are added to values.
        public bool TryMatch(string path, RouteValues values)
        {
            if (path == null || path.Length == 0 || path[0] != '/') return false;
            int at = 1, n = kinds.Length;
            if (n == 0) return path.Length == 1;  // the template "/"
            int first = values.Pairs;
            for (int i = 0; i < n; i++) {
                if (kinds[i] == Kind.CatchAll) {
                    values.Add(texts[i], at < path.Length ? path.Substring(at) : "");
                    return true;
                }
                if (at > path.Length) return Undo(values, first);
                int slash = path.IndexOf('/', at);
                int stop = slash < 0 ? path.Length : slash;
                if (kinds[i] == Kind.Literal ? !Equal(path, at, stop, texts[i]) : stop == at) return Undo(values, first);
                if (kinds[i] != Kind.Literal) {
                    string value = path.Substring(at, stop - at);
                    if (constraints[i] != null && !constraints[i].Accepts(value)) return Undo(values, first);
                    values.Add(texts[i], value);
                }
                at = stop + 1;
            }
            return at == path.Length + 1 ? true : Undo(values, first);
        }

        static bool Equal(string path, int at, int stop, string literal)
        {
            return stop - at == literal.Length && string.CompareOrdinal(path, at, literal, 0, literal.Length) == 0;
        }

        static bool Undo(RouteValues values, int first)
        {
            values.RemoveFrom(first);
            return false;
        }

        // < 0 when a goes before b (see the precedence above).
        public static int Compare(RouteTemplate a, RouteTemplate b)
        {
            for (int i = 0; i <= Math.Max(a.kinds.Length, b.kinds.Length); i++) {
                Kind x = a.KindAt(i), y = b.KindAt(i);
                if (x != y) return x.CompareTo(y);
                if (x == Kind.End) break;
            }
            return 0;
        }

        Kind KindAt(int i)
        {
            return i < kinds.Length ? kinds[i] : Kind.End;
        }
    }

    // A matched route's parameter values (c.Request.RouteValues["id"]); names without case. The
    // typed accessors parse a value as its constraint does ({id:int}: GetInt32("id")), so on a
    // constrained parameter they cannot fail; on another, a value of the wrong type throws
    // BadHttpRequestException (400), and a name the route does not have InvalidOperationException.
    public sealed class RouteValues : ValueCollection
    {
        public RouteValues() : base(StringComparer.OrdinalIgnoreCase)
        {
        }

        public int GetInt32(string name)
        {
            int v;
            if (!RouteConstraint.TryParseInt32(Get(name), out v)) throw NotOfType(name, "an int");
            return v;
        }

        public long GetInt64(string name)
        {
            long v;
            if (!RouteConstraint.TryParseInt64(Get(name), out v)) throw NotOfType(name, "a long");
            return v;
        }

        public Guid GetGuid(string name)
        {
            Guid v;
            if (!Guid.TryParse(Get(name), out v)) throw NotOfType(name, "a GUID");
            return v;
        }

        string Get(string name)
        {
            string value = this[name];
            if (value == null) throw new InvalidOperationException("the route has no parameter " + name);
            return value;
        }

        static BadHttpRequestException NotOfType(string name, string type)
        {
            return new BadHttpRequestException("the route value " + name + " is not " + type);
        }
    }

    // Templates with what each routes to, kept in precedence order; stable for equals.
    public sealed class RouteTemplateList<T>
    {
        readonly List<RouteTemplate> templates = new List<RouteTemplate>();
        readonly List<T> items = new List<T>();

        public int Count
        {
            get { return templates.Count; }
        }

        public void Add(RouteTemplate template, T item)
        {
            int i = templates.Count;
            while (i > 0 && RouteTemplate.Compare(template, templates[i - 1]) < 0) i--;
            templates.Insert(i, template);
            items.Insert(i, item);
        }

        // The index of the first template from index from on that matches path, its values
        // added to values; -1 when none does.
        public int Find(string path, RouteValues values, int from)
        {
            for (int i = from; i < templates.Count; i++)
                if (templates[i].TryMatch(path, values)) return i;
            return -1;
        }

        public RouteTemplate TemplateAt(int i)
        {
            return templates[i];
        }

        public T ItemAt(int i)
        {
            return items[i];
        }
    }
}
