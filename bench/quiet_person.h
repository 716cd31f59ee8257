#pragma once
// The person in front of the benchmarked runs: answers Yes, reads nothing, and shows
// progress the way the front end being measured does.

#include "person.h"

#include <memory>
#include <string>

namespace pupdate::bench {

// Runs that measure something else show no progress.
using SilentProgress = pupdate::SilentProgress;

template <typename ProgressType> class QuietPerson : public Person {
public:
    void inform(const std::string&, const Details&) override {}
    bool confirm(const std::string&) override { return true; }
    std::unique_ptr<Progress> openProgress() override { return std::make_unique<ProgressType>(); }
    void setStatus(const std::string&, const std::string&) override {}
    void closeWindow() override {}
};

} // namespace pupdate::bench
