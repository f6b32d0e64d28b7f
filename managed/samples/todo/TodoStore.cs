// Where the TodoApi keeps its items: in memory (gone at exit) or in a SQLite file. Both stores are
// safe to use from many requests at once.
using System;
using System.Collections.Generic;
using System.Data;
using System.Data.Common;
using System.IO;
using System.Linq;
using Mono.Data.Sqlite;

namespace Vrns.Samples.Todo
{
    public sealed class Todo
    {
        public int Id { get; set; }
        public string Name { get; set; }
        public bool IsComplete { get; set; }
    }

    public interface ITodoStore : IDisposable
    {
        List<Todo> All(bool completeOnly);
        Todo Find(int id);
        Todo Add(Todo item);        // the item stored, with its new id
        bool Update(int id, Todo item);
        bool Delete(int id);
    }

    public sealed class MemoryTodoStore : ITodoStore
    {
        readonly object gate = new object();
        readonly SortedDictionary<int, Todo> items = new SortedDictionary<int, Todo>();
        int lastId;

        static Todo Copy(Todo t)
        {
            return new Todo { Id = t.Id, Name = t.Name, IsComplete = t.IsComplete };
        }

        public List<Todo> All(bool completeOnly)
        {
            lock (gate) return items.Values.Where(t => !completeOnly || t.IsComplete).Select(Copy).ToList();
        }

        public Todo Find(int id)
        {
            Todo t;
            lock (gate) return items.TryGetValue(id, out t) ? Copy(t) : null;
        }

        public Todo Add(Todo item)
        {
            lock (gate) {
                var t = new Todo { Id = ++lastId, Name = item.Name, IsComplete = item.IsComplete };
                items.Add(t.Id, t);
                return Copy(t);
            }
        }

        public bool Update(int id, Todo item)
        {
            lock (gate) {
                if (!items.ContainsKey(id)) return false;
                items[id] = new Todo { Id = id, Name = item.Name, IsComplete = item.IsComplete };
                return true;
            }
        }

        public bool Delete(int id)
        {
            lock (gate) return items.Remove(id);
        }

        public void Dispose() {}
    }

    // One connection per call: SQLite opens a file quickly, and each call stands alone. The
    // table is created when the file has none.
    public sealed class SqliteTodoStore : ITodoStore
    {
        const int BusyMsec = 5000;
        readonly string connectionString;

        public SqliteTodoStore(string path)
        {
            connectionString = "Data Source=" + Path.GetFullPath(path) + ";Version=3";
            using (SqliteConnection c = Open())
                Execute(c, "CREATE TABLE IF NOT EXISTS Todo (id INTEGER PRIMARY KEY AUTOINCREMENT, " +
                           "name TEXT, isComplete INTEGER NOT NULL)");
        }

        SqliteConnection Open()
        {
            var c = new SqliteConnection(connectionString);
            c.Open();
            Execute(c, "PRAGMA busy_timeout = " + BusyMsec);
            return c;
        }

        static int Execute(DbConnection c, string sql, params object[] values)
        {
            using (DbCommand cmd = Command(c, sql, values)) return cmd.ExecuteNonQuery();
        }

        static DbCommand Command(DbConnection c, string sql, object[] values)
        {
            DbCommand cmd = c.CreateCommand();
            cmd.CommandText = sql;
            foreach (object v in values) {
                DbParameter p = cmd.CreateParameter();
                p.Value = v ?? DBNull.Value;
                cmd.Parameters.Add(p);
            }
            return cmd;
        }

        static List<Todo> Query(DbConnection c, string sql, params object[] values)
        {
            var list = new List<Todo>();
            using (DbCommand cmd = Command(c, sql, values))
            using (DbDataReader r = cmd.ExecuteReader())
                while (r.Read())
                    list.Add(new Todo { Id = r.GetInt32(0), Name = r.IsDBNull(1) ? null : r.GetString(1),
                                        IsComplete = r.GetInt64(2) != 0 });
            return list;
        }

        public List<Todo> All(bool completeOnly)
        {
            using (SqliteConnection c = Open())
                return Query(c, "SELECT id, name, isComplete FROM Todo" + (completeOnly ? " WHERE isComplete <> 0" : "") +
                                " ORDER BY id");
        }

        public Todo Find(int id)
        {
            using (SqliteConnection c = Open())
                return Query(c, "SELECT id, name, isComplete FROM Todo WHERE id = ?", id).FirstOrDefault();
        }

        public Todo Add(Todo item)
        {
            using (SqliteConnection c = Open())
            using (DbCommand cmd = Command(c, "INSERT INTO Todo (name, isComplete) VALUES (?, ?); SELECT last_insert_rowid()",
                                           new object[] { item.Name, item.IsComplete ? 1 : 0 }))
                return new Todo { Id = Convert.ToInt32(cmd.ExecuteScalar()), Name = item.Name, IsComplete = item.IsComplete };
        }

        public bool Update(int id, Todo item)
        {
            using (SqliteConnection c = Open())
                return Execute(c, "UPDATE Todo SET name = ?, isComplete = ? WHERE id = ?", item.Name,
                               item.IsComplete ? 1 : 0, id) == 1;
        }

        public bool Delete(int id)
        {
            using (SqliteConnection c = Open()) return Execute(c, "DELETE FROM Todo WHERE id = ?", id) == 1;
        }

        public void Dispose() {}
    }
}
