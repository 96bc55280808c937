// Which process owns each slot's interrupt registration, shared by every process that loads the
// library. An entry holds its owner's identity (pid and start time), so an entry whose owner has
// died counts as free and a crashed owner never locks a slot out.
#pragma once

#include <cstdint>
#include <string>

namespace k5320::driver::ownership {

enum class Owner { kNobody, kThisProcess, kOtherProcess };

// Claims the slot for this process in one compare-and-swap (taking over an entry whose owner is
// dead). False when a live process, this one included, already owns it, or when the shared table
// cannot be used safely.
bool try_claim(uint8_t slot);

// Gives the slot up; only an entry this process owns (or a dead owner's) is cleared.
void release(uint8_t slot);

Owner owner_of(uint8_t slot);

// Test hook: a separate table per test run, so tests in parallel processes do not meet.
// Must be called before the first use. The name becomes part of the shared object's name.
void use_table_for_test(const std::string& name);
// Removes this process's test table from the system (tests clean up after themselves).
void remove_test_table();

}  // namespace k5320::driver::ownership
