// A bounded poll for conditions that another thread makes true.
#pragma once

#include <chrono>
#include <thread>

namespace eklv::test {

// Polls until what() holds, for up to bound.
template <class Predicate>
bool Eventually(Predicate what, std::chrono::milliseconds bound = std::chrono::seconds(10)) {
    const auto end = std::chrono::steady_clock::now() + bound;
    while (std::chrono::steady_clock::now() < end) {
        if (what()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return what();
}

}  // namespace eklv::test
