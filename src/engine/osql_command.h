#pragma once
// The command line of a server-side script: the server's osql, run by its command shell
// through master.dbo.xp_cmdshell. The check builds it before anything is changed, the
// server-side runner hands it to the server.

#include <string>
#include <string_view>

namespace pupdate {

// The osql command line handed to master.dbo.xp_cmdshell. Raises std::invalid_argument
// when the database name or the path is not text, or holds a character the server's
// shell would act on where it stands (the path inside double quotes, the name outside),
// or the database name could be taken for more than a name by osql (a blank, ';', ',' or
// a leading '-' or '/').
std::string buildOsqlCommand(std::string_view database, std::string_view path);

} // namespace pupdate
