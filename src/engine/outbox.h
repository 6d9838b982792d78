#pragma once

#include <vector>

namespace corvanel {

// What an I/O-free part of the engine has for its driver, queued in order.
// Taking hands out a pointer into the queue, valid until the next push; the
// queue is emptied, not freed, once all are taken, for it fills again with
// every input.
template <typename T> class Outbox {
public:
    void push(T value) { items_.push_back(std::move(value)); }
    bool empty() const { return next_ == items_.size(); }

    // The next value; null once all are taken.
    const T *take()
    {
        if (next_ == items_.size()) {
            items_.clear();
            next_ = 0;
            return nullptr;
        }
        return &items_[next_++];
    }

private:
    std::vector<T> items_;
    size_t next_ = 0;
};

} // namespace corvanel
