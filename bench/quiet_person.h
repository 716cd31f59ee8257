#pragma once
// The person in front of the benchmarked runs: answers Yes, reads nothing, and shows
// progress the way the front end being measured does.

#include "person.h"

#include <memory>
#include <string>

namespace pupdate::bench {

// A progress indication that only keeps its values, for runs that measure something else.
class SilentProgress : public Progress {
public:
    void setText(const std::string&) override {}
    void setMaximum(std::int64_t) override {}
    void setPosition(std::int64_t) override {}
    void setBarVisible(bool) override {}
    void repaint() override {}
    void close() override {}
};

template <typename ProgressType> class QuietPerson : public Person {
public:
    void inform(const std::string&, const Details&) override {}
    bool confirm(const std::string&) override { return true; }
    std::unique_ptr<Progress> openProgress() override { return std::make_unique<ProgressType>(); }
    void setStatus(const std::string&, const std::string&) override {}
    void closeWindow() override {}
};

} // namespace pupdate::bench
