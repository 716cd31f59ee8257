/*
 * The floor for line mode: executes the benchmark's statements through an ODBC driver in
 * one transaction, and nothing else. The statements are made in memory, already in
 * UTF-16, before the connection is opened: no file is read, nothing is decoded, no
 * progress is shown.
 *
 *   plain_odbc <connection string> <insert|mixed> <count>     executes them
 *   plain_odbc --print <insert|mixed> <count>                 prints them as UTF-8
 *
 * The statements are the lines of the scripts that bench/bench.py writes for the engine,
 * each followed by CR LF as the engine sends them; --print lets bench.py check that.
 */

#include <locale.h>
#include <sql.h>
#include <sqlext.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <uchar.h>

typedef struct {
    SQLWCHAR* text;
    size_t length;
    size_t capacity;
} Text;

static void appendUnits(Text* t, const char16_t* units, size_t count) {
    if (t->length + count + 1 > t->capacity) {
        t->capacity = (t->length + count + 1) * 2;
        t->text = realloc(t->text, t->capacity * sizeof(SQLWCHAR));
        if (t->text == NULL) {
            perror("realloc");
            exit(2);
        }
    }
    for (size_t i = 0; i < count; ++i) {
        t->text[t->length++] = units[i];
    }
    t->text[t->length] = 0;
}

static void appendWide(Text* t, const char16_t* units) {
    size_t count = 0;
    while (units[count] != 0) {
        ++count;
    }
    appendUnits(t, units, count);
}

static void appendNumber(Text* t, long value) {
    char digits[32];
    char16_t units[32];
    const int count = snprintf(digits, sizeof digits, "%ld", value);
    for (int i = 0; i < count; ++i) {
        units[i] = (char16_t)digits[i];
    }
    appendUnits(t, units, (size_t)count);
}

/* An amount with two decimals, e.g. 123.05. */
static void appendAmount(Text* t, long i) {
    const long cents = (i * 7919) % 100000;
    char digits[32];
    char16_t units[32];
    const int count = snprintf(digits, sizeof digits, "%ld.%02ld", cents / 100, cents % 100);
    for (int k = 0; k < count; ++k) {
        units[k] = (char16_t)digits[k];
    }
    appendUnits(t, units, (size_t)count);
}

/* Statement i of a workload. "insert": plain inserts. "mixed": inserts with Chinese
 * literals, every second statement an update of the row before. */
static void statement(Text* t, const char* workload, long i) {
    t->length = 0;
    if (strcmp(workload, "insert") == 0 || i % 2 == 0) {
        appendWide(t, u"insert into bench_t (id, name, amount) values (");
        appendNumber(t, i);
        appendWide(t, strcmp(workload, "insert") == 0 ? u", 'employee " : u", '员工");
        appendNumber(t, i);
        appendWide(t, strcmp(workload, "insert") == 0 ? u"', " : u" 基本工资', ");
        appendAmount(t, i);
        appendWide(t, u")");
    } else {
        appendWide(t, u"update bench_t set name = '人力资源部 ");
        appendNumber(t, i);
        appendWide(t, u"', amount = amount + 1 where id = ");
        appendNumber(t, i - 1);
    }
    appendWide(t, u"\r\n");
}

static void printUtf8(const Text* t) {
    for (size_t i = 0; i < t->length; ++i) {
        const unsigned c = t->text[i];
        if (c < 0x80) {
            putchar((int)c);
        } else if (c < 0x800) {
            putchar((int)(0xC0 | (c >> 6)));
            putchar((int)(0x80 | (c & 0x3F)));
        } else {
            putchar((int)(0xE0 | (c >> 12)));
            putchar((int)(0x80 | ((c >> 6) & 0x3F)));
            putchar((int)(0x80 | (c & 0x3F)));
        }
    }
}

static void fail(SQLSMALLINT type, SQLHANDLE handle, const char* what) {
    SQLCHAR state[6] = "";
    SQLCHAR message[1024] = "";
    SQLINTEGER native = 0;
    SQLSMALLINT length = 0;
    SQLGetDiagRec(type, handle, 1, state, &native, message, sizeof message, &length);
    fprintf(stderr, "%s failed: %s %s\n", what, state, message);
    exit(1);
}

int main(int argc, char** argv) {
    if (argc != 4) {
        fprintf(stderr, "usage: %s <connection string>|--print <insert|mixed> <count>\n", argv[0]);
        return 2;
    }
    const char* workload = argv[2];
    const long count = atol(argv[3]);

    Text* statements = calloc((size_t)count, sizeof(Text));
    for (long i = 0; i < count; ++i) {
        statement(&statements[i], workload, i);
    }
    if (strcmp(argv[1], "--print") == 0) {
        for (long i = 0; i < count; ++i) {
            printUtf8(&statements[i]);
        }
        return 0;
    }

    /* Drivers without wide entry points (SQLite's) get the texts in the locale's code
     * set, as the engine arranges for its connections too. */
    setlocale(LC_CTYPE, "C.UTF-8");
    SQLHENV env;
    SQLHDBC dbc;
    SQLHSTMT stmt;
    SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env);
    SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION, (SQLPOINTER)SQL_OV_ODBC3, 0);
    SQLAllocHandle(SQL_HANDLE_DBC, env, &dbc);
    if (!SQL_SUCCEEDED(SQLDriverConnect(dbc, NULL, (SQLCHAR*)argv[1], SQL_NTS, NULL, 0, NULL,
                                        SQL_DRIVER_NOPROMPT))) {
        fail(SQL_HANDLE_DBC, dbc, "SQLDriverConnect");
    }
    SQLAllocHandle(SQL_HANDLE_STMT, dbc, &stmt);
    SQLSetConnectAttr(dbc, SQL_ATTR_AUTOCOMMIT, (SQLPOINTER)SQL_AUTOCOMMIT_OFF, SQL_IS_UINTEGER);

    long failed = 0;
    for (long i = 0; i < count; ++i) {
        const SQLRETURN rc =
            SQLExecDirectW(stmt, statements[i].text, (SQLINTEGER)statements[i].length);
        if (!SQL_SUCCEEDED(rc) && rc != SQL_NO_DATA) {
            ++failed;
        }
        SQLFreeStmt(stmt, SQL_CLOSE);
    }
    if (!SQL_SUCCEEDED(SQLEndTran(SQL_HANDLE_DBC, dbc, SQL_COMMIT))) {
        fail(SQL_HANDLE_DBC, dbc, "SQLEndTran");
    }
    SQLFreeHandle(SQL_HANDLE_STMT, stmt);
    SQLDisconnect(dbc);
    SQLFreeHandle(SQL_HANDLE_DBC, dbc);
    SQLFreeHandle(SQL_HANDLE_ENV, env);
    if (failed > 0) {
        fprintf(stderr, "%ld statements failed\n", failed);
        return 1;
    }
    return 0;
}
