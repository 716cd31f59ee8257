#include "scripted_person.h"

#include <algorithm>

namespace pupdate::testing {

namespace {

class RecordedProgress : public Progress {
public:
    explicit RecordedProgress(ScriptedPerson& person) : m_person(person) {
        ++m_person.openProgressCount;
        m_person.events.push_back("progress:open");
    }
    ~RecordedProgress() override {
        --m_person.openProgressCount;
        m_person.events.push_back("progress:release");
    }
    void setText(const std::string& text) override { record("text:" + text); }
    void setMaximum(std::int64_t maximum) override { record("max:" + std::to_string(maximum)); }
    void setPosition(std::int64_t position) override { record("pos:" + std::to_string(position)); }
    void setBarVisible(bool visible) override { record(visible ? "bar:1" : "bar:0"); }
    void repaint() override { record("repaint"); }
    void close() override { record("close"); }

private:
    void record(const std::string& what) { m_person.events.push_back("progress:" + what); }
    ScriptedPerson& m_person;
};

} // namespace

void ScriptedPerson::inform(const std::string& text, const Details& details) {
    events.push_back("inform:" + text);
    if (!details.summary.empty()) {
        events.push_back("inform-summary:" + details.summary);
    }
    if (!details.text.empty()) {
        events.push_back("inform-details:" + details.text);
    }
}

void ScriptedPerson::setStatus(const std::string& text, const std::string& detail) {
    events.push_back("status:" + text);
    if (!detail.empty()) {
        events.push_back("status-detail:" + detail);
    }
}

std::unique_ptr<Progress> ScriptedPerson::openProgress() {
    return std::make_unique<RecordedProgress>(*this);
}

std::vector<std::string> ScriptedPerson::eventsWithPrefix(const std::string& prefix) const {
    std::vector<std::string> found;
    for (const auto& event : events) {
        if (event.rfind(prefix, 0) == 0) {
            found.push_back(event.substr(prefix.size()));
        }
    }
    return found;
}

bool ScriptedPerson::saw(const std::string& event) const {
    return std::find(events.begin(), events.end(), event) != events.end();
}

bool ScriptedPerson::toldOnlyTheStatus() const {
    return events.size() == 2 && events[0].rfind("status:", 0) == 0 &&
           events[0].size() > std::string("status:").size() &&
           events[1].rfind("status-detail:", 0) == 0 &&
           events[1].size() > std::string("status-detail:").size();
}

} // namespace pupdate::testing
