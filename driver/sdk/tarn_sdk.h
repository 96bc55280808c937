/*
 * The controller's backplane SDK (TarnSDK_CE), as the driver uses it. The driver reaches a module
 * through nothing else. Return values are ignored except the bytes the two input functions return.
 */
#ifndef TARN_SDK_H
#define TARN_SDK_H

#ifdef __cplusplus
extern "C" {
#endif

#if defined(TARN_SDK_BUILDING)
#define TARN_SDK_API __attribute__((visibility("default")))
#else
#define TARN_SDK_API
#endif

/* A slot interrupt routine: no arguments, returns 0. */
typedef int (*TrnSlotInterruptRoutine)(void);

/* Slot I/O ports: 1 is the page register, 0x400..0x7FF the data window. */
TARN_SDK_API int _trn_slot_outp(int slot, int port, int value);
TARN_SDK_API int _trn_slot_inp(int slot, int port);

/* Controller ports (interrupt registers 0x7003..0x700D). */
TARN_SDK_API int _trn_outp(int port, int value);
TARN_SDK_API int _trn_inp(int port);

/* Fills name (at least 52 bytes) with the zero-terminated module type; "" for an empty slot. */
TARN_SDK_API int trn_GetModuleName(int slot, char* name);

TARN_SDK_API int trn_RegisterSlotInterrupt(int slot, TrnSlotInterruptRoutine routine);
TARN_SDK_API int trn_UnregisterSlotInterrupt(int slot);
TARN_SDK_API int trn_EnableSlotInterrupt(int slot, int on);
TARN_SDK_API int trn_InterruptDone(int slot);
TARN_SDK_API int trn_SetTriggerType(int slot, int type);
TARN_SDK_API int trn_SetSlotInterruptPriority(int slot, int priority);

/* An extension of this stand-in (the controller's SDK has no such call): waits on the calling
 * thread, for at most timeout_us, for the slot's interrupt and runs the slot's routine here when it
 * comes, as the interrupt thread would; a routine never runs twice at once. Returns early once
 * *event_count, a count the routine bumps, differs from seen. 1: the routine ran here; 0: it did
 * not (time-out, or it ran on the interrupt thread); -1: no routine may run now (none registered,
 * or the interrupt disabled), so wait for the interrupt thread instead. */
TARN_SDK_API int trn_AwaitSlotInterrupt(int slot, int timeout_us, const unsigned* event_count,
                                        unsigned seen);

/* An extension as above: claim 1 before a command whose answer this thread will await, so that
 * the answer's interrupt wakes this thread rather than the interrupt thread; claim 0 after. */
TARN_SDK_API int trn_ClaimSlotInterrupt(int slot, int claim);

/* An extension as above: fills id (size bytes) with the name of the backplane this process
 * reaches, for objects its processes share: the same in all of them, different for every other
 * backplane of the machine. Shared-memory objects named "/<id>-..." are the backplane's and are
 * removed with it. "" for a backplane inside this process. 0, or -1 when id is too small. */
TARN_SDK_API int trn_GetBackplaneId(char* id, int size);

#define TRN_MODULE_NAME_SIZE 52
#define TRN_BACKPLANE_ID_SIZE 64

#ifdef __cplusplus
}
#endif

#endif
