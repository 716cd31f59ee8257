#pragma once
// The only way the engine reaches the person in front of it. Front ends (the console,
// the Qt window, a scripted stand-in in the tests) implement it. All texts are UTF-8.

#include <cstdint>
#include <memory>
#include <string>

namespace pupdate {

// A progress indication: one line of text and a bar, shown from creation until it is
// released (destroyed). close() hides it early; releasing a closed one changes nothing.
class Progress {
public:
    virtual ~Progress() = default;
    virtual void setText(const std::string& text) = 0;
    virtual void setMaximum(std::int64_t maximum) = 0;
    virtual void setPosition(std::int64_t position) = 0;
    virtual void setBarVisible(bool visible) = 0;
    // Makes the last changes visible at once: the engine blocks the user-interface
    // thread while it works, so nothing is painted otherwise.
    virtual void repaint() = 0;
    virtual void close() = 0;
};

// A progress indication that shows nothing, for work nobody watches (a plan, a benchmark).
class SilentProgress : public Progress {
public:
    void setText(const std::string&) override {}
    void setMaximum(std::int64_t) override {}
    void setPosition(std::int64_t) override {}
    void setBarVisible(bool) override {}
    void repaint() override {}
    void close() override {}
};

// What a message offers beyond its own text: a short account shown with it, and the
// full text behind it, which the person opens on request. Both empty for a plain message.
struct Details {
    std::string summary;
    std::string text;
    bool empty() const { return summary.empty() && text.empty(); }
};

class Person {
public:
    virtual ~Person() = default;
    // A message box captioned "系统提示" with the information icon and an OK button,
    // offering `details` when there are any.
    virtual void inform(const std::string& text, const Details& details) = 0;
    void inform(const std::string& text) { inform(text, Details{}); }
    // The same box with Yes and No; true only for Yes.
    virtual bool confirm(const std::string& text) = 0;
    // Creates and shows a fresh progress indication.
    virtual std::unique_ptr<Progress> openProgress() = 0;
    // The text of the status bar's second panel, with `detail` (such as the driver's
    // message behind a short reason) available beside it.
    virtual void setStatus(const std::string& text, const std::string& detail) = 0;
    void setStatus(const std::string& text) { setStatus(text, std::string()); }
    // Closes the upgrade window; closing it again changes nothing.
    virtual void closeWindow() = 0;
};

} // namespace pupdate
