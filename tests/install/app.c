/* A C program built against an installed libK5320, as a user builds one: one slot sends a frame,
 * another receives it. Usage: app [SENDER RECEIVER] (default 1 2). Exit status 0 when the frame
 * arrived. */
#define _POSIX_C_SOURCE 199309L

#include <k5320.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

enum { kRate125k = 4, kFrameId = 0x123, kWaitMs = 3000 };

static int ok(const char* call, int rc) {
    if (rc != K5320_SUCCESS) fprintf(stderr, "%s: result %d\n", call, rc);
    return rc == K5320_SUCCESS;
}

int main(int argc, char** argv) {
    const uint8_t sender = (uint8_t)(argc > 2 ? atoi(argv[1]) : 1);
    const uint8_t receiver = (uint8_t)(argc > 2 ? atoi(argv[2]) : 2);
    const uint8_t slots[2] = {sender, receiver};
    const uint8_t data[4] = {0xDE, 0xAD, 0xBE, 0xEF};
    CanMsg msg;
    int found = 0;
    if (K5320_GetDllVersion() != 217) {
        fprintf(stderr, "K5320_GetDllVersion: %u\n", K5320_GetDllVersion());
        return 1;
    }
    for (int i = 0; i < 2; ++i) {
        const uint8_t slot = slots[i];
        if (!ok("K5320_Init", K5320_Init(slot)) ||
            !ok("K5320_ConfigWithoutStruct",
                K5320_ConfigWithoutStruct(slot, 0, 0xFFFFFFFFu, kRate125k, 0, 0)))
            return 1;
    }
    if (!ok("K5320_SendWithoutStruct", K5320_SendWithoutStruct(sender, 0, kFrameId, 0, 4, data)))
        return 1;
    /* The demo node talks on the same bus: wait for this frame among its frames. */
    for (int waited = 0; !found && waited < kWaitMs;) {
        const int rc = K5320_ReceiveMsg(receiver, &msg);
        if (rc == K5320_SUCCESS) {
            found = msg.Mode == 0 && msg.MsgID == kFrameId && msg.DataLen == 4 &&
                    memcmp(msg.Data, data, 4) == 0;
        } else if (rc == K5320_ERR_NO_MESSAGE) {
            const struct timespec pause = {0, 10 * 1000 * 1000};
            nanosleep(&pause, NULL);
            waited += 10;
        } else {
            ok("K5320_ReceiveMsg", rc);
            return 1;
        }
    }
    K5320_RemoveIrq(sender);
    K5320_RemoveIrq(receiver);
    if (!found) {
        fprintf(stderr, "slot %u did not receive 123#DEADBEEF\n", receiver);
        return 1;
    }
    printf("library %u: 123#DEADBEEF from slot %u reached slot %u\n", K5320_GetDllVersion(), sender,
           receiver);
    return 0;
}
