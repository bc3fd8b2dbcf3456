/* A caller built the way an MSVC project builds one (clang in MSVC mode, lld-link, the installed
 * KOV_BR.lib), with no C runtime at all: the MSVC runtime is not available here, so the program
 * uses only the broker's three exports and kernel32. It asks the broker for its provider list
 * with kov_Send and with kov_SendSync and exits with 0 when both confirms came back with status
 * 0 and the kept one was released, with 1 otherwise. */
#include <kov/kov_broker.h>

__declspec(dllimport) void __stdcall ExitProcess(unsigned int code);

static uint32_t asyncStatus = 0xFFFFFFFFu;

/* The broker answers its own functions on the calling thread, before kov_Send returns. */
static int32_t KOV_CALL onConfirm(BrokerMessage *confirm)
{
    if (confirm != 0)
        asyncStatus = confirm->status;
    return 0; /* not kept: the broker releases it */
}

/* Every field set one by one: an initialiser such as {0} may become a call to memset, which
 * no library here provides. */
static void listRequest(BrokerMessage *request, ConfirmCallback callback)
{
    request->totalLength = KOV_HEADER_SIZE;
    request->formatMajor = KOV_FORMAT_MAJOR;
    request->formatMinor = 0;
    request->headerLength = KOV_HEADER_SIZE;
    request->provider = 0;
    request->functionSet = KOV_BROKER_FUNCTION_SET;
    request->setMajor = 1;
    request->setMinor = 0;
    request->functionCode = KOV_FN_LIST_SUBSYSTEMS;
    request->reserved = 0;
    request->status = 0;
    request->callback = callback;
    request->callbackData = 0;
}

void caller_main(void)
{
    BrokerMessage sent;
    listRequest(&sent, onConfirm);
    const int sentOk = kov_Send(&sent) == 0 && asyncStatus == KOV_STATUS_OK;

    BrokerMessage request;
    listRequest(&request, 0);
    BrokerMessage *confirm = 0;
    kov_SendSync(&request, &confirm);
    int syncOk = 0;
    if (confirm != 0) {
        const int answered = confirm->status == KOV_STATUS_OK;
        syncOk = kov_DeleteConfirm(confirm) == 0 && answered;
    }
    ExitProcess(sentOk && syncOk ? 0 : 1);
}
