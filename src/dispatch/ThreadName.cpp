#include "dispatch/ThreadName.h"

#include <pthread.h>

#include <string>

namespace ostrovane::dispatch {

void nameCurrentThread(std::string_view label) {
    constexpr std::size_t kLimit = 15;
    if (label.size() > kLimit) {
        if (const auto dot = label.rfind('.'); dot != std::string_view::npos)
            label = label.substr(dot + 1);
        if (label.size() > kLimit)
            label = label.substr(label.size() - kLimit);
    }
    pthread_setname_np(pthread_self(), std::string(label).c_str());
}

}  // namespace ostrovane::dispatch
