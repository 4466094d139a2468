// libpulse recycles packets and tag structs through lock-free free lists
// shared by every context in the process; its atomics are not instrumented,
// so ThreadSanitizer sees the memcpy/recvmsg of one context into a block the
// other context's thread used before as a race. The tests run a second
// context (the competing client that kills a recording) beside the
// provider's, which is where these reports come from. Only the libpulse
// functions that fill recycled blocks are exempt.
extern "C" const char* __tsan_default_suppressions() {
    return "race:pa_packet_new_data\n"
           "race:pa_srbchannel_read\n"
           "race:pa_tagstruct_puts\n"
           "race:pa_iochannel_read_with_ancil_data\n";
}
