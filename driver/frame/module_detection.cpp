// Module detection and interrupt registration (K5320_Init), the library version, and the release
// of every slot when the library leaves a process.
#include <cstring>

#include "driver/frame/slot_ownership.h"
#include "driver/frame/slot_state.h"
#include "driver/irq/arming.h"
#include "driver/irq/interrupt_service.h"
#include "driver/irq/user_interrupt.h"
#include "driver/sdk/tarn_sdk.h"
#include "k5320.h"
#include "platform/clock.h"

namespace k5320::driver {
namespace {

constexpr uint16_t kLibraryVersion = 217;  // 2.1.7
// The project's version (CMakeLists.txt), which also names the library file and its SONAME.
static_assert(kLibraryVersion == K5320_PROJECT_VERSION_NUMBER,
              "K5320_GetDllVersion must tell the project's version");
constexpr uint32_t kRegistrationDelayMs = 1;

// Module types this library drives; a name matches only as a whole, terminating zero included.
constexpr const char* kAcceptedModuleTypes[] = {"5320", "5323", "5324", "5325"};
constexpr size_t kModuleTypeCompareLength = 5;

bool accepted_module(uint8_t slot) {
    char name[TRN_MODULE_NAME_SIZE] = {};
    trn_GetModuleName(slot, name);
    for (const char* type : kAcceptedModuleTypes)
        if (std::memcmp(name, type, kModuleTypeCompareLength) == 0) return true;
    return false;
}

// Registers the slot interrupt for this process. The ownership claim comes first and is atomic,
// so two processes initialising one slot at once cannot both succeed.
int register_interrupt(uint8_t slot) {
    if (!ownership::try_claim(slot)) return K5320_ERR_ALREADY_REGISTERED;
    platform::sleep_ms(kRegistrationDelayMs);
    SlotContext& ctx = slot_context(slot);
    irq::RetiredUserInterrupt stale_user_interrupt;
    SlotLock lock(slot);
    ctx.lock_exists.store(true);
    ctx.registration.fetch_add(1);
    stale_user_interrupt = irq::retire_user_interrupt(slot);

    trn_UnregisterSlotInterrupt(slot);
    trn_EnableSlotInterrupt(slot, 0);
    trn_InterruptDone(slot);
    irq::take_answer(slot);  // an answer left from before must not stay pending

    irq::program_interrupt_registers(slot);
    irq::register_service(slot);
    trn_EnableSlotInterrupt(slot, 1);
    ctx.record.set(Field::CmdPending, 0);
    return K5320_SUCCESS;
}

}  // namespace
}  // namespace k5320::driver

using namespace k5320::driver;

extern "C" {

K5320_API int K5320_Init(uint8_t slot) {
    if (int rc = check_slot(slot); rc != K5320_SUCCESS) return rc;
    SlotRecord& record = slot_context(slot).record;
    if (!accepted_module(slot)) {
        record.set(Field::Initialized, 0);
        // The module was swapped under its owner: the slot is given up as K5320_RemoveIrq gives
        // it up, so that it can be initialised again once a matching module is back.
        K5320_RemoveIrq(slot);
        return K5320_ERR_BAD_SLOT;
    }
    if (int rc = register_interrupt(slot); rc != K5320_SUCCESS) return rc;
    irq::remove_abandoned_event(slot);
    record.reset_initialized();
    return K5320_SUCCESS;
}

K5320_API uint16_t K5320_GetDllVersion(void) {
    return kLibraryVersion;
}

}  // extern "C"

namespace {

// Releases this process's slots when the library is unloaded or the process exits.
__attribute__((destructor)) void release_all_slots() {
    for (uint8_t slot = 0; slot < kSlotTableSize; ++slot) K5320_RemoveIrq(slot);
}

}  // namespace
