// A request's form (await c.Request.ReadFormAsync()): its fields as a ValueCollection
// (form["a"], GetValues; names compared without case) and its files (form.Files). Disposing
// the form closes the files' temporary files, which removes them, and gives the server's body
// budget back what the form held of it; the request disposes its form when the handler's Task
// completes.
using System;
using System.Collections;
using System.Collections.Generic;
using System.IO;

namespace Vrns.Http
{
    public sealed class FormCollection : ValueCollection, IDisposable
    {
        public readonly FormFileCollection Files = new FormFileCollection();
        internal readonly BudgetShare Share;  // null: held outside the server's budget

        internal FormCollection(BudgetShare share) : base(StringComparer.OrdinalIgnoreCase)
        {
            Share = share;
        }

        public void Dispose()
        {
            Files.Dispose();
            if (Share != null) Share.GiveAll();
        }
    }

    // One file part: the name of its form field, the file name and media type the client gave
    // (as sent: never a path to use), its length, its bytes.
    public sealed class FormFile
    {
        public readonly string Name, FileName, ContentType;
        readonly SpooledContent content;

        internal FormFile(string name, string fileName, string contentType, SpooledContent content)
        {
            Name = name;
            FileName = fileName;
            ContentType = contentType;
            this.content = content;
        }

        public long Length
        {
            get { return content.Length; }
        }

        // A new read-only stream over the file's bytes, from the start; throws
        // ObjectDisposedException once the form is disposed.
        public Stream OpenReadStream()
        {
            return content.OpenRead();
        }

        internal SpooledContent Content
        {
            get { return content; }
        }
    }

    public sealed class FormFileCollection : IReadOnlyList<FormFile>, IDisposable
    {
        readonly List<FormFile> files = new List<FormFile>();

        internal void Add(FormFile file)
        {
            files.Add(file);
        }

        public int Count
        {
            get { return files.Count; }
        }

        public FormFile this[int index]
        {
            get { return files[index]; }
        }

        // The first file of the field name (compared without case); null when there is none.
        public FormFile this[string name]
        {
            get { return files.Find(f => string.Equals(f.Name, name, StringComparison.OrdinalIgnoreCase)); }
        }

        public IReadOnlyList<FormFile> GetFiles(string name)
        {
            return files.FindAll(f => string.Equals(f.Name, name, StringComparison.OrdinalIgnoreCase));
        }

        public IEnumerator<FormFile> GetEnumerator()
        {
            return files.GetEnumerator();
        }

        IEnumerator IEnumerable.GetEnumerator()
        {
            return GetEnumerator();
        }

        public void Dispose()
        {
            foreach (FormFile f in files) f.Content.Dispose();
        }
    }
}
