// Reading a pickup file's envelope: its x-sender:/x-receiver: lines, else the
// addresses of its header fields, and the filter that keeps its envelope lines
// and Bcc: field off the wire. The reader and the filter share one notion of a
// line, a field name and the envelope block at the top, so that what one takes
// for an envelope line the other never sends.
#include "envelope.h"

#include <string_view>
#include <unordered_set>

#include "smtp.h"

namespace {

// A field name is looked for in the first bytes of a line only: the filter
// holds at most this much of a line before it must hand it on. A line whose
// colon comes later names no field here, for the reader as for the filter.
constexpr size_t kNameHeld = 64;
// The longest encoded word taken as one display-name word. RFC 2047 allows
// 75; writers exceed it, and the bound keeps a run of "=?" linear.
constexpr size_t kEncodedWordMax = 200;
const char kNoClosingBracket[] = "no > closes the address";

char Lower(char c) { return c >= 'A' && c <= 'Z' ? (char)(c - 'A' + 'a') : c; }

std::string LowerText(const std::string& s) {
    std::string l = s;
    for (char& c : l) c = Lower(c);
    return l;
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// The field name of a line (lower case, blanks before the colon dropped), or
// "" when its first kNameHeld bytes hold no colon.
std::string FieldName(const char* line, size_t len) {
    size_t end = len < kNameHeld ? len : kNameHeld;
    for (size_t i = 0; i < end; i++) {
        if (line[i] != ':') continue;
        size_t n = i;
        while (n > 0 && IsBlank(line[n - 1])) n--;
        return LowerText(std::string(line, n));
    }
    return "";
}

bool IsEnvelopeName(const std::string& name) { return name == "x-sender" || name == "x-receiver"; }

// Whether an address may go into a command line, and why not. The sender is
// not held to an '@': "<>" is the null sender, and a bare local name is the
// server's to judge.
std::string AddressFault(const std::string& a, bool needAt) {
    if (a.size() > kAddressMax) return "address over 255 characters";
    for (char ch : a) {
        unsigned char c = (unsigned char)ch;
        if (c < 0x20 || c == 0x7F) return "a control character in the address";
    }
    if (a.find_first_of("<>") != std::string::npos) return "a < or > in the address";
    if (needAt && a.find('@') == std::string::npos) return "no @ in the address";
    return "";
}

PickupAddress Checked(std::string a) {
    PickupAddress p;
    p.fault = AddressFault(a, true);
    p.address = std::move(a);
    return p;
}

// The length of a line break at i that folds the value (one followed by a
// blank, or the value's end): it reads as a blank. Any other CR or LF is a
// byte of the text, and makes an address that holds it unusable.
size_t FoldAt(const std::string& v, size_t i) {
    size_t n = 0;
    if (v[i] == '\r') n = i + 1 < v.size() && v[i + 1] == '\n' ? 2 : 1;
    else if (v[i] == '\n') n = 1;
    if (n == 0) return 0;
    return i + n == v.size() || IsBlank(v[i + n]) ? n : 0;
}

// The end of a comment that starts at i (nested, with escapes), or the
// value's end when it is never closed.
size_t CommentEnd(const std::string& v, size_t i) {
    int depth = 0;
    for (; i < v.size(); i++) {
        if (v[i] == '\\') i++;
        else if (v[i] == '(') depth++;
        else if (v[i] == ')' && --depth == 0) return i + 1;
    }
    return v.size();
}

// A quoted string from i, taken as it stands (quotes and escapes kept, as an
// address holds it), folds inside it unfolded; returns its end.
size_t TakeQuoted(const std::string& v, size_t i, std::string& to) {
    to += v[i++];
    while (i < v.size()) {
        size_t fold = FoldAt(v, i);
        if (fold) {
            i += fold;
            continue;
        }
        char c = v[i++];
        to += c;
        if (c == '"') break;
        if (c == '\\' && i < v.size()) to += v[i++];
    }
    return i;
}

// The end of an encoded word "=?charset?E?text?=" that starts at i, or 0:
// taken whole, a writer's stray comma or quote inside it splits no name.
size_t EncodedWordEnd(const std::string& v, size_t i) {
    size_t limit = v.size() - i < kEncodedWordMax ? v.size() : i + kEncodedWordMax;
    if (i + 1 >= limit || v[i] != '=' || v[i + 1] != '?') return 0;
    int marks = 0;  // the '?' after the charset, after the encoding, before the end
    for (size_t k = i + 2; k < limit; k++) {
        unsigned char c = (unsigned char)v[k];
        if (c <= ' ' || c == 0x7F) return 0;
        if (c != '?') continue;
        if (++marks == 3) return k + 1 < limit && v[k + 1] == '=' ? k + 2 : 0;
    }
    return 0;
}

bool IsSpecial(char c) {
    return c == ' ' || c == '\t' || c == '"' || c == '(' || c == '<' || c == ',' || c == ';' || c == ':';
}

// The address between '<' at i and its '>' (or the value's end): blanks and
// comments dropped, quoted strings kept, a source route "@a,@b:" dropped.
size_t TakeAngle(const std::string& v, size_t i, std::string& to) {
    to.clear();
    for (i++; i < v.size() && v[i] != '>';) {
        size_t fold = FoldAt(v, i);
        if (fold || IsBlank(v[i])) {
            i += fold ? fold : 1;
        } else if (v[i] == '(') {
            i = CommentEnd(v, i);
        } else if (v[i] == '"') {
            i = TakeQuoted(v, i, to);
        } else {
            if (v[i] == ':' && !to.empty() && to[0] == '@') to.clear();
            else to += v[i];
            i++;
        }
    }
    return i < v.size() ? i + 1 : i;
}

// The address list scan. `emit` takes each addr-spec in order and answers
// whether to go on. Every step moves forward, so the work is linear in the
// value (an encoded word is looked for at most kEncodedWordMax ahead).
template <class Emit>
void ScanAddressList(const std::string& v, Emit emit) {
    std::string text;   // the words of the current mailbox, blanks dropped: a bare addr-spec
    std::string angle;  // its angle-addr
    bool hasAngle = false;
    auto finish = [&]() {
        std::string a = hasAngle ? angle : text;
        text.clear();
        angle.clear();
        hasAngle = false;
        // An empty "<>" or a mailbox of comments only names no one.
        return a.empty() || emit(std::move(a));
    };
    size_t i = 0;
    while (i < v.size()) {
        char c = v[i];
        size_t fold = FoldAt(v, i);
        if (fold || IsBlank(c)) {
            i += fold ? fold : 1;
        } else if (c == '(') {
            i = CommentEnd(v, i);
        } else if (c == '"') {
            i = TakeQuoted(v, i, text);
        } else if (c == '<') {
            // A second angle-addr without a comma between is a mailbox of its own.
            if (hasAngle && !finish()) return;
            i = TakeAngle(v, i, angle);
            hasAngle = true;
            text.clear();  // what came before was the display name
        } else if (c == ',' || c == ';') {
            if (!finish()) return;
            i++;
        } else if (c == ':') {
            // A group's name: its members follow. After an angle-addr it is
            // no name but the end of a mailbox.
            if (hasAngle && !finish()) return;
            text.clear();
            i++;
        } else if (size_t e = EncodedWordEnd(v, i)) {
            text.append(v, i, e - i);
            i = e;
        } else {
            size_t start = i;
            while (i < v.size() && !IsSpecial(v[i]) && !FoldAt(v, i)) i++;
            if (i == start) i++;  // never stands still
            if (!hasAngle) text.append(v, start, i - start);
        }
    }
    finish();
}

// The address of an x-sender:/x-receiver: value: "<a@b>" or bare "a@b",
// whatever follows it ignored.
PickupAddress EnvelopeAddress(const std::string& value) {
    size_t i = 0;
    while (i < value.size() && IsBlank(value[i])) i++;
    if (i < value.size() && value[i] == '<') {
        size_t gt = value.find('>', i);
        if (gt == std::string::npos) {
            PickupAddress p{value.substr(i + 1), kNoClosingBracket};
            return p;
        }
        return Checked(value.substr(i + 1, gt - i - 1));
    }
    size_t e = i;
    while (e < value.size() && !IsBlank(value[e])) e++;
    return Checked(value.substr(i, e - i));
}

// The first address of a field's value, "" when it names none.
std::string FirstAddress(const std::string& value) {
    std::string first;
    ScanAddressList(value, [&first](std::string a) {
        first = std::move(a);
        return false;
    });
    return first;
}

}  // namespace

std::vector<PickupAddress> ParseAddressList(const std::string& value) {
    std::vector<PickupAddress> list;
    ScanAddressList(value, [&list](std::string a) {
        list.push_back(Checked(std::move(a)));
        return true;
    });
    return list;
}

PickupEnvelope ReadPickupEnvelope(const std::string& header) {
    PickupEnvelope env;
    std::vector<std::string> listFields;  // To:, Cc:, Bcc: values in order, lines joined by LF
    std::string senderField, fromField;
    bool senderSeen = false, fromSeen = false, xSenderSeen = false;
    std::string* collecting = nullptr;  // the value the continuation lines join
    std::vector<PickupAddress> envelopeRecipients;
    bool top = true;
    for (size_t i = 0; i < header.size();) {
        size_t e = i;
        while (e < header.size() && header[e] != '\r' && header[e] != '\n') e++;
        size_t next = e < header.size() && header[e] == '\r' && e + 1 < header.size() && header[e + 1] == '\n'
                          ? e + 2
                          : e + 1;
        const char* line = header.data() + i;
        size_t len = e - i;
        i = next;
        if (len == 0) break;  // the end of the header block
        if (IsBlank(line[0])) {
            if (collecting) *collecting += '\n' + std::string(line, len);
            continue;  // else of a field not read here, of the envelope block, or of none
        }
        collecting = nullptr;
        std::string name = FieldName(line, len);
        size_t colon = name.empty() ? 0 : std::string_view(line, len).find(':') + 1;
        std::string value(line + colon, len - colon);
        if (top && IsEnvelopeName(name)) {
            if (name == "x-receiver") {
                envelopeRecipients.push_back(EnvelopeAddress(value));
            } else if (!xSenderSeen) {
                xSenderSeen = true;
                PickupAddress s = EnvelopeAddress(value);
                env.sender = s.address;
                env.senderFromEnvelope = true;
                if (s.fault == kNoClosingBracket) env.senderFault = s.fault;
            }
            continue;
        }
        // A Bcc: field is dropped from the text wherever it stands, so one
        // among the envelope lines does not end them: what follows it would
        // otherwise become an envelope line of a file written from the text.
        if (name != "bcc") top = false;
        if (name == "to" || name == "cc" || name == "bcc") {
            listFields.push_back(value);
            collecting = &listFields.back();
        } else if (name == "sender" && !senderSeen) {
            senderSeen = true;
            senderField = value;
            collecting = &senderField;
        } else if (name == "from" && !fromSeen) {
            fromSeen = true;
            fromField = value;
            collecting = &fromField;
        }
    }
    if (!env.senderFromEnvelope) {
        env.sender = FirstAddress(senderField);
        if (env.sender.empty()) env.sender = FirstAddress(fromField);
    }
    if (env.senderFault.empty()) env.senderFault = AddressFault(env.sender, false);
    if (!env.senderFault.empty()) env.sender.clear();

    // Each address once; past the limit nothing more is read: one more than
    // it is enough to refuse the file.
    std::unordered_set<std::string> seen;
    auto add = [&env, &seen](PickupAddress a) {
        if (seen.insert(LowerText(a.address)).second) env.recipients.push_back(std::move(a));
        return env.recipients.size() <= kPickupRecipientsMax;
    };
    env.fromEnvelopeLines = !envelopeRecipients.empty();
    if (env.fromEnvelopeLines) {
        for (PickupAddress& a : envelopeRecipients)
            if (!add(std::move(a))) break;
    } else {
        bool more = true;
        for (size_t f = 0; f < listFields.size() && more; f++)
            ScanAddressList(listFields[f], [&](std::string a) { return more = add(Checked(std::move(a))); });
    }
    if (env.recipients.size() > kPickupRecipientsMax) {
        env.fault = "more than 1000 recipients";
        return env;
    }
    bool usable = false;
    for (const PickupAddress& a : env.recipients) usable = usable || a.fault.empty();
    if (!usable) env.fault = "no usable recipient";
    return env;
}

// The filter makes its choice for a line when the line's field name is known:
// at its colon, its end, or kNameHeld bytes; until then the line's start is
// held. At the top, x-sender:, x-receiver: and Bcc: fields and continuation
// lines are dropped (a continuation line before any field belongs to no
// field of the message); the first other line ends the top. Below it, Bcc:
// fields and their continuation lines are dropped.
void PickupTextFilter::Take(char c, std::string& out) {
    if (state_ == kBody) {
        out += c;
        return;
    }
    if (afterCR_) {
        afterCR_ = false;
        if (c == '\n') {  // the LF of a CR LF line end
            if (!dropping_) out += c;
            return;
        }
    }
    if (lineStart_) {
        lineStart_ = false;
        if (c == '\r' || c == '\n') {  // the empty line that ends the header block
            out += c;
            state_ = kBody;
            afterCR_ = false;  // in the body the LF of a CR LF goes on as any byte
            return;
        }
        if (IsBlank(c)) {
            dropping_ = state_ == kTop || fieldDropped_;
            if (!dropping_) out += c;
            return;
        }
        deciding_ = true;
        held_.clear();
    }
    if (deciding_) {
        if (c == '\r' || c == '\n') {
            Decide(out);
        } else {
            held_ += c;
            if (c == ':' || held_.size() >= kNameHeld) Decide(out);
            return;
        }
    }
    if (c == '\r' || c == '\n') {
        EndLine(c, out);
        return;
    }
    if (!dropping_) out += c;
}

void PickupTextFilter::Decide(std::string& out) {
    deciding_ = false;
    std::string name = FieldName(held_.data(), held_.size());
    bool drop = name == "bcc" || (state_ == kTop && IsEnvelopeName(name));
    if (state_ == kTop && !drop) state_ = kHeader;
    dropping_ = fieldDropped_ = drop;
    if (!drop) out += held_;
    held_.clear();
}

void PickupTextFilter::EndLine(char c, std::string& out) {
    if (!dropping_) out += c;
    lineStart_ = true;
    afterCR_ = c == '\r';
}

void PickupTextFilter::Finish(std::string& out) {
    if (deciding_) Decide(out);
}

std::string PickupEnvelopeLines(const std::string& sender, const std::vector<std::string>& recipients) {
    std::string lines = "x-sender: <" + sender + ">\r\n";
    for (const std::string& r : recipients) lines += "x-receiver: <" + r + ">\r\n";
    return lines;
}
