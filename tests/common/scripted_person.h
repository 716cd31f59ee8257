#pragma once
// A person whose answers are scripted and whose every observation is recorded, for tests
// of the engine without a front end. Not a mock of anything real: it stands for the
// human at the screen.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "person.h"

namespace pupdate::testing {

class ScriptedPerson : public Person {
public:
    // What the person saw, in order: "inform:<text>", "confirm:<text>", "status:<text>",
    // "close", "progress:open", "progress:text:<t>", "progress:max:<n>",
    // "progress:pos:<n>", "progress:bar:<0|1>", "progress:repaint", "progress:close",
    // "progress:release".
    std::vector<std::string> events;
    bool answerYes = true;
    int windowCloses = 0;
    int openProgressCount = 0; // progress indications currently alive

    void inform(const std::string& text) override { events.push_back("inform:" + text); }
    bool confirm(const std::string& text) override {
        events.push_back("confirm:" + text);
        return answerYes;
    }
    std::unique_ptr<Progress> openProgress() override;
    void setStatus(const std::string& text) override { events.push_back("status:" + text); }
    void closeWindow() override {
        events.push_back("close");
        ++windowCloses;
    }

    // Events with the given prefix, prefix removed.
    std::vector<std::string> eventsWithPrefix(const std::string& prefix) const;
    bool saw(const std::string& event) const;
};

} // namespace pupdate::testing
