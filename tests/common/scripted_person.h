#pragma once
// A person whose answers are scripted and whose every observation is recorded, for tests
// of the engine without a front end. Not a mock of anything real: it stands for the
// human at the screen.

#include "person.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace pupdate::testing {

class ScriptedPerson : public Person {
public:
    // What the person saw, in order: "inform:<text>" (followed by "inform-summary:<s>" and
    // "inform-details:<d>" when the message offers details), "confirm:<text>",
    // "status:<text>" (followed by "status-detail:<d>" when there is one), "close",
    // "progress:open", "progress:text:<t>", "progress:max:<n>",
    // "progress:pos:<n>", "progress:bar:<0|1>", "progress:repaint", "progress:close",
    // "progress:release".
    std::vector<std::string> events;
    bool answerYes = true;
    int windowCloses = 0;
    int openProgressCount = 0; // progress indications currently alive

    using Person::inform;
    using Person::setStatus;
    void inform(const std::string& text, const Details& details) override;
    bool confirm(const std::string& text) override {
        events.push_back("confirm:" + text);
        return answerYes;
    }
    std::unique_ptr<Progress> openProgress() override;
    void setStatus(const std::string& text, const std::string& detail) override;
    void closeWindow() override {
        events.push_back("close");
        ++windowCloses;
    }

    // Events with the given prefix, prefix removed.
    std::vector<std::string> eventsWithPrefix(const std::string& prefix) const;
    bool saw(const std::string& event) const;
    // True when all the person saw was a status with a detail beside it, as after a
    // failed connection: no message, no progress.
    bool toldOnlyTheStatus() const;
};

} // namespace pupdate::testing
