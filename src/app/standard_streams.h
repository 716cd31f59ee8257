#pragma once
// The process's standard input, output and error, made safe before anything is written:
// output that cannot be written (a closed output, a pipe whose reader has gone) is
// dropped instead of ending the program, so the run ends as it would have with a
// terminal and its exit status says what happened to the database. One implementation
// per platform (standard_streams_posix.cpp).

namespace pupdate {

// Call first thing in main, before any file is opened.
void protectStandardStreams();

} // namespace pupdate
