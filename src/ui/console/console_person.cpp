#include "console_person.h"

#include "text.h"

#include <chrono>
#include <string>

namespace pupdate {

namespace {

constexpr const char* kCaption = "系统提示";

// Progress on standard error. On a terminal one line is redrawn in place, at most a few
// times a second unless the text changes; otherwise a line is written when the text
// changes and a summary when the indication closes, never one per statement.
class ConsoleProgress : public Progress {
public:
    ConsoleProgress(std::ostream& err, bool terminal) : m_err(err), m_terminal(terminal) {}
    ~ConsoleProgress() override { close(); }

    void setText(const std::string& text) override {
        if (text == m_text) {
            return;
        }
        m_text = text;
        if (m_terminal) {
            draw();
        } else {
            m_err << m_text << '\n' << std::flush;
        }
    }
    void setMaximum(std::int64_t maximum) override { m_maximum = maximum; }
    void setPosition(std::int64_t position) override { m_position = position; }
    void setBarVisible(bool visible) override { m_barVisible = visible; }
    void repaint() override {
        if (!m_terminal || m_closed) {
            return;
        }
        const auto now = std::chrono::steady_clock::now();
        if (now - m_lastDraw >= std::chrono::milliseconds(100) || m_position == m_maximum) {
            draw();
        }
    }
    void close() override {
        if (m_closed) {
            return;
        }
        m_closed = true;
        if (m_terminal) {
            draw();
            m_err << '\n' << std::flush;
        } else if (m_barVisible && m_maximum > 0) {
            m_err << m_text << ' ' << m_position << '/' << m_maximum << '\n' << std::flush;
        }
    }

private:
    void draw() {
        m_lastDraw = std::chrono::steady_clock::now();
        m_err << '\r' << m_text;
        if (m_barVisible && m_maximum > 0) {
            m_err << ' ' << m_position << '/' << m_maximum;
        }
        m_err << "\x1b[K" << std::flush;
    }

    std::ostream& m_err;
    bool m_terminal;
    bool m_closed = false;
    bool m_barVisible = true;
    std::string m_text;
    std::int64_t m_maximum = 0;
    std::int64_t m_position = 0;
    std::chrono::steady_clock::time_point m_lastDraw{};
};

} // namespace

ConsolePerson::ConsolePerson(std::istream& in, std::ostream& out, std::ostream& err,
                             bool errIsTerminal, bool echoAnswer)
    : m_in(in), m_out(out), m_err(err), m_errIsTerminal(errIsTerminal), m_echoAnswer(echoAnswer) {}

void ConsolePerson::inform(const std::string& text, const Details& details) {
    m_out << kCaption << ": " << text << '\n' << std::flush;
    // The records themselves are in the log; the account of them follows the message.
    if (!details.summary.empty()) {
        m_err << details.summary << '\n' << std::flush;
    }
}

bool ConsolePerson::confirm(const std::string& text) {
    m_out << kCaption << ": " << text << " [Y/N] " << std::flush;
    std::string answer;
    const bool answered = static_cast<bool>(std::getline(m_in, answer));
    if (!answered || m_echoAnswer) {
        m_out << (answered ? answer : std::string()) << '\n' << std::flush;
    }
    return answered && isYesAnswer(answer);
}

std::unique_ptr<Progress> ConsolePerson::openProgress() {
    return std::make_unique<ConsoleProgress>(m_err, m_errIsTerminal);
}

void ConsolePerson::setStatus(const std::string& text, const std::string& detail) {
    m_out << "状态: " << text << '\n' << std::flush;
    if (!detail.empty()) {
        m_err << detail << '\n' << std::flush;
    }
}

bool isYesAnswer(std::string_view answer) {
    const std::string_view trimmed = trimBlanks(answer);
    return trimmed == "Y" || trimmed == "y" || trimmed == "yes" || trimmed == "是";
}

} // namespace pupdate
