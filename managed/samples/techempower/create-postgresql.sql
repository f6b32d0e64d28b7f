-- The TechEmpower tables for PostgreSQL, in the database the ODBC connection string names:
--   createdb hello_world && psql -d hello_world -f create-postgresql.sql
-- (The SQLite file the sample creates itself holds the same.)
CREATE TABLE world (id integer PRIMARY KEY, randomnumber integer NOT NULL);
INSERT INTO world SELECT i, 1 + floor(random() * 10000)::integer FROM generate_series(1, 10000) AS i;
CREATE TABLE fortune (id integer PRIMARY KEY, message varchar(2048) NOT NULL);
INSERT INTO fortune (id, message) VALUES
 (1, 'fortune: No such file or directory'),
 (2, 'A computer scientist is someone who fixes things that aren''t broken.'),
 (3, 'After enough decimal places, nobody gives a damn.'),
 (4, 'A bad random number generator: 1, 1, 1, 1, 1, 4.33e+67, 1, 1, 1'),
 (5, 'A computer program does what you tell it to do, not what you want it to do.'),
 (6, 'Emacs is a nice operating system, but I prefer UNIX. — Tom Christaensen'),
 (7, 'Any program that runs right is obsolete.'),
 (8, 'A list is only as strong as its weakest link. — Donald Knuth'),
 (9, 'Feature: A bug with seniority.'),
 (10, 'Computers make very fast, very accurate mistakes.'),
 (11, '<script>alert("This should not be displayed in a browser alert box.");</script>'),
 (12, 'フレームワークのベンチマーク');
