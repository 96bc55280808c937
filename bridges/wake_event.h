// Wakes a bridge's network thread out of poll(): an eventfd that any thread rings and the
// network thread drains. Owns its descriptor until close() or destruction; the owner closes it
// only once no other thread can ring it any more (after the join and the bus detach).
#pragma once

namespace k5320::bridges {

class WakeEvent {
  public:
    WakeEvent() = default;
    ~WakeEvent() { close(); }
    WakeEvent(const WakeEvent&) = delete;
    WakeEvent& operator=(const WakeEvent&) = delete;

    // false with errno set when the system has no eventfd to give.
    bool open();
    bool is_open() const { return fd_ >= 0; }
    // For poll(): readable while rung and not yet drained.
    int fd() const { return fd_; }
    // Nothing while closed.
    void ring() const;
    void drain() const;
    void close();

  private:
    int fd_ = -1;
};

}  // namespace k5320::bridges
