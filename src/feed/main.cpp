// brimora-feed: see feed.hpp and the README's section for release engineers.

#include <iostream>
#include <string_view>
#include <vector>

#include "feed.hpp"

int main(int argc, char** argv) {
    const std::vector<std::string_view> args(argv + 1, argv + argc);
    return brimora::feed::run(args, std::cout, std::cerr);
}
