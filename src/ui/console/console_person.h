#pragma once
// The console front end: message boxes become lines on standard output, the
// confirmation reads a line from standard input, progress and what a message or the
// status offers beyond its text go to standard error.

#include "person.h"

#include <cstdio>
#include <istream>
#include <ostream>

namespace pupdate {

class ConsolePerson : public Person {
public:
    // `errIsTerminal` chooses a redrawn progress line over one line per change of text;
    // `echoAnswer` repeats the answer read after the question, for input that is not typed
    // at a terminal (which echoes it itself), so that the output reads as a dialogue.
    ConsolePerson(std::istream& in, std::ostream& out, std::ostream& err, bool errIsTerminal,
                  bool echoAnswer = false);

    using Person::inform;
    using Person::setStatus;
    // The message on standard output; its summary, if any, on standard error.
    void inform(const std::string& text, const Details& details) override;
    bool confirm(const std::string& text) override;
    std::unique_ptr<Progress> openProgress() override;
    // The status on standard output; the detail, if any, on standard error.
    void setStatus(const std::string& text, const std::string& detail) override;
    void closeWindow() override {}

private:
    std::istream& m_in;
    std::ostream& m_out;
    std::ostream& m_err;
    bool m_errIsTerminal;
    bool m_echoAnswer;
};

// True for "Y", "y", "yes" and "是", blanks trimmed.
bool isYesAnswer(std::string_view answer);

} // namespace pupdate
