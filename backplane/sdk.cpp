// The SDK's C entry points: each forwards to the process's backplane host.
#include <chrono>
#include <cstring>
#include <string>

#include "backplane/fault_request.h"
#include "backplane/inspect.h"
#include "backplane/service.h"
#include "backplane/slot_holder.h"
#include "driver/sdk/tarn_sdk.h"

using k5320::backplane::host;

static_assert(k5320::backplane::kMaxBackplaneIdLength < TRN_BACKPLANE_ID_SIZE);

std::optional<uint64_t> k5320::backplane::inject_fault(const FaultRequest& request) {
    return host().inject(request);
}

uint32_t k5320::backplane::slot_holder(int slot) {
    return host().interrupt_holder(slot);
}

extern "C" {

int _trn_slot_outp(int slot, int port, int value) {
    return host().slot_out(slot, port, value);
}
int _trn_slot_inp(int slot, int port) {
    return host().slot_in(slot, port);
}
int _trn_outp(int port, int value) {
    return host().controller_out(port, value);
}
int _trn_inp(int port) {
    return host().controller_in(port);
}
int trn_GetModuleName(int slot, char* name) {
    return host().get_module_name(slot, name);
}
int trn_RegisterSlotInterrupt(int slot, TrnSlotInterruptRoutine routine) {
    return host().register_interrupt(slot, routine);
}
int trn_UnregisterSlotInterrupt(int slot) {
    return host().unregister_interrupt(slot);
}
int trn_EnableSlotInterrupt(int slot, int on) {
    return host().enable_interrupt(slot, on);
}
int trn_InterruptDone(int slot) {
    return host().interrupt_done(slot);
}
int trn_SetTriggerType(int slot, int type) {
    return host().set_trigger_type(slot, type);
}
int trn_SetSlotInterruptPriority(int slot, int priority) {
    return host().set_interrupt_priority(slot, priority);
}
int trn_ClaimSlotInterrupt(int slot, int claim) {
    return host().claim_interrupt(slot, claim != 0);
}
int trn_AwaitSlotInterrupt(int slot, int timeout_us, const unsigned* event_count, unsigned seen) {
    return host().await_interrupt(slot, std::chrono::microseconds(timeout_us), event_count, seen);
}

int trn_GetBackplaneId(char* id, int size) {
    const std::string own = host().backplane_id();
    if (id == nullptr || size <= 0 || own.size() >= static_cast<std::size_t>(size)) return -1;
    std::memcpy(id, own.c_str(), own.size() + 1);
    return 0;
}

}  // extern "C"
