// Set-Cookie values from System.Net.Cookie, for c.Response.AppendCookie. A name must be a token
// and a value cookie-octets (optionally in double quotes), Path visible ASCII without ';', Domain
// a host name: anything else is refused with ArgumentException, never cut or escaped, so no
// value can add an attribute ("x; Domain=...") or a field. Expires (from Cookie.Expires, in
// GMT), Max-Age (the argument; else 0 for an expired cookie), Domain, Path, Secure, HttpOnly and SameSite are
// written; Cookie's Port, Comment and Version (RFC 2965, which browsers ignore) are not.
//
// System.Net.Cookie is sealed and has no SameSite, so SameSite and Max-Age are arguments of
// AppendCookie: code written for HttpListener's AppendCookie(cookie) compiles unchanged, and a
// SameSite is one argument more. SameSite=None without Secure is refused: browsers drop it.
using System;
using System.Net;
using System.Text;

namespace Vrns.Http
{
    public enum SameSiteMode
    {
        Unspecified,  // no attribute: the browser's default (Lax in current browsers)
        None,
        Lax,
        Strict,
    }

    public static class SetCookie
    {
        static readonly DateTime Epoch = new DateTime(1970, 1, 1, 0, 0, 0, DateTimeKind.Utc);
        const int MaxDomainLength = 253;

        // The Set-Cookie field value for cookie; maxAge null: none, or 0 when the cookie is
        // expired (Cookie.Expired, or an Expires in the past), so browsers drop it at once.
        public static string Format(Cookie cookie, SameSiteMode sameSite, TimeSpan? maxAge)
        {
            if (cookie == null) throw new ArgumentNullException("cookie");
            Check(HttpToken.IsToken(cookie.Name), "the name is not a token");
            Check(IsCookieValue(cookie.Value ?? ""), "the value holds a character a cookie cannot carry");
            Check(IsPath(cookie.Path ?? ""), "the path holds a control character, ';' or a non-ASCII character");
            Check(IsDomain(cookie.Domain ?? ""), "the domain is not a host name");
            Check(sameSite != SameSiteMode.None || cookie.Secure, "SameSite=None needs Secure");
            if (maxAge.HasValue && maxAge.Value < TimeSpan.Zero) throw new ArgumentOutOfRangeException("maxAge");
            var b = new StringBuilder();
            b.Append(cookie.Name).Append('=').Append(cookie.Value);
            if (cookie.Expires != DateTime.MinValue)
                b.Append("; Expires=").Append(HttpDate.Format(UnixSeconds(cookie.Expires)));
            if (maxAge.HasValue)
                b.Append("; Max-Age=").Append((long)maxAge.Value.TotalSeconds);
            else if (cookie.Expired)
                b.Append("; Max-Age=0");
            if (!string.IsNullOrEmpty(cookie.Domain)) b.Append("; Domain=").Append(cookie.Domain);
            if (!string.IsNullOrEmpty(cookie.Path)) b.Append("; Path=").Append(cookie.Path);
            if (cookie.Secure) b.Append("; Secure");
            if (cookie.HttpOnly) b.Append("; HttpOnly");
            if (sameSite != SameSiteMode.Unspecified) b.Append("; SameSite=").Append(sameSite.ToString());
            return b.ToString();
        }

        static void Check(bool ok, string what)
        {
            if (!ok) throw new ArgumentException("cookie refused: " + what, "cookie");
        }

        static long UnixSeconds(DateTime t)
        {
            return (t.ToUniversalTime().Ticks - Epoch.Ticks) / TimeSpan.TicksPerSecond;
        }

        // *cookie-octet, or the same in double quotes.
        static bool IsCookieValue(string s)
        {
            int at = 0, end = s.Length;
            if (end > 0 && s[0] == '"') {
                if (end < 2 || s[end - 1] != '"') return false;
                at = 1;
                end--;
            }
            for (int i = at; i < end; i++) {
                char c = s[i];
                if (c < 0x21 || c > 0x7e || c == '"' || c == ',' || c == ';' || c == '\\') return false;
            }
            return true;
        }

        static bool IsPath(string s)
        {
            foreach (char c in s)
                if (c < 0x20 || c > 0x7e || c == ';') return false;
            return true;
        }

        // Letters, digits, '-' and '.' (a leading '.' allowed, as Cookie.Domain may give it).
        static bool IsDomain(string s)
        {
            if (s.Length > MaxDomainLength) return false;
            foreach (char c in s) {
                bool letter = (c | 0x20) >= 'a' && (c | 0x20) <= 'z';
                if (!letter && !(c >= '0' && c <= '9') && c != '-' && c != '.') return false;
            }
            return true;
        }
    }
}
