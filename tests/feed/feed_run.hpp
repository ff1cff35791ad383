#pragma once
// Runs a brimora-feed command line in-process and keeps what it printed.

#include <initializer_list>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "feed.hpp"

namespace brimora::test {

struct FeedRun {
    int status = -1;
    std::string out;
    std::string err;
};

inline FeedRun run_feed(std::initializer_list<std::string_view> args) {
    const std::vector<std::string_view> list(args);
    std::ostringstream out;
    std::ostringstream err;
    FeedRun run;
    run.status = feed::run(list, out, err);
    run.out = out.str();
    run.err = err.str();
    return run;
}

}  // namespace brimora::test
