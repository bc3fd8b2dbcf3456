/* Asks the installed broker for its provider list and prints "status S providers N".
 * Exit code 0 when the reply came with status 0, 1 otherwise. */
#include <kov/kov_broker.h>

#include <stdio.h>
#include <string.h>

int main(void)
{
    BrokerMessage request;
    memset(&request, 0, sizeof request);
    request.totalLength = KOV_HEADER_SIZE;
    request.formatMajor = KOV_FORMAT_MAJOR;
    request.headerLength = KOV_HEADER_SIZE;
    request.functionSet = KOV_BROKER_FUNCTION_SET;
    request.setMajor = 1;
    request.functionCode = KOV_FN_LIST_SUBSYSTEMS;

    BrokerMessage *confirm = NULL;
    kov_SendSync(&request, &confirm);
    if (confirm == NULL) {
        printf("no confirm, request status %u\n", (unsigned)request.status);
        return 1;
    }
    uint32_t providers = 0;
    if (confirm->totalLength >= confirm->headerLength + 20)
        memcpy(&providers, (const unsigned char *)confirm + confirm->headerLength + 16, 4);
    printf("status %u providers %u\n", (unsigned)confirm->status, (unsigned)providers);
    const int ok = confirm->status == KOV_STATUS_OK;
    const int32_t released = kov_DeleteConfirm(confirm);
    printf("released %d\n", (int)released);
    return ok && released == 0 ? 0 : 1;
}
