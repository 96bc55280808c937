#include "backplane/trace.h"

#include <ostream>

namespace k5320::backplane {

namespace {
thread_local bool t_interrupt_thread = false;
}

void mark_interrupt_thread() {
    t_interrupt_thread = true;
}
bool on_interrupt_thread() {
    return t_interrupt_thread;
}

InterruptThreadScope::InterruptThreadScope() : was_marked_(t_interrupt_thread) {
    t_interrupt_thread = true;
}
InterruptThreadScope::~InterruptThreadScope() {
    t_interrupt_thread = was_marked_;
}

void Trace::clear() {
    std::lock_guard lock(mutex_);
    entries_.clear();
}

std::vector<TraceEntry> Trace::snapshot() const {
    std::lock_guard lock(mutex_);
    return entries_;
}

void Trace::append(CallKind kind, int slot, int port, int value) {
    const TraceEntry entry{kind, slot, port, value, t_interrupt_thread};
    std::lock_guard lock(mutex_);
    entries_.push_back(entry);
}

std::ostream& operator<<(std::ostream& out, CallKind kind) {
    switch (kind) {
        case CallKind::kSlotOut:
            return out << "slot_out";
        case CallKind::kSlotIn:
            return out << "slot_in";
        case CallKind::kControllerOut:
            return out << "controller_out";
        case CallKind::kControllerIn:
            return out << "controller_in";
        case CallKind::kGetModuleName:
            return out << "get_module_name";
        case CallKind::kRegister:
            return out << "register";
        case CallKind::kUnregister:
            return out << "unregister";
        case CallKind::kEnable:
            return out << "enable";
        case CallKind::kInterruptDone:
            return out << "interrupt_done";
        case CallKind::kSetTriggerType:
            return out << "set_trigger_type";
        case CallKind::kSetPriority:
            return out << "set_priority";
    }
    return out << "call(" << static_cast<int>(kind) << ")";
}

std::ostream& operator<<(std::ostream& out, const TraceEntry& entry) {
    out << entry.kind << "(slot " << entry.slot << ", port 0x" << std::hex << entry.port
        << ", value 0x" << entry.value << std::dec << ")";
    if (entry.on_interrupt_thread) out << " [interrupt thread]";
    return out;
}

}  // namespace k5320::backplane
