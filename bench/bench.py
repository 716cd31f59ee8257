#!/usr/bin/env python3
"""Benchmarks of P_Update, each a ratio measured side by side in one run.

Called by bench/run.sh after the build; prints a Markdown table. Every figure is the
median of --runs runs; the runs of the things compared are interleaved, so that a busy
machine slows them alike. Nothing here is a test: no figure fails the run.

  line mode   the engine (P_Update, unattended, console with no terminal) applying a
              script of one-line statements (GBK, and the Chinese one also as UTF-8
              without a mark), against (a) plain_odbc, the same statements
              through the same driver in one transaction and nothing else, and (b) the
              database's own command-line tool reading the script in one transaction
  progress    one run with the Qt progress window on the offscreen platform, against the
              console front end writing to no terminal; and both on a script of ten
              lines, for the fixed cost of the windows
  memory      peak resident memory of P_Update applying a 1 GiB line-mode script
  copy        CopyProgramFiles against cp -r, for 10,000 small files in nested folders
              (into an empty folder and over an installed copy of them) and for one
              1 GiB file
  entries     P_Update on update lists of 1,000 to 8,000 entries, each a one-line
              script of its own: the time per entry must not grow with the list
  check       P_Update_check on the 8,000-entry package, against the run's own check
              of it alone (check_bench: Update.ini and CheckUpdatePackage)
  long        the same two on an update list of 2,000,000 entries naming one script:
              time and peak memory an entry
"""

import argparse
import os
import pwd
import shutil
import socket
import sqlite3
import statistics
import subprocess
import sys
import tempfile
import time

KIB = 1024
MIB = 1024 * KIB
GIB = 1024 * MIB

ORDER_KEY = "顺序"
MEASURED = None  # the launcher that measures, set from --build


# ------------------------------------------------------------------------ running


class Measured:
    def __init__(self, seconds, peak_kib, status):
        self.seconds = seconds
        self.peak_kib = peak_kib
        self.status = status


def measure(argv, env=None, stdin_text="", out_path=os.devnull):
    """Runs a program to its end: wall time and peak resident memory of that process,
    taken by the small launcher `measured` (see measured.c for why)."""
    with tempfile.TemporaryFile() as stdin, open(out_path, "wb") as out, \
            tempfile.NamedTemporaryFile("r") as report:
        stdin.write(stdin_text.encode())
        stdin.seek(0)
        subprocess.run([MEASURED, report.name] + argv, stdin=stdin, stdout=out,
                       stderr=subprocess.STDOUT, env=env, check=True)
        seconds, peak_kib, status = report.read().split()
    return Measured(float(seconds), int(peak_kib), int(status))


def must(measured, what, log=None):
    if measured.status != 0:
        detail = ""
        if log and os.path.exists(log):
            with open(log, "rb") as f:
                detail = f.read()[-2000:].decode(errors="replace")
        sys.exit(f"{what} failed with status {measured.status}\n{detail}")
    return measured


def human(size):
    return f"{size / GIB:g} GiB" if size >= GIB else f"{size / MIB:g} MiB"


def median(values):
    return statistics.median(values)


def run_env(extra):
    env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
    env.update(extra)
    return env


# ------------------------------------------------------------------------ scripts


def statement(workload, i):
    """Line i of a workload; plain_odbc makes the same text (checked by --print)."""
    cents = (i * 7919) % 100000
    amount = f"{cents // 100}.{cents % 100:02d}"
    if workload == "insert":
        return f"insert into bench_t (id, name, amount) values ({i}, 'employee {i}', {amount})"
    if i % 2 == 0:
        return f"insert into bench_t (id, name, amount) values ({i}, '员工{i} 基本工资', {amount})"
    return f"update bench_t set name = '人力资源部 {i}', amount = amount + 1 where id = {i - 1}"


def write_scripts(folder, workload, rows, plain_odbc, encoding="gbk"):
    """The engine's script (GBK or UTF-8 without a mark, CR LF) and the native tools'
    scripts (with semicolons)."""
    lines = [statement(workload, i) for i in range(rows)]
    printed = subprocess.run([plain_odbc, "--print", workload, str(rows)], check=True,
                             capture_output=True).stdout.decode()
    if printed != "".join(line + "\r\n" for line in lines):
        sys.exit("plain_odbc does not make the statements of the engine's script")
    suffix = "" if encoding == "gbk" else "_utf8"
    engine = os.path.join(folder, f"{workload}{suffix}.sql")
    with open(engine, "wb") as f:
        f.write("".join(line + "\r\n" for line in lines).encode(encoding))
    native_utf8 = os.path.join(folder, f"{workload}_native_utf8.sql")
    with open(native_utf8, "wb") as f:
        f.write(("BEGIN;\n" + "".join(line + ";\n" for line in lines) + "COMMIT;\n").encode())
    native_gbk = os.path.join(folder, f"{workload}_native_gbk.sql")
    with open(native_gbk, "wb") as f:
        f.write("".join(line + ";\n" for line in lines).encode("gbk"))
    return engine, native_utf8, native_gbk


def make_package(folder, program, script=None):
    """An update package: the program, Update.ini naming one line-mode script."""
    os.makedirs(folder, exist_ok=True)
    shutil.copy2(program, os.path.join(folder, "P_Update"))
    if script:
        os.makedirs(os.path.join(folder, "UpdateSql"), exist_ok=True)
        name = os.path.basename(script)
        target = os.path.join(folder, "UpdateSql", name)
        if os.path.lexists(target):
            os.remove(target)
        os.link(script, target) if same_device(script, folder) else shutil.copy(script, target)
        with open(os.path.join(folder, "Update.ini"), "wb") as f:
            f.write(f"[Updatefile]\r\n{ORDER_KEY}={name}:IsAccess\r\n".encode("gbk"))
    return folder


def same_device(a, b):
    return os.stat(a).st_dev == os.stat(b).st_dev


# ------------------------------------------------------------------------ databases

SCHEMA = [
    "create table gs_ver (verdate varchar(20))",
    "insert into gs_ver values ('2025-06-30')",
    "create table bench_t (id integer primary key, name varchar(100), amount numeric(12,2))",
]


class SqliteTarget:
    name = "SQLite3 ODBC"

    def __init__(self, work):
        self.folder = os.path.join(work, "sqlite")
        os.makedirs(self.folder)
        self.template = os.path.join(self.folder, "template.db")
        with sqlite3.connect(self.template) as db:
            for sql in SCHEMA:
                db.execute(sql)
        self.db = os.path.join(self.folder, "bench.db")

    def reset(self):
        shutil.copy(self.template, self.db)

    def odbc_template(self):
        return "Driver={SQLite3};Database=" + self.folder + "/%DATABASE%.db"

    def connection_string(self):
        return "Driver={SQLite3};Database=" + self.db

    def native(self, scripts):
        return ["sh", "-c", f"sqlite3 -bail '{self.db}' < '{scripts[1]}'"], {}

    def native_name(self):
        return "sqlite3 < file (BEGIN ... COMMIT)"

    def rows(self):
        with sqlite3.connect(self.db) as db:
            return db.execute("select count(*), max(name) from bench_t").fetchone()

    def stop(self):
        pass


class PostgresTarget:
    """A private cluster in the work folder, on a free port, run by the postgres user."""

    name = "psqlODBC"

    def __init__(self, work):
        self.folder = os.path.join(work, "pg")
        os.makedirs(self.folder)
        self.as_postgres = []
        if os.geteuid() == 0:
            user = pwd.getpwnam("postgres")
            os.chown(self.folder, user.pw_uid, user.pw_gid)
            self.as_postgres = ["runuser", "-u", "postgres", "--"]
        versions = sorted((d for d in os.listdir("/usr/lib/postgresql") if d.isdigit()), key=int)
        self.bin = f"/usr/lib/postgresql/{versions[-1]}/bin"
        self.data = os.path.join(self.folder, "data")
        self.port = free_port()
        self.running = False
        self.pg([f"{self.bin}/initdb", "-D", self.data, "-U", "postgres", "-E", "UTF8",
                 "--locale=C", "--auth-local=trust", "--auth-host=scram-sha-256"])
        with open(os.path.join(self.data, "postgresql.conf"), "a") as conf:
            conf.write(f"\nlisten_addresses = '127.0.0.1'\nport = {self.port}\n"
                       f"unix_socket_directories = '{self.folder}'\n")
        self.pg([f"{self.bin}/pg_ctl", "-D", self.data, "-l",
                 os.path.join(self.folder, "server.log"), "-w", "start"])
        self.running = True
        self.psql("postgres", "create role zelt2002 login password 'kp4719'")
        self.psql("postgres", "create database bench owner zelt2002")
        for sql in SCHEMA:
            self.psql("bench", sql, as_owner=True)

    def pg(self, argv):
        subprocess.run(self.as_postgres + argv, check=True, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, cwd=self.folder)

    def psql(self, database, sql, as_owner=False):
        user = "zelt2002" if as_owner else "postgres"
        return subprocess.run(self.as_postgres + ["psql", "-h", self.folder, "-p", str(self.port),
                                                  "-U", user, "-d", database, "-Atqc", sql],
                              check=True, capture_output=True, cwd=self.folder).stdout.decode()

    def reset(self):
        self.psql("bench", "truncate bench_t", as_owner=True)
        self.psql("bench", "vacuum analyze bench_t", as_owner=True)

    def odbc_template(self):
        # As the tests reach PostgreSQL: statement-level roll-back, so that a failing line
        # does not doom the run's transaction.
        return (f"Driver={{PostgreSQL Unicode}};Servername=127.0.0.1;Port={self.port};"
                "Database=%DATABASE%;UID=%USER%;PWD=%PASSWORD%;Protocol=7.4-2")

    def connection_string(self):
        return (self.odbc_template().replace("%DATABASE%", "bench")
                .replace("%USER%", "zelt2002").replace("%PASSWORD%", "kp4719"))

    def native(self, scripts):
        argv = self.as_postgres + ["psql", "-h", self.folder, "-p", str(self.port), "-U",
                                   "zelt2002", "-d", "bench", "-q", "-X", "-1",
                                   "-v", "ON_ERROR_STOP=1", "-f", scripts[2]]
        return argv, {"PGCLIENTENCODING": "GBK"}

    def native_name(self):
        return "psql -1 -f"

    def rows(self):
        count, name = self.psql("bench", "select count(*), max(name) from bench_t",
                                as_owner=True).strip().split("|")
        return int(count), name

    def stop(self):
        if self.running:
            subprocess.run(self.as_postgres + [f"{self.bin}/pg_ctl", "-D", self.data, "-m",
                                               "fast", "-w", "stop"],
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, cwd=self.folder)
            self.running = False


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


# ------------------------------------------------------------------------ benchmarks


def expected_rows(workload, rows):
    if workload == "insert":
        return rows, max((f"employee {i}" for i in range(rows)))
    names = [f"员工{i} 基本工资" if i % 2 == 0 else "" for i in range(rows)]
    updated = [f"人力资源部 {i}" for i in range(1, rows, 2)]
    final = [updated[i // 2] if i + 1 < rows else names[i] for i in range(0, rows, 2)]
    return len(final), max(final)


def engine_logged_errors(log):
    """True when the engine's log holds more than the line naming a script's encoding,
    which a script read as UTF-8 leaves there."""
    if not os.path.exists(log):
        return False
    with open(log, "rb") as f:
        records = [r for r in f.read().decode("gbk").split("\r\n") if r]
    return any(" 编码读取脚本文件: " not in r for r in records)


def line_mode(args, work, target, workload, scripts, results, utf8=False):
    package = make_package(os.path.join(work, f"pkg_{workload}{'_utf8' if utf8 else ''}"),
                           args.program, scripts[0])
    engine_log = os.path.join(work, "engine.log")
    env = run_env({"P_UPDATE_UI": "console", "P_UPDATE_ODBC": target.odbc_template()})
    native_argv, native_env = target.native(scripts)
    native_env = run_env(native_env)
    want = expected_rows(workload, args.rows)
    times = {"engine": [], "plain": [], "native": []}
    peak = 0
    for run in range(args.runs):
        order = ["engine", "plain", "native"]
        order = order[run % 3:] + order[:run % 3]
        for what in order:
            target.reset()
            if what == "engine":
                m = must(measure([os.path.join(package, "P_Update"),
                                  os.path.join(package, "install"), "bench"], env=env,
                                 stdin_text="y\n", out_path=engine_log),
                         f"P_Update on {target.name}", engine_log)
                peak = max(peak, m.peak_kib)
                log = os.path.join(package, "ReException.Log")
                if engine_logged_errors(log):
                    sys.exit(f"the engine logged errors on {target.name}: see {log}")
                if os.path.exists(log):
                    os.remove(log)
            elif what == "plain":
                m = must(measure([args.plain_odbc, target.connection_string(), workload,
                                  str(args.rows)], out_path=engine_log),
                         "plain_odbc", engine_log)
            else:
                m = must(measure(native_argv, env=native_env, out_path=engine_log),
                         target.native_name(), engine_log)
            got = target.rows()
            if tuple(got) != tuple(want):
                sys.exit(f"{what} on {target.name} left {got}, expected {want}")
            times[what].append(m.seconds)
    engine, plain, native = (median(times[k]) for k in ("engine", "plain", "native"))
    label = "plain INSERT" if workload == "insert" else \
        f"INSERT/UPDATE, {'UTF-8' if utf8 else 'GBK'} Chinese"
    results.append({
        "what": f"Line mode, {args.rows:,} statements ({label}), {target.name}",
        "measured": f"engine {engine:.2f} s; (a) plain C {plain:.2f} s; "
                    f"(b) {target.native_name()} {native:.2f} s",
        "ratio": f"{engine / plain:.3f}x (a); {engine / native:.2f}x (b)",
        "goal": "≤ 1.10x (a)",
        "met": engine / plain <= 1.10,
    })
    results.append({"peak": peak})


def progress(args, work, scripts, results):
    """The whole run with each front end, on the benchmark's script and on a script of ten
    lines: the second shows the fixed cost of the windows (creating, exposing, first
    painting and closing them), the first what the bar costs besides."""
    target = SqliteTarget(os.path.join(work, "progress"))
    small_folder = os.path.join(work, "progress_small")
    os.makedirs(small_folder)
    small = write_scripts(small_folder, "insert", 10, args.plain_odbc)
    packages = {
        "big": make_package(os.path.join(work, "pkg_progress"), args.program, scripts[0]),
        "small": make_package(os.path.join(work, "pkg_progress_small"), args.program, small[0]),
    }
    env = run_env({"P_UPDATE_ODBC": target.odbc_template(), "QT_QPA_PLATFORM": "offscreen"})
    times = {(size, mode): [] for size in packages for mode in ("qt", "console")}
    for run in range(args.runs):
        for size, package in packages.items():
            for mode in (["qt", "console"] if run % 2 == 0 else ["console", "qt"]):
                target.reset()
                out = os.path.join(work, "progress.out")
                must(measure([args.progress_bench, mode, package, "bench"], env=env,
                             out_path=out), f"progress_bench {mode}", out)
                with open(out) as f:
                    times[(size, mode)].append(float(f.read().split()[-1]))
    qt, console = median(times[("big", "qt")]), median(times[("big", "console")])
    qt_small, console_small = median(times[("small", "qt")]), median(times[("small", "console")])
    results.append({
        "what": f"Progress cost, {args.rows:,} INSERT, SQLite3 ODBC",
        "measured": f"Qt progress window (offscreen) {qt:.3f} s; console, no terminal "
                    f"{console:.3f} s; fixed cost (10-line script) {qt_small:.3f} s; "
                    f"{console_small:.3f} s",
        "ratio": f"{qt / console:.3f}x",
        "goal": "≤ 1.05x; fixed ≤ 0.05 s",
        "met": qt / console <= 1.05 and qt_small <= 0.05,
    })


def memory(args, work, results):
    target = SqliteTarget(os.path.join(work, "memory"))
    script = os.path.join(work, "big.sql")
    line = ("select '" + "x" * 1000 + "' as v\r\n").encode()
    lines = args.memory_bytes // len(line) + 1
    with open(script, "wb") as f:
        block = line * 1024
        for _ in range(lines // 1024):
            f.write(block)
        f.write(line * (lines % 1024))
    size = os.path.getsize(script)
    package = make_package(os.path.join(work, "pkg_memory"), args.program, script)
    env = run_env({"P_UPDATE_UI": "console", "P_UPDATE_ODBC": target.odbc_template()})
    target.reset()
    out = os.path.join(work, "memory.log")
    m = must(measure([os.path.join(package, "P_Update"), os.path.join(package, "install"),
                      "bench"], env=env, stdin_text="y\n", out_path=out), "P_Update", out)
    os.remove(script)
    shutil.rmtree(package)
    results.append({
        "what": f"Memory, {human(size)} line-mode script ({lines:,} lines), SQLite3 ODBC",
        "measured": f"peak RSS {m.peak_kib / 1024:.1f} MiB in {m.seconds:.1f} s",
        "ratio": "",
        "goal": "< 64 MiB",
        "met": m.peak_kib < 64 * 1024,
    })


def copy(args, work, results):
    """In the work folder (disk), and where it exists in /dev/shm (memory): on the disk the
    time is mostly the file system's and varies from run to run; in memory what remains
    is the work of the copying program itself."""
    places = [(work, "disk")]
    if os.path.isdir("/dev/shm"):
        shm = tempfile.mkdtemp(prefix="p_update_bench_", dir="/dev/shm")
        places.append((shm, "tmpfs"))
    try:
        for folder, place in places:
            copy_in(args, folder, place, results)
    finally:
        for folder, place in places[1:]:
            shutil.rmtree(folder, ignore_errors=True)


def copy_in(args, work, place, results):
    small = os.path.join(work, "copy_small")
    files = 0
    sizes = 0
    for a in range(10):
        for b in range(10):
            folder = os.path.join(small, "UpdatePro", f"module{a}", f"part{b}")
            os.makedirs(folder)
            for c in range(100):
                size = 100 + (a * 1000 + b * 100 + c) * 37 % 8000
                with open(os.path.join(folder, f"file{c}.dll"), "wb") as f:
                    f.write(os.urandom(size))
                files += 1
                sizes += size
    big = os.path.join(work, "copy_big")
    os.makedirs(os.path.join(big, "UpdatePro"))
    block = os.urandom(MIB)
    with open(os.path.join(big, "UpdatePro", "big.bin"), "wb") as f:
        for _ in range(args.copy_bytes // MIB):
            f.write(block)

    cases = [(small, f"{files:,} small files ({sizes / MIB:.0f} MiB) in 110 nested folders",
              False),
             (small, f"{files:,} small files over an installed copy of them", True),
             (big, f"one {human(args.copy_bytes)} file", False)]
    for package, label, over in cases:
        destination = os.path.join(work, "copy_destination")
        # CopyProgramFiles keeps modification times, as the platform's shell does; cp -r
        # does not, so cp -r --preserve=timestamps is shown beside it.
        source = os.path.join(package, "UpdatePro") + "/."
        commands = {
            "engine": [args.copy_bench, package, destination],
            "cp": ["cp", "-r", source, destination],
            "cp_times": ["cp", "-r", "--preserve=timestamps", source, destination],
        }
        if over:
            # cp -r rewrites each installed file in place; with --remove-destination it
            # makes each anew, as the engine does, without keeping the old one meanwhile.
            commands["cp_new"] = ["cp", "-r", "--remove-destination", source, destination]
        times = {what: [] for what in commands}
        for run in range(args.runs):
            order = list(commands)
            for what in order[run % len(order):] + order[:run % len(order)]:
                shutil.rmtree(destination, ignore_errors=True)
                if over:
                    # Every file replaced: the engine writes each beside the old one and
                    # renames it over; cp rewrites the old one in place.
                    subprocess.run(["cp", "-r", source, destination], check=True)
                os.sync()
                argv = commands[what]
                m = must(measure(argv), what)
                times[what].append(m.seconds)
                log = os.path.join(package, "ReException.Log")
                if os.path.exists(log):
                    sys.exit(f"the copy logged errors: see {log}")
        shutil.rmtree(destination, ignore_errors=True)
        engine, cp, cp_times = (median(times[k]) for k in ("engine", "cp", "cp_times"))
        measured = (f"CopyProgramFiles {engine:.2f} s; cp -r {cp:.2f} s; "
                    f"cp -r --preserve=timestamps {cp_times:.2f} s")
        ratio = f"{engine / cp:.3f}x ({engine / cp_times:.3f}x)"
        if over:
            cp_new = median(times["cp_new"])
            measured += f"; cp -r --remove-destination {cp_new:.2f} s"
            ratio += f"; {engine / cp_new:.3f}x of --remove-destination"
        results.append({
            "what": f"Copy, {label}, {place}",
            "measured": measured,
            "ratio": ratio,
            "goal": "≤ 1.20x",
            "met": engine / cp <= 1.20,
        })
    shutil.rmtree(small)
    shutil.rmtree(big)


def entries_package(folder, program, count):
    """A package whose update list names `count` one-line scripts, each named in another
    letter case than its file, so that every name is matched by folding."""
    make_package(folder, program)
    scripts = os.path.join(folder, "UpdateSql")
    os.makedirs(scripts)
    names = []
    for i in range(count):
        name = f"script_{i:05d}.sql"
        with open(os.path.join(scripts, name), "wb") as f:
            f.write(f"insert into bench_t (id, name, amount) values ({i}, 'e{i}', 1)\r\n"
                    .encode())
        names.append(f"{name.upper()}:IsAccess")
    with open(os.path.join(folder, "Update.ini"), "wb") as f:
        f.write(f"[Updatefile]\r\n{ORDER_KEY}={','.join(names)}\r\n".encode("gbk"))
    return folder


def entries(args, work, results):
    target = SqliteTarget(os.path.join(work, "entries"))
    counts = [1000, 2000, 4000, 8000]
    packages = {n: entries_package(os.path.join(work, f"pkg_entries_{n}"), args.program, n)
                for n in counts}
    env = run_env({"P_UPDATE_UI": "console", "P_UPDATE_ODBC": target.odbc_template()})
    out = os.path.join(work, "entries.log")
    times = {n: [] for n in counts}
    for run in range(args.runs):
        for n in counts[run % len(counts):] + counts[:run % len(counts)]:
            target.reset()
            package = packages[n]
            m = must(measure([os.path.join(package, "P_Update"), os.path.join(package, "install"),
                              "bench"], env=env, stdin_text="y\n", out_path=out),
                     f"P_Update with {n} entries", out)
            if os.path.exists(os.path.join(package, "ReException.Log")):
                sys.exit(f"the engine logged errors: see {package}/ReException.Log")
            if target.rows()[0] != n:
                sys.exit(f"{n} entries left {target.rows()[0]} rows")
            times[n].append(m.seconds)
    for package in packages.values():
        shutil.rmtree(package)
    t = {n: median(times[n]) for n in counts}
    growth = (t[8000] / 8000) / (t[1000] / 1000)
    results.append({
        "what": "Update list of 8,000 entries, each a one-line script named in another letter "
                "case, SQLite3 ODBC",
        "measured": "; ".join(f"{n:,} entries {t[n]:.2f} s" for n in counts),
        "ratio": f"{growth:.2f}x per entry (8,000 against 1,000)",
        "goal": "≤ 1.10x",
        "met": growth <= 1.10,
    })


def check(args, work, results):
    package = entries_package(os.path.join(work, "pkg_check"), args.program, 8000)
    out = os.path.join(work, "check.log")
    programs = {
        "run": [args.check_bench, package],
        "check": [os.path.join(args.build, "P_Update_check"), package],
    }
    times = {name: [] for name in programs}
    for run in range(args.runs):
        for name in (["run", "check"] if run % 2 == 0 else ["check", "run"]):
            m = measure(programs[name], out_path=out)
            # Every name is in another letter case: the check warns (3), the run passes (0).
            if m.status != (3 if name == "check" else 0):
                sys.exit(f"{name} ended with {m.status}: see {out}")
            times[name].append(m.seconds)
    shutil.rmtree(package)
    t = {name: median(times[name]) for name in programs}
    results.append({
        "what": "P_Update_check on a package of 8,000 one-line scripts, against the run's "
                "own check of it",
        "measured": f"check {t['check']:.2f} s; run's check {t['run']:.2f} s",
        "ratio": f"{t['check'] / t['run']:.2f}x",
        "goal": "≤ 2.00x",
        "met": t["check"] / t["run"] <= 2.0,
    })


def long_list(args, work, results):
    """An update list of 2,000,000 entries naming one one-line script: what the list
    costs an entry in the run's own check and in P_Update_check, in time and memory."""
    count = 2_000_000
    folder = os.path.join(work, "pkg_long")
    make_package(folder, args.program)
    os.makedirs(os.path.join(folder, "UpdateSql"))
    with open(os.path.join(folder, "UpdateSql", "a.sql"), "wb") as f:
        f.write(b"insert into bench_t (id, name, amount) values (1, 'a', 1)\r\n")
    with open(os.path.join(folder, "Update.ini"), "wb") as f:
        f.write(f"[Updatefile]\r\n{ORDER_KEY}={','.join(['a.sql:IsAccess'] * count)}\r\n"
                .encode("gbk"))
    out = os.path.join(work, "long_list.log")
    programs = {
        "run": [args.check_bench, folder],
        "check": [os.path.join(args.build, "P_Update_check"), folder],
    }
    times = {name: [] for name in programs}
    peaks = {name: [] for name in programs}
    for run in range(args.runs):
        for name in (["run", "check"] if run % 2 == 0 else ["check", "run"]):
            m = measure(programs[name], out_path=out)
            if m.status != 0:
                sys.exit(f"{name} ended with {m.status}: see {out}")
            times[name].append(m.seconds)
            peaks[name].append(m.peak_kib)
    shutil.rmtree(folder)
    t = {name: median(times[name]) for name in programs}
    per_entry = {name: median(peaks[name]) * 1024 / count for name in programs}
    results.append({
        "what": "Update list of 2,000,000 entries naming one script: the run's own check "
                "(check_bench) and P_Update_check, time and peak memory",
        "measured": f"run's check {t['run']:.2f} s, {per_entry['run']:.0f} bytes an entry; "
                    f"check {t['check']:.2f} s, {per_entry['check']:.0f} bytes an entry",
        "ratio": f"{t['check'] / t['run']:.2f}x (check against the run's check)",
        "goal": "run's check: tens of bytes an entry",
        "met": per_entry["run"] < 100,
    })


# ------------------------------------------------------------------------ main


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", required=True, help="folder of the benchmark build")
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--rows", type=int, default=100_000)
    parser.add_argument("--memory-bytes", type=int, default=GIB)
    parser.add_argument("--copy-bytes", type=int, default=GIB)
    parser.add_argument("--only", nargs="*",
                        default=["sqlite", "postgres", "progress", "memory", "copy",
                                 "entries", "check", "long"])
    args = parser.parse_args()
    global MEASURED
    MEASURED = os.path.join(args.build, "measured")
    args.program = os.path.join(args.build, "P_Update")
    args.plain_odbc = os.path.join(args.build, "plain_odbc")
    args.copy_bench = os.path.join(args.build, "copy_bench")
    args.check_bench = os.path.join(args.build, "check_bench")
    args.progress_bench = os.path.join(args.build, "progress_bench")

    work = tempfile.mkdtemp(prefix="p_update_bench_")
    os.chmod(work, 0o755)
    results = []
    targets = []
    try:
        scripts = {w: write_scripts(work, w, args.rows, args.plain_odbc)
                   for w in ("insert", "mixed")}
        mixed_utf8 = write_scripts(work, "mixed", args.rows, args.plain_odbc, "utf-8")
        for name, kind in (("sqlite", SqliteTarget), ("postgres", PostgresTarget)):
            if name in args.only:
                target = kind(work)
                targets.append(target)
                for workload in ("insert", "mixed", "mixed_utf8"):
                    if workload == "mixed_utf8":
                        line_mode(args, work, target, "mixed", mixed_utf8, results, utf8=True)
                    else:
                        line_mode(args, work, target, workload, scripts[workload], results)
                    print(f"  done: {results[-2]['what']}", file=sys.stderr)
                target.stop()
        if "progress" in args.only and os.path.exists(args.progress_bench):
            progress(args, work, scripts["insert"], results)
            print(f"  done: {results[-1]['what']}", file=sys.stderr)
        if "memory" in args.only:
            memory(args, work, results)
            print(f"  done: {results[-1]['what']}", file=sys.stderr)
        if "copy" in args.only:
            copy(args, work, results)
            print("  done: copy", file=sys.stderr)
        if "entries" in args.only:
            entries(args, work, results)
            print(f"  done: {results[-1]['what']}", file=sys.stderr)
        if "check" in args.only:
            check(args, work, results)
            print(f"  done: {results[-1]['what']}", file=sys.stderr)
        if "long" in args.only:
            long_list(args, work, results)
            print(f"  done: {results[-1]['what']}", file=sys.stderr)
    finally:
        for target in targets:
            target.stop()
        shutil.rmtree(work, ignore_errors=True)

    peaks = [r["peak"] for r in results if "peak" in r]
    rows = [r for r in results if "what" in r]
    print(f"Machine: {os.cpu_count()} cores; median of {args.runs} runs, interleaved.")
    print()
    print("| benchmark | measured | ratio | goal | met |")
    print("|---|---|---|---|---|")
    for r in rows:
        print(f"| {r['what']} | {r['measured']} | {r['ratio']} | {r['goal']} | "
              f"{'yes' if r['met'] else 'NO'} |")
    if peaks:
        print()
        print(f"Peak RSS of the engine in the line-mode runs: {max(peaks) / 1024:.1f} MiB.")


if __name__ == "__main__":
    main()
