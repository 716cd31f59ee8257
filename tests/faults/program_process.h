#pragma once
// The program P_Update started as its own process from an update package, unattended in
// the console, with a limit on how long it may take: a run that outlives the limit is
// killed and reported as hung instead of stalling the test.

#include <chrono>
#include <filesystem>
#include <string>
#include <sys/types.h>
#include <vector>

namespace pupdate::testing {

struct ProgramResult {
    int status = -1;   // exit status; -1 when it did not exit normally
    int signal = 0;    // the signal that ended it, 0 when it exited
    bool hung = false; // killed after the limit
    std::string out;   // standard output
    std::string err;   // standard error
};

// How the program's standard streams are set up besides the defaults (input from a file
// written before the start, output and errors into files).
struct ProgramStreams {
    // Input is a pipe that stays open, empty, until answer() writes to it.
    bool inputLater = false;
    enum class Output {
        File,       // into a file, read by wait()
        Closed,     // no standard output at all
        BrokenPipe, // a pipe whose reading end is closed before the start
    } output = Output::File;
};

class ProgramProcess {
public:
    // `program` is the copy of P_Update inside the package; `odbcTemplate` goes to
    // P_UPDATE_ODBC. Output is kept in files inside `scratch`.
    ProgramProcess(std::filesystem::path program, std::string odbcTemplate,
                   std::filesystem::path scratch);
    ~ProgramProcess();
    ProgramProcess(const ProgramProcess&) = delete;
    ProgramProcess& operator=(const ProgramProcess&) = delete;

    void start(const std::vector<std::string>& arguments, const std::string& input,
               ProgramStreams streams = {});
    // Writes to the input of a start with `inputLater` and closes it.
    void answer(const std::string& input);
    // What the program has written to standard output so far.
    std::string outputSoFar() const;
    bool running();
    // Waits for the end, at most `limit`; kills the process when it is over.
    ProgramResult wait(std::chrono::seconds limit);

private:
    std::filesystem::path m_program;
    std::string m_odbcTemplate;
    std::filesystem::path m_scratch;
    pid_t m_pid = -1;
    int m_input = -1; // writing end of the input pipe
    int m_rawStatus = 0;
    bool m_ended = false;
};

// Runs the program to its end: installation folder and database name as arguments and
// `input` as the operator's answers.
ProgramResult runProgram(const std::filesystem::path& program, const std::string& odbcTemplate,
                         const std::filesystem::path& scratch,
                         const std::vector<std::string>& arguments, const std::string& input,
                         std::chrono::seconds limit = std::chrono::seconds(600));

// Copies the built program into a package folder and returns the copy's path.
std::filesystem::path installProgram(const std::filesystem::path& packageFolder);

} // namespace pupdate::testing
