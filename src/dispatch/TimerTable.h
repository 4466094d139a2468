#pragma once

#include <functional>
#include <map>
#include <optional>

#include "dispatch/Clock.h"

namespace ostrovane::dispatch {

// Pending deadline callbacks in firing order: by deadline, then by the order
// they were added. Not synchronised: its clock guards it with its own lock.
class TimerTable {
  public:
    struct Key {
        Duration deadline;
        TimerId id;
        bool operator<(const Key& o) const {
            return deadline != o.deadline ? deadline < o.deadline : id < o.id;
        }
    };

    // Ids order equal deadlines; a clock that queues other waiters beside
    // the timers (sleepers) draws their ids from here too.
    TimerId allocateId() { return nextId_++; }

    TimerId add(Duration deadline, std::function<void()> fire) {
        const TimerId id = allocateId();
        timers_.emplace(Key{deadline, id}, std::move(fire));
        deadlines_.emplace(id, deadline);
        return id;
    }

    // False when the timer already fired or never existed.
    bool remove(TimerId id) {
        auto it = deadlines_.find(id);
        if (it == deadlines_.end())
            return false;
        timers_.erase(Key{it->second, id});
        deadlines_.erase(it);
        return true;
    }

    std::optional<Key> earliest() const {
        if (timers_.empty())
            return std::nullopt;
        return timers_.begin()->first;
    }

    // Removes the earliest timer and hands back its callback.
    std::function<void()> takeEarliest() {
        auto first = timers_.begin();
        auto fire = std::move(first->second);
        deadlines_.erase(first->first.id);
        timers_.erase(first);
        return fire;
    }

    std::size_t size() const { return timers_.size(); }

  private:
    std::map<Key, std::function<void()>> timers_;
    std::map<TimerId, Duration> deadlines_;
    TimerId nextId_ = 1;
};

}  // namespace ostrovane::dispatch
