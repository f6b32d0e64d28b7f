// What a route parameter's value must be ("{id:int}"): int and long (an optional '-' and
// decimal digits, within the type's range), guid (as Guid.TryParse reads one), and
// regex(PATTERN), which must match the whole value, case counting as in literals. The set is the
// one ASP.NET Core's examples use for ids and slugs; the rest of its constraints (ranges,
// lengths, alpha, ...) are one regex each. A pattern holds no '/' (a value never does) and its
// braces need no escaping. A regex match that takes longer than RegexTimeout (a pattern that
// backtracks on a long value) counts as no match, so a client cannot hold a thread with it.
using System;
using System.Globalization;
using System.Text.RegularExpressions;

namespace Vrns.Http
{
    public abstract class RouteConstraint
    {
        public static readonly TimeSpan RegexTimeout = TimeSpan.FromMilliseconds(100);

        public abstract bool Accepts(string value);

        // null for an unknown constraint.
        internal static RouteConstraint Parse(string text)
        {
            switch (text) {
                case "int": return new Int32Constraint();
                case "long": return new Int64Constraint();
                case "guid": return new GuidConstraint();
            }
            if (text.StartsWith("regex(", StringComparison.Ordinal) && text.EndsWith(")", StringComparison.Ordinal) && text.Length > 7)
                return new RegexConstraint(text.Substring(6, text.Length - 7));
            return null;
        }

        internal static bool TryParseInt32(string s, out int v)
        {
            v = 0;
            return IsInteger(s) && int.TryParse(s, NumberStyles.AllowLeadingSign, CultureInfo.InvariantCulture, out v);
        }

        internal static bool TryParseInt64(string s, out long v)
        {
            v = 0;
            return IsInteger(s) && long.TryParse(s, NumberStyles.AllowLeadingSign, CultureInfo.InvariantCulture, out v);
        }

        // '-'? digit+ : no '+', no spaces, no digits other than ASCII.
        static bool IsInteger(string s)
        {
            if (string.IsNullOrEmpty(s)) return false;
            int i = s[0] == '-' ? 1 : 0;
            if (i == s.Length) return false;
            for (; i < s.Length; i++)
                if (s[i] < '0' || s[i] > '9') return false;
            return true;
        }

        sealed class Int32Constraint : RouteConstraint
        {
            public override bool Accepts(string value)
            {
                int v;
                return TryParseInt32(value, out v);
            }
        }

        sealed class Int64Constraint : RouteConstraint
        {
            public override bool Accepts(string value)
            {
                long v;
                return TryParseInt64(value, out v);
            }
        }

        sealed class GuidConstraint : RouteConstraint
        {
            public override bool Accepts(string value)
            {
                Guid v;
                return Guid.TryParse(value, out v);
            }
        }

        sealed class RegexConstraint : RouteConstraint
        {
            readonly Regex regex;

            public RegexConstraint(string pattern)
            {
                regex = new Regex("^(?:" + pattern + ")$", RegexOptions.CultureInvariant, RegexTimeout);
            }

            public override bool Accepts(string value)
            {
                try {
                    return regex.IsMatch(value);
                } catch (RegexMatchTimeoutException) {
                    return false;
                }
            }
        }
    }
}
