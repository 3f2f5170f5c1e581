// Arbitrary reply streams through the reply-code parser, fed as the reader
// feeds it: reset once, then byte by byte until the reply is done.
#include <cstddef>
#include <cstdint>

#include "relay/relay.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ResetReplyParser();
    const ReplyParser& p = relaySession.parser;
    for (size_t i = 0; i < size && !p.replyDone; i++) {
        FeedReplyChar((char)data[i]);
        // The code is at most three digits; the flags are flags.
        if (p.replyCode < 0 || p.replyCode > 999) __builtin_trap();
        if ((p.moreLines | p.replyDone | p.parsingCode | p.lastWasCR | p.codeOnly) & ~1) __builtin_trap();
        if (p.replyDone && p.moreLines) __builtin_trap();
        if (p.linePos < 0) __builtin_trap();
    }
    return 0;
}
