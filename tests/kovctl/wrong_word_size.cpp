// Built for the host's own word size, not the broker's: loading it must fail with the loader's
// reason, never reach the entry points.
extern "C" void* kov_GetSubSystemInfo() { return nullptr; }
extern "C" int kov_Receive(void*) { return 1; }
extern "C" int kov_DeleteReceive(void*) { return 1; }
