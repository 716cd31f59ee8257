#!/usr/bin/env bash
# The program's main job on an embedded database: builds P_Update (only the program, not
# the tests), lays out a sample update package around it, and runs the upgrade unattended
# in the console against a SQLite database reached through the SQLite3 ODBC driver,
# answering Yes.
#
#   scripts/demo.sh [--windows [--window]]
#
# --windows: the same with the Windows console program, P_Update.com, cross-built and run
# under Wine (build-windows' prefix); Wine's odbc32 hands its ODBC calls to this machine's
# unixODBC and SQLite3 driver, and it is given the installation folder by its Windows name.
# --windows --window: the window program, P_Update.exe, on the display in DISPLAY instead,
# started with the installation folder only, so that the operator drives the upgrade
# window: "..." puts the demo's installation folder in, then 确定 and 是.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
windows=""
window=""
if [ "${1:-}" = "--windows" ]; then
    windows=1
    if [ "${2:-}" = "--window" ]; then
        window=1
        if [ -z "${DISPLAY:-}" ]; then
            echo "demo.sh --windows --window: no display (DISPLAY) to show the window on" >&2
            exit 1
        fi
    fi
    # Only the program the demo runs is built, not the test programs.
    if [ -n "$window" ]; then
        "$root/scripts/build-windows.sh" P_Update_window
        program="$root/build-windows/P_Update.exe"
    else
        "$root/scripts/build-windows.sh" P_Update
        program="$root/build-windows/P_Update.com"
    fi
    wine="$root/build-windows/wine-run"
else
    "$root/scripts/build.sh" P_Update
    program="$root/build/P_Update"
fi

demo="$root/demo"
package="$demo/package"
rm -rf "$demo"
mkdir -p "$package/UpdatePro/bin" "$package/UpdateSql" "$demo/install/bin" "$demo/db"
cp "$program" "$package/"

# The package files are written the way package authors write them: GBK, CR LF.
gbk() { iconv -f UTF-8 -t GBK | sed 's/$/\r/'; }

gbk > "$package/Update.ini" <<'INI'
; 升级包设置
[Updatefile]
顺序=01_salary.sql:IsAccess,02_schedule.sql:IsAccess
INI

printf 'version 3.1\n' > "$package/UpdatePro/readme.txt"
printf 'salary module 3.1\n' > "$package/UpdatePro/bin/salary.dll"
printf 'salary module 3.0\n' > "$demo/install/bin/salary.dll"

gbk > "$package/UpdateSql/01_salary.sql" <<'SQL'
update gs_ver set verdate = '2026-12-08'
insert into employee (id, name, salary) values (3, '王芳', 6800)
update employee set salary = salary + 500 where name = '张伟'
insert into no_such_table values (1)
SQL
gbk > "$package/UpdateSql/02_schedule.sql" <<'SQL'
create table shift (id integer primary key, name text, starts text)
insert into shift values (1, '早班', '08:30')
insert into shift values (2, '晚班', '20:00')
SQL

sqlite3 "$demo/db/zeltinfo.db" <<'SQL'
create table gs_ver (verdate text);
insert into gs_ver values ('2025-06-30');
create table employee (id integer primary key, name text, salary integer);
insert into employee values (1, '张伟', 8000), (2, '李娜', 7500);
SQL

echo "== Before: database $demo/db/zeltinfo.db"
sqlite3 -header -column "$demo/db/zeltinfo.db" 'select * from gs_ver; select * from employee;'
echo
# The database is opened by the host's driver, so by its Unix name on both.
export P_UPDATE_ODBC="Driver={SQLite3};Database=$demo/db/%DATABASE%.db"
set +e
if [ -n "$windows" ]; then
    "$wine" --start-server
    trap '"$wine" --stop-server' EXIT
    install="$("$wine" winepath -w "$demo/install" | tr -d '\r')"
    if [ -n "$window" ]; then
        # Wine's own texts Chinese too (是(Y)/否(N)).
        export P_UPDATE_WINE_LOCALE=zh_CN.UTF-8
        echo "== wine P_Update.exe \"$install\"   (press ... for the installation folder, then 确定 and 是)"
        "$wine" "$package/P_Update.exe" "$install"
    else
        echo "== wine P_Update.com \"$install\" zeltinfo   (answering Y)"
        echo Y | P_UPDATE_UI=console "$wine" "$package/P_Update.com" "$install" zeltinfo
    fi
    status=$?
else
    echo "== P_Update \"$demo/install\" zeltinfo   (answering Y)"
    echo Y | P_UPDATE_UI=console "$package/P_Update" "$demo/install" zeltinfo
    status=$?
fi
set -e
echo "== exit status: $status"
echo
echo "== After: installation folder"
find "$demo/install" -type f | sort | while read -r f; do printf '%s: %s\n' "${f#$demo/}" "$(cat "$f")"; done
echo
echo "== After: database"
sqlite3 -header -column "$demo/db/zeltinfo.db" \
    'select * from gs_ver; select * from employee; select * from shift;'
echo
echo "== ReException.Log (GBK, shown as UTF-8)"
if [ -f "$package/ReException.Log" ]; then
    iconv -f GBK -t UTF-8 "$package/ReException.Log" | tr -d '\r'
else
    echo "(none)"
fi
exit "$status"
