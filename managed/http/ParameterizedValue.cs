// A field value with parameters, `value *( OWS ";" OWS name "=" ( token / quoted-string ) )`:
// Content-Type ("multipart/form-data; boundary=x") and a form part's Content-Disposition
// ("form-data; name="a"; filename="b.txt""). A quoted value runs to the next '"' with no
// backslash escapes, as browsers write form-data (they percent-encode '"', CR and LF in names
// and file names and leave '\' as it is; a boundary can hold neither). A parameter named twice
// makes the value malformed: two readers could take different ones. Pure; any thread.
using System;
using System.Collections.Generic;

namespace Vrns.Http
{
    sealed class ParameterizedValue
    {
        public readonly string Value;
        readonly List<string> names = new List<string>(), values = new List<string>();

        ParameterizedValue(string value)
        {
            Value = value;
        }

        // The parameter's value (names compared without case); null when absent.
        public string this[string name]
        {
            get {
                int i = names.FindIndex(n => string.Equals(n, name, StringComparison.OrdinalIgnoreCase));
                return i < 0 ? null : values[i];
            }
        }

        // null when s is malformed.
        public static ParameterizedValue Parse(string s)
        {
            if (s == null) return null;
            int semicolon = s.IndexOf(';');
            var result = new ParameterizedValue(s.Substring(0, semicolon < 0 ? s.Length : semicolon).Trim(' ', '\t'));
            int at = semicolon < 0 ? s.Length : semicolon + 1;
            while (at < s.Length) {
                at = SkipSpace(s, at);
                if (at < s.Length && s[at] == ';') {  // an empty parameter
                    at++;
                    continue;
                }
                if (at == s.Length) break;
                at = result.AddParameter(s, at);
                if (at < 0) return null;
            }
            return result;
        }

        // Reads `name=value OWS [";"]` at s[at]; the index after it, -1 when malformed.
        int AddParameter(string s, int at)
        {
            int nameAt = at;
            while (at < s.Length && HttpToken.IsTokenChar(s[at])) at++;
            if (at == nameAt || at == s.Length || s[at] != '=') return -1;
            string name = s.Substring(nameAt, at - nameAt);
            if (this[name] != null) return -1;
            at++;
            string value;
            if (at < s.Length && s[at] == '"') {
                int close = s.IndexOf('"', at + 1);
                if (close < 0) return -1;
                value = s.Substring(at + 1, close - at - 1);
                at = close + 1;
            } else {
                int valueAt = at;
                while (at < s.Length && HttpToken.IsTokenChar(s[at])) at++;
                if (at == valueAt) return -1;
                value = s.Substring(valueAt, at - valueAt);
            }
            names.Add(name);
            values.Add(value);
            at = SkipSpace(s, at);
            if (at == s.Length) return at;
            return s[at] == ';' ? at + 1 : -1;
        }

        static int SkipSpace(string s, int at)
        {
            while (at < s.Length && (s[at] == ' ' || s[at] == '\t')) at++;
            return at;
        }
    }
}
