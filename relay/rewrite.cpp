// The From: rewrite for a provider that lets an account send only as itself:
// the message goes out from the account's address, and the name the reader
// sees, the address a reply goes to and the original field survive.
#include <cstring>
#include <string>
#include <vector>

#include "relay.h"

namespace {

// Display text taken over into the new field at most; a name longer than
// that is cut (X-Original-From: keeps it whole), so the new line stays far
// below the 998 characters a header line may have.
constexpr size_t kDisplayMax = 200;
// Header text held at most while a line or the From: field is read. A
// header line may have 998 characters; a file whose header holds more in one
// line (or field) is no message a rewrite can make sound, and holding it
// would take memory without bound: it goes out as it is.
constexpr size_t kHeldMax = 65536;

char Lower(char c) { return c >= 'A' && c <= 'Z' ? (char)(c - 'A' + 'a') : c; }

bool StartsWithNoCase(const std::string& s, const char* prefix) {
    size_t n = strlen(prefix);
    if (s.size() < n) return false;
    for (size_t i = 0; i < n; i++)
        if (Lower(s[i]) != Lower(prefix[i])) return false;
    return true;
}

bool IsBlank(const std::string& s) {
    for (char c : s)
        if (c != ' ' && c != '\t' && c != '\n') return false;
    return true;
}

bool IsAlnum(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

bool IsOneOf(char c, const char* set) { return c != 0 && strchr(set, c) != nullptr; }

// "=?charset?B|Q?text?=" (RFC 2047), with only the characters an
// encoded-word may have where it stands in a phrase.
bool IsEncodedWord(const std::string& w) {
    if (w.size() < 8 || w.size() > 75 || w.compare(0, 2, "=?") != 0 || w.compare(w.size() - 2, 2, "?=") != 0)
        return false;
    std::string inner = w.substr(2, w.size() - 4);
    size_t q1 = inner.find('?');  // "charset?E?text"
    if (q1 == std::string::npos || q1 == 0 || q1 + 2 >= inner.size() || inner[q1 + 2] != '?') return false;
    if (inner.find('?', q1 + 3) != std::string::npos) return false;
    char enc = Lower(inner[q1 + 1]);
    if (enc != 'b' && enc != 'q') return false;
    for (size_t i = 0; i < q1; i++)
        if (!IsAlnum(inner[i]) && !IsOneOf(inner[i], "-_.*")) return false;
    for (size_t i = q1 + 3; i < inner.size(); i++)
        if (!IsAlnum(inner[i]) && !IsOneOf(inner[i], enc == 'q' ? "!*+-/=_" : "+/=")) return false;
    return true;
}

struct Word {
    std::string text;
    bool encoded;
};

// Blanks for the bytes a quoted string must not hold.
std::string Printable(const std::string& s) { return MakeOneLine(s); }

std::string Quoted(const std::string& s) {
    std::string q = "\"";
    for (char c : s) {
        if (c == '"' || c == '\\') q += '\\';
        q += c;
    }
    return q + "\"";
}

// At most n bytes, never cutting a UTF-8 sequence.
std::string CutUtf8(const std::string& s, size_t n) {
    if (s.size() <= n) return s;
    while (n > 0 && ((unsigned char)s[n] & 0xC0) == 0x80) n--;
    return s.substr(0, n);
}

bool IsWordEnd(char c) { return c == ' ' || c == '\t' || c == '"' || c == '(' || c == '<' || c == ','; }

// The words shown for the first mailbox of a From: value: its display name,
// or its address when it has none. Comments are left out; quoted strings
// lose their quotes and escapes.
std::vector<Word> DisplayWords(const std::string& v) {
    std::vector<Word> words;
    size_t i = 0;
    while (i < v.size()) {
        char c = v[i];
        if (c == ' ' || c == '\t') {
            i++;
        } else if (c == '"') {
            std::string t;
            for (i++; i < v.size() && v[i] != '"'; i++) {
                if (v[i] == '\\' && i + 1 < v.size()) i++;
                t += v[i];
            }
            i++;
            words.push_back({t, false});
        } else if (c == '(') {
            int depth = 0;
            do {
                if (v[i] == '\\') {
                    i += 2;
                    continue;
                }
                if (v[i] == '(') depth++;
                else if (v[i] == ')') depth--;
                i++;
            } while (i < v.size() && depth > 0);
        } else if (c == '<') {
            if (words.empty()) {
                size_t e = v.find('>', i);
                std::string addr = v.substr(i + 1, (e == std::string::npos ? v.size() : e) - i - 1);
                if (!IsBlank(addr)) words.push_back({addr, false});
            }
            return words;
        } else if (c == ',') {
            return words;  // the first mailbox of a list ends here
        } else {
            size_t start = i;
            while (i < v.size() && !IsWordEnd(v[i])) i++;
            std::string t = v.substr(start, i - start);
            words.push_back({t, IsEncodedWord(t)});
        }
    }
    return words;
}

}  // namespace

// An encoded-word must not stand inside a quoted string (RFC 2047, section
// 5), where a reader would show it undecoded. So the encoded-words of the
// name stay bare and only the rest is quoted: "=?UTF-8?Q?J=C3=B6rg?=" gives
// =?UTF-8?Q?J=C3=B6rg?= "via example.org". The blank between the two is
// shown (it is no blank between two encoded-words), so the name reads
// "Jörg via example.org".
std::string RewrittenFromLine(const std::string& value, const char* domain, const char* senderAddress) {
    std::string unfolded;
    for (char c : value)
        if (c != '\n') unfolded += c;
    std::vector<Word> words = DisplayWords(unfolded);
    std::string phrase, run;
    size_t used = 0;
    auto addToPhrase = [&phrase](const std::string& token) {
        if (!phrase.empty()) phrase += ' ';
        phrase += token;
    };
    for (const Word& w : words) {
        if (used >= kDisplayMax) break;
        if (w.encoded) {
            if (!run.empty()) addToPhrase(Quoted(run));
            run.clear();
            addToPhrase(w.text);
            used += w.text.size();
        } else {
            std::string t = CutUtf8(Printable(w.text), kDisplayMax - used);
            if (!run.empty()) run += ' ';
            run += t;
            used += t.size();
        }
    }
    std::string via = Printable(domain);
    if (words.empty()) run = via;  // no name and no address: the domain alone
    else run += run.empty() ? "via " + via : " via " + via;
    addToPhrase(Quoted(run));
    return "From: " + phrase + " <" + senderAddress + ">\n";
}

void FromRewriter::Take(char c, std::string& out) {
    if (state_ == kBody) {
        out += c;
        return;
    }
    if (afterCR_) {
        afterCR_ = false;
        if (state_ == kBodyNext) state_ = kBody;
        if (c == '\n') return;  // the LF of a CR LF line end
        if (state_ == kBody) {
            out += c;
            return;
        }
    }
    // A line ends at LF or at CR, alone or before LF: where the byte sender
    // ends it, so that a field is what the server will see as one.
    if (c == '\r' || c == '\n') {
        afterCR_ = c == '\r';
        EndLine(out);
        return;
    }
    line_ += c;
    if (line_.size() + from_.size() > kHeldMax) {
        // What is held goes out unchanged, and so does everything after it.
        if (capturing_) out += "From:" + from_ + "\n";
        out += line_;
        line_.clear();
        from_.clear();
        state_ = kBody;
    }
}

void FromRewriter::EndLine(std::string& out) {
    if (line_.empty()) {
        EndHeader(out);
        out += '\n';
        state_ = afterCR_ ? kBodyNext : kBody;
        return;
    }
    if (capturing_ && (line_[0] == ' ' || line_[0] == '\t')) {
        from_ += '\n';
        from_ += line_;
        line_.clear();
        return;
    }
    if (capturing_) EndField(out);
    // Only the first From: field: a second one is no longer a valid message
    // and goes on untouched, like every other field.
    if (!fromSeen_ && StartsWithNoCase(line_, "From:")) {
        capturing_ = fromSeen_ = true;
        from_ = line_.substr(5);
        line_.clear();
        return;
    }
    if (StartsWithNoCase(line_, "Reply-To:")) replyToSeen_ = true;
    out += line_;
    out += '\n';
    line_.clear();
}

void FromRewriter::EndField(std::string& out) {
    capturing_ = false;
    out += RewrittenFromLine(from_, domain_.c_str(), sender_.c_str());
    // The original lines as they were, under another name.
    if (!IsBlank(from_)) out += "X-Original-From:" + from_ + "\n";
}

// Reply-To: goes last, as only the whole header block tells whether the
// message has one already.
void FromRewriter::EndHeader(std::string& out) {
    if (capturing_) EndField(out);
    if (!fromSeen_) out += "From: <" + sender_ + ">\n";
    else if (!replyToSeen_ && !IsBlank(from_)) out += "Reply-To:" + from_ + "\n";
}

void FromRewriter::Finish(std::string& out) {
    if (state_ != kHeader) return;
    // A last line without its line end goes out without one, as it always
    // did, unless lines are added after it.
    bool unterminated = !line_.empty();
    if (unterminated) EndLine(out);
    size_t before = out.size();
    EndHeader(out);
    if (unterminated && out.size() == before && !out.empty() && out.back() == '\n') out.pop_back();
}
