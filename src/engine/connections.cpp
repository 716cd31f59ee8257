#include "connections.h"

#include "text.h"

#include <cstdlib>
#include <optional>
#include <stdexcept>
#include <utility>

namespace pupdate {

namespace {

// The value of a key in an ADO-style connection string: pairs split at ';', key and
// value at the first '=', blanks around both ignored as the provider ignores them (the
// fixed "password =kp4719 " means the password kp4719), keys compared without letter case.
// The first occurrence counts, so nothing that follows (such as a database name holding
// ';') can override the server or the login given before it.
std::optional<std::string_view> adoValue(std::string_view connStr, std::string_view key) {
    while (true) {
        const std::size_t end = connStr.find(';');
        const std::string_view pair = connStr.substr(0, end);
        const std::size_t equals = pair.find('=');
        if (equals != std::string_view::npos &&
            equalsIgnoringAsciiCase(trimBlanks(pair.substr(0, equals)), key)) {
            return trimBlanks(pair.substr(equals + 1));
        }
        if (end == std::string_view::npos) {
            return std::nullopt;
        }
        connStr.remove_prefix(end + 1);
    }
}

// A value as it may stand in an ODBC connection string: one that could end the
// attribute, open or close a braced value, or lose its edge blanks is put in braces,
// with every '}' doubled.
std::string odbcValue(std::string_view value) {
    const bool needsBraces = value.find_first_of(";{}=") != std::string_view::npos ||
                             (!value.empty() && (isBlank(value.front()) || isBlank(value.back())));
    if (!needsBraces) {
        return std::string(value);
    }
    std::string quoted = "{";
    for (const char c : value) {
        quoted.push_back(c);
        if (c == '}') {
            quoted.push_back('}');
        }
    }
    quoted.push_back('}');
    return quoted;
}

} // namespace

bool attributesAreWellFormed(std::string_view connStr) {
    while (!connStr.empty()) {
        const std::size_t end = connStr.find(';');
        const std::string_view pair = connStr.substr(0, end);
        if (!trimBlanks(pair).empty() && pair.find('=') == std::string_view::npos) {
            return false;
        }
        if (end == std::string_view::npos) {
            break;
        }
        connStr.remove_prefix(end + 1);
    }
    return true;
}

std::string connStrValue(std::string_view connStr, std::string_view key) {
    return std::string(adoValue(connStr, key).value_or(""));
}

std::string buildConnStr(std::string_view server, std::string_view database) {
    std::string connStr = "Provider=SQLOLEDB.1;user id=";
    connStr += kLoginUser;
    connStr += ";password =";
    connStr += kLoginPassword;
    connStr += " ;Data Source=";
    connStr += trimBlanks(server);
    connStr += ";Initial Catalog=";
    connStr += trimBlanks(database);
    return connStr;
}

std::string odbcTemplate() {
    const char* fromEnvironment = std::getenv("P_UPDATE_ODBC");
    if (fromEnvironment != nullptr && *fromEnvironment != '\0') {
        return fromEnvironment;
    }
    return std::string(defaultOdbcTemplate());
}

std::string toOdbcConnectionString(std::string_view connStr, std::string_view odbcTemplate) {
    std::string server(adoValue(connStr, "Data Source").value_or(""));
    // The provider's names for the local default instance; an ODBC driver needs a host.
    if (equalsIgnoringAsciiCase(server, "(local)") || server == ".") {
        server = "localhost";
    }
    const std::string database(adoValue(connStr, "Initial Catalog").value_or(""));
    const std::string user(adoValue(connStr, "user id").value_or(""));
    const std::string password(adoValue(connStr, "password").value_or(""));

    // One pass over the template, so that a value holding a placeholder's name is not
    // filled in again.
    const std::pair<std::string_view, std::string> fills[] = {
        {"%SERVER%", odbcValue(server)},
        {"%DATABASE%", odbcValue(database)},
        {"%USER%", odbcValue(user)},
        {"%PASSWORD%", odbcValue(password)},
    };
    std::string result;
    std::size_t at = 0;
    while (at < odbcTemplate.size()) {
        bool filled = false;
        if (odbcTemplate[at] == '%') {
            for (const auto& [placeholder, value] : fills) {
                if (odbcTemplate.substr(at, placeholder.size()) == placeholder) {
                    result += value;
                    at += placeholder.size();
                    filled = true;
                    break;
                }
            }
        }
        if (!filled) {
            result.push_back(odbcTemplate[at]);
            ++at;
        }
    }
    return result;
}

void Connections::open(std::string_view server, std::string_view database,
                       std::string_view odbcTemplate) {
    m_connStr = buildConnStr(server, database);
    const std::string odbcConnectionString = toOdbcConnectionString(m_connStr, odbcTemplate);
    m_openedDatabase.clear();
    m_adoconn.close();
    // A name holding ';' would connect to what comes before it while the rest of the
    // run used the whole name: refused like any connection that cannot be made.
    if (!attributesAreWellFormed(m_connStr)) {
        throw std::invalid_argument("connection string attribute without a value");
    }
    m_adoconn.open(odbcConnectionString);
    m_adoconn1.close();
    m_adoconn1.open(odbcConnectionString);
    m_openedDatabase = connStrValue(m_connStr, "Initial Catalog");
}

void Connections::probeVersion() {
    m_adoconn.queryFirstRow(std::string(kVersionProbe));
}

} // namespace pupdate
