// Helpers for tests that drive the backplane through the SDK functions, as the driver does.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "backplane/inspect.h"
#include "driver/sdk/tarn_sdk.h"
#include "k5320/dpram_map.h"

namespace k5320::backplane::test {

using namespace std::chrono_literals;
inline constexpr auto kTimeout = std::chrono::seconds(10);  // generous: the machine may be busy
inline constexpr auto kQuietPeriod = 100ms;  // how long a wrong backplane gets to show itself

inline void write_dpram(int slot, uint16_t address, uint8_t value) {
    _trn_slot_outp(slot, dpram::kPortPageRegister, dpram::page_of(address));
    _trn_slot_outp(slot, dpram::window_port_of(address), value);
}

inline int read_dpram(int slot, uint16_t address) {
    _trn_slot_outp(slot, dpram::kPortPageRegister, dpram::page_of(address));
    return _trn_slot_inp(slot, dpram::window_port_of(address));
}

// Puts a fresh 5320 with its interrupt unregistered and disabled into the slot, so a test does
// not depend on what an earlier test in the same process left behind.
inline emulator::Module* fresh_slot(int slot) {
    trn_EnableSlotInterrupt(slot, 0);
    trn_UnregisterSlotInterrupt(slot);
    if (!in_process_host().replace_module(slot, "5320")) return nullptr;
    return in_process_host().module(slot);
}

// What the slot's interrupt routine saw (tests keep theirs alive until the process ends: the
// backplane's interrupt threads outlive static destructors): the answer byte of each call and the
// calling thread.
struct Deliveries {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<int> values;
    std::vector<std::thread::id> threads;

    void add(int value) {
        // Notified under the lock: once a waiter has seen the value, add() is done with this.
        std::lock_guard lock(mutex);
        values.push_back(value);
        threads.push_back(std::this_thread::get_id());
        changed.notify_all();
    }
    void clear() {
        std::lock_guard lock(mutex);
        values.clear();
        threads.clear();
    }
    bool wait_for(std::size_t count, std::chrono::milliseconds timeout = kTimeout) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, timeout, [&] { return values.size() >= count; });
    }
    std::vector<int> snapshot() {
        std::lock_guard lock(mutex);
        return values;
    }
};

}  // namespace k5320::backplane::test
