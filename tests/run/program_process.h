#pragma once
// The program P_Update started as its own process from an update package, unattended in
// the console, with a limit on how long it may take: a run that outlives the limit is
// killed and reported as hung instead of stalling the test. One implementation per
// platform (program_process_posix.cpp: fork and exec with the arguments as given;
// program_process_win.cpp: CreateProcessW with a command line quoted for the program's
// own splitting rules).

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace pupdate::testing {

struct ProgramResult {
    int status = -1;   // exit status; -1 when it did not exit normally
    int signal = 0;    // the signal that ended it, 0 when it exited
    bool hung = false; // killed after the limit
    std::string out;   // standard output (line ends as '\n')
    std::string err;   // standard error (line ends as '\n')
};

// How the program's standard streams and its environment are set up besides the
// defaults (input from a file written before the start, output and errors into files).
struct ProgramStreams {
    enum class Input {
        File,  // a file written before the start
        Pipe,  // a pipe, written and closed as soon as the program has started
        Later, // a pipe that stays open, empty, until answer() writes to it
    } input = Input::File;
    enum class Output {
        File,       // into a file, read by wait()
        Closed,     // no standard output at all (POSIX only)
        BrokenPipe, // a pipe whose reading end is closed before the start (POSIX only)
    } output = Output::File;
    // P_UPDATE_UI=console, as for a run that must not show a window; false leaves it
    // unset. No graphical display is offered either way.
    bool consoleRequested = true;
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

    // Starts the program with `arguments` (UTF-8; a double quote in one is passed on as
    // it is, for the program's own rules to act on).
    void start(const std::vector<std::string>& arguments, const std::string& input,
               ProgramStreams streams = {});
    // Writes to the input of a start with Input::Later and closes it.
    void answer(const std::string& input);
    // What the program has written to standard output (standard error) so far.
    std::string outputSoFar() const;
    std::string errorsSoFar() const;
    // Sends a signal to the program (POSIX only: the fault tests' way to interrupt it).
    void sendSignal(int signalNumber);
    bool running();
    // Waits for the end, at most `limit`; kills the process when it is over.
    ProgramResult wait(std::chrono::seconds limit);

private:
    std::filesystem::path m_program;
    std::string m_odbcTemplate;
    std::filesystem::path m_scratch;
    std::intptr_t m_process = -1; // process id (POSIX) or process handle (Windows)
    std::intptr_t m_input = -1;   // writing end of the input pipe
    int m_rawStatus = 0;
    bool m_ended = false;
};

// Runs the program to its end: installation folder and database name as arguments and
// `input` as the operator's answers.
inline ProgramResult runProgram(const std::filesystem::path& program,
                                const std::string& odbcTemplate,
                                const std::filesystem::path& scratch,
                                const std::vector<std::string>& arguments, const std::string& input,
                                std::chrono::seconds limit = std::chrono::seconds(600)) {
    ProgramProcess process(program, odbcTemplate, scratch);
    process.start(arguments, input);
    return process.wait(limit);
}

} // namespace pupdate::testing
