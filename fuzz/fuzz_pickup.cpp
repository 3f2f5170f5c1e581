// Arbitrary pickup files through the envelope reader, the address-list parser
// and the text filter. A usable address goes into a command line, so it must
// fit and hold no control character and no bracket; the filter may only leave
// bytes out; and a file written again from what was read and sent (the
// envelope lines of its recipients, then the text as it went out) must read
// back as that envelope and go out as that same text.
#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_set>

#include "relay/envelope.h"

namespace {

void CheckUsable(const std::string& a, bool needAt) {
    if (a.size() > 255) __builtin_trap();
    for (char ch : a) {
        unsigned char c = (unsigned char)ch;
        if (c < 0x20 || c == 0x7f || c == '<' || c == '>') __builtin_trap();
    }
    if (needAt && a.find('@') == std::string::npos) __builtin_trap();
}

void CheckList(const std::vector<PickupAddress>& list) {
    for (const PickupAddress& a : list)
        if (a.fault.empty()) CheckUsable(a.address, true);
}

std::string Filtered(const std::string& text) {
    PickupTextFilter filter;
    std::string out;
    for (char c : text) filter.Take(c, out);
    filter.Finish(out);
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    CheckList(ParseAddressList(text));

    PickupEnvelope env = ReadPickupEnvelope(text);
    CheckList(env.recipients);
    if (env.senderFault.empty()) CheckUsable(env.sender, false);
    else if (!env.sender.empty()) __builtin_trap();
    if (env.recipients.size() > kPickupRecipientsMax + 1) __builtin_trap();
    std::unordered_set<std::string> seen;
    std::vector<std::string> usable;
    for (const PickupAddress& a : env.recipients) {
        std::string lower = a.address;
        for (char& c : lower) c = (char)tolower((unsigned char)c);
        if (!seen.insert(lower).second) __builtin_trap();  // kept once
        if (a.fault.empty()) usable.push_back(a.address);
    }
    if (env.fault.empty() == usable.empty()) __builtin_trap();

    std::string out = Filtered(text);
    size_t at = 0;  // the output is the input with bytes left out
    for (char c : out) {
        while (at < text.size() && text[at] != c) at++;
        if (at++ >= text.size()) __builtin_trap();
    }

    if (!env.fault.empty() || !env.senderFault.empty()) return 0;
    std::string again = PickupEnvelopeLines(env.sender, usable) + out;
    PickupEnvelope back = ReadPickupEnvelope(again);
    if (!back.fromEnvelopeLines || !back.senderFromEnvelope || back.sender != env.sender ||
        back.recipients.size() != usable.size() || !back.fault.empty())
        __builtin_trap();
    for (size_t i = 0; i < usable.size(); i++)
        if (back.recipients[i].address != usable[i] || !back.recipients[i].fault.empty()) __builtin_trap();
    if (Filtered(again) != out) __builtin_trap();
    return 0;
}
