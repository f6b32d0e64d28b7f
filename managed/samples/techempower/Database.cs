// The database of the TechEmpower test types, on ADO.NET: SQLite through Mono.Data.Sqlite (an
// embedded file, created and filled on first use) or PostgreSQL through System.Data.Odbc with the
// psqlodbc driver (a database prepared beforehand, see docs). Both providers are plain
// DbConnection/DbCommand, so every query below is written once, with positional '?' parameters,
// which both understand.
//
// ADO.NET calls block, so a handler that uses this class must run on the server's handler pool
// (the default), never inline on a pump worker. Open connections are pooled here, at most
// MaxConnections at once: a request that finds them all busy waits up to WaitMsec for one and
// then fails with TimeoutException (the application answers 503).
using System;
using System.Collections.Concurrent;
using System.Collections.Generic;
using System.Data;
using System.Data.Common;
using System.Data.Odbc;
using System.IO;
using System.Threading;
using Mono.Data.Sqlite;

namespace Vrns.Samples.TechEmpower
{
    // Written as {"id":N,"randomNumber":N}: public properties, camelCase (Vrns.Http.Json).
    public struct World
    {
        public int Id { get; set; }
        public int RandomNumber { get; set; }
    }

    public struct Fortune
    {
        public int Id;
        public string Message;
    }

    // One open connection with its prepared commands, used by one request at a time.
    sealed class DbSession : IDisposable
    {
        public readonly DbConnection Connection;
        public readonly DbCommand SelectWorld, UpdateWorld, SelectFortunes;

        public DbSession(DbConnection connection)
        {
            Connection = connection;
            SelectWorld = Command("SELECT id, randomNumber FROM World WHERE id = ?", 1);
            UpdateWorld = Command("UPDATE World SET randomNumber = ? WHERE id = ?", 2);
            SelectFortunes = Command("SELECT id, message FROM Fortune", 0);
        }

        DbCommand Command(string sql, int parameters)
        {
            DbCommand c = Connection.CreateCommand();
            c.CommandText = sql;
            for (int i = 0; i < parameters; i++) {
                DbParameter p = c.CreateParameter();
                p.DbType = DbType.Int32;
                c.Parameters.Add(p);
            }
            c.Prepare();
            return c;
        }

        public void Dispose()
        {
            SelectWorld.Dispose();
            UpdateWorld.Dispose();
            SelectFortunes.Dispose();
            Connection.Dispose();
        }
    }

    public sealed class Database : IDisposable
    {
        public const int WorldRows = 10000;
        public const int DefaultMaxConnections = 32;
        public const int WaitMsec = 10000;
        // How long SQLite waits for another connection's write lock before it fails a statement.
        const int SqliteBusyMsec = 10000;

        readonly Func<DbConnection> open;
        readonly ConcurrentBag<DbSession> idle = new ConcurrentBag<DbSession>();
        readonly SemaphoreSlim slots;
        // SQLite takes one writer at a time, and a writer that finds the file locked polls for it
        // in sleeps of up to 100 ms: writers queue here instead, each waiting at most WaitMsec.
        // Null for a database server, which locks rows itself.
        readonly SemaphoreSlim writers;
        [ThreadStatic] static Random random;

        public readonly string Kind;

        Database(string kind, Func<DbConnection> open, int maxConnections)
        {
            Kind = kind;
            this.open = open;
            slots = new SemaphoreSlim(maxConnections, maxConnections);
            if (kind == "sqlite") writers = new SemaphoreSlim(1, 1);
        }

        // A SQLite file, created with the test types' tables and rows when it has none.
        public static Database Sqlite(string path, int maxConnections = DefaultMaxConnections)
        {
            // Mono.Data.Sqlite sets the journal mode at every open (DELETE unless the string names
            // one): WAL lets readers go on while one connection writes, and with it NORMAL syncs
            // at checkpoints, not at every commit (a commit survives the process's crash; only a
            // power loss can take the last ones back).
            string cs = "Data Source=" + Path.GetFullPath(path) + ";Version=3;Pooling=False;Journal Mode=WAL;Synchronous=Normal";
            var db = new Database("sqlite", () => {
                var c = new SqliteConnection(cs);
                c.Open();
                Execute(c, "PRAGMA busy_timeout = " + SqliteBusyMsec);
                return c;
            }, maxConnections);
            using (var c = new SqliteConnection(cs)) {
                c.Open();
                CreateSqliteTables(c);
            }
            return db;
        }

        // PostgreSQL (or any database with the two tables) through an ODBC connection string,
        // e.g. "Driver={PostgreSQL Unicode};Server=127.0.0.1;Port=5432;Database=hello_world;Uid=u;Pwd=p".
        public static Database Odbc(string connectionString, int maxConnections = DefaultMaxConnections)
        {
            var db = new Database("odbc", () => {
                var c = new OdbcConnection(connectionString);
                c.Open();
                return c;
            }, maxConnections);
            db.Return(db.Rent());  // fails now, at start-up, when the database cannot be reached
            return db;
        }

        static void Execute(DbConnection c, string sql)
        {
            using (DbCommand cmd = c.CreateCommand()) {
                cmd.CommandText = sql;
                cmd.ExecuteNonQuery();
            }
        }

        static readonly string[] FortuneMessages = {
            "fortune: No such file or directory",
            "A computer scientist is someone who fixes things that aren't broken.",
            "After enough decimal places, nobody gives a damn.",
            "A bad random number generator: 1, 1, 1, 1, 1, 4.33e+67, 1, 1, 1",
            "A computer program does what you tell it to do, not what you want it to do.",
            "Emacs is a nice operating system, but I prefer UNIX. \u2014 Tom Christaensen",
            "Any program that runs right is obsolete.",
            "A list is only as strong as its weakest link. \u2014 Donald Knuth",
            "Feature: A bug with seniority.",
            "Computers make very fast, very accurate mistakes.",
            "<script>alert(\"This should not be displayed in a browser alert box.\");</script>",
            "\u30d5\u30ec\u30fc\u30e0\u30ef\u30fc\u30af\u306e\u30d9\u30f3\u30c1\u30de\u30fc\u30af",
        };

        static void CreateSqliteTables(SqliteConnection c)
        {
            using (DbCommand count = c.CreateCommand()) {
                count.CommandText = "SELECT count(*) FROM sqlite_master WHERE name = 'World'";
                if (Convert.ToInt32(count.ExecuteScalar()) != 0) return;
            }
            using (SqliteTransaction t = c.BeginTransaction()) {
                Execute(c, "CREATE TABLE World (id INTEGER PRIMARY KEY, randomNumber INTEGER NOT NULL)");
                Execute(c, "CREATE TABLE Fortune (id INTEGER PRIMARY KEY, message TEXT NOT NULL)");
                var r = new Random();
                using (DbCommand insert = c.CreateCommand()) {
                    insert.CommandText = "INSERT INTO World (id, randomNumber) VALUES (?, ?)";
                    var id = new SqliteParameter(DbType.Int32);
                    var number = new SqliteParameter(DbType.Int32);
                    insert.Parameters.Add(id);
                    insert.Parameters.Add(number);
                    for (int i = 1; i <= WorldRows; i++) {
                        id.Value = i;
                        number.Value = r.Next(1, WorldRows + 1);
                        insert.ExecuteNonQuery();
                    }
                }
                using (DbCommand insert = c.CreateCommand()) {
                    insert.CommandText = "INSERT INTO Fortune (id, message) VALUES (?, ?)";
                    var id = new SqliteParameter(DbType.Int32);
                    var message = new SqliteParameter(DbType.String);
                    insert.Parameters.Add(id);
                    insert.Parameters.Add(message);
                    for (int i = 0; i < FortuneMessages.Length; i++) {
                        id.Value = i + 1;
                        message.Value = FortuneMessages[i];
                        insert.ExecuteNonQuery();
                    }
                }
                t.Commit();
            }
        }

        DbSession Rent()
        {
            if (!slots.Wait(WaitMsec)) throw new TimeoutException("no database connection free within " + WaitMsec + " ms");
            DbSession s;
            if (idle.TryTake(out s)) return s;
            try {
                return new DbSession(open());
            } catch {
                slots.Release();
                throw;
            }
        }

        void Return(DbSession s)
        {
            idle.Add(s);
            slots.Release();
        }

        // A session that failed is closed rather than pooled: its connection may be broken.
        void Discard(DbSession s)
        {
            s.Dispose();
            slots.Release();
        }

        public static int RandomId()
        {
            Random r = random ?? (random = new Random(Guid.NewGuid().GetHashCode()));
            return r.Next(1, WorldRows + 1);
        }

        static World ReadWorld(DbSession s, int id)
        {
            s.SelectWorld.Parameters[0].Value = id;
            using (DbDataReader r = s.SelectWorld.ExecuteReader()) {
                if (!r.Read()) throw new InvalidDataException("no World row " + id);
                return new World { Id = r.GetInt32(0), RandomNumber = r.GetInt32(1) };
            }
        }

        // work on a pooled session; a session whose work failed is closed, not pooled.
        T With<T>(Func<DbSession, T> work)
        {
            DbSession s = Rent();
            T result;
            try {
                result = work(s);
            } catch {
                Discard(s);
                throw;
            }
            Return(s);
            return result;
        }

        // count rows of World at random ids, one query each.
        public World[] RandomWorlds(int count)
        {
            return With(s => {
                var worlds = new World[count];
                for (int i = 0; i < count; i++) worlds[i] = ReadWorld(s, RandomId());
                return worlds;
            });
        }

        // count random rows read one query each, then each given a new random number, written one
        // statement per row in one transaction, in order of id so that two requests updating the
        // same rows never wait for each other in a cycle.
        public World[] UpdateRandomWorlds(int count)
        {
            return With(s => {
                var worlds = new World[count];
                for (int i = 0; i < count; i++) {
                    World w = ReadWorld(s, RandomId());
                    w.RandomNumber = RandomId();
                    worlds[i] = w;
                }
                // Sorted by id and, for a row drawn twice, by draw, so its last draw is written last.
                var order = new int[count];
                for (int i = 0; i < count; i++) order[i] = i;
                Array.Sort(order, (a, b) => worlds[a].Id != worlds[b].Id ? worlds[a].Id.CompareTo(worlds[b].Id) : a.CompareTo(b));
                if (writers != null && !writers.Wait(WaitMsec))
                    throw new TimeoutException("no turn to write within " + WaitMsec + " ms");
                try {
                    using (DbTransaction t = s.Connection.BeginTransaction()) {
                        s.UpdateWorld.Transaction = t;
                        foreach (int i in order) {
                            s.UpdateWorld.Parameters[0].Value = worlds[i].RandomNumber;
                            s.UpdateWorld.Parameters[1].Value = worlds[i].Id;
                            s.UpdateWorld.ExecuteNonQuery();
                        }
                        t.Commit();
                    }
                } finally {
                    if (writers != null) writers.Release();
                }
                s.UpdateWorld.Transaction = null;
                // A row drawn twice was written twice: the answer shows what the last write left.
                var last = new Dictionary<int, int>(count);
                foreach (World w in worlds) last[w.Id] = w.RandomNumber;
                for (int i = 0; i < count; i++) worlds[i] = new World { Id = worlds[i].Id, RandomNumber = last[worlds[i].Id] };
                return worlds;
            });
        }

        public List<Fortune> Fortunes()
        {
            return With(s => {
                var list = new List<Fortune>(16);
                using (DbDataReader r = s.SelectFortunes.ExecuteReader())
                    while (r.Read()) list.Add(new Fortune { Id = r.GetInt32(0), Message = r.GetString(1) });
                return list;
            });
        }

        // Every World row, for the cache of the cached-queries type.
        public World[] AllWorlds()
        {
            return With(s => {
                var all = new World[WorldRows + 1];
                using (DbCommand c = s.Connection.CreateCommand()) {
                    c.CommandText = "SELECT id, randomNumber FROM World";
                    using (DbDataReader r = c.ExecuteReader())
                        while (r.Read()) {
                            int id = r.GetInt32(0);
                            if (id >= 1 && id <= WorldRows) all[id] = new World { Id = id, RandomNumber = r.GetInt32(1) };
                        }
                }
                return all;
            });
        }

        public void Dispose()
        {
            DbSession s;
            while (idle.TryTake(out s)) s.Dispose();
        }
    }
}
