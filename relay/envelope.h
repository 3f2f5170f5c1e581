// The envelope of a pickup file (an .eml message that an application drops,
// which may begin with x-sender:/x-receiver: lines) and the filter that takes
// those lines and a Bcc: field out of its text. Pure functions, no I/O.
#pragma once
#include <string>
#include <vector>

constexpr size_t kPickupRecipientsMax = 1000;

struct PickupAddress {
    std::string address;  // the addr-spec (local@domain), as found (no brackets)
    std::string fault;    // "" when usable; else why not, e.g. "address over 255 characters",
                          // "a control character in the address", "no @ in the address"
};

struct PickupEnvelope {
    std::string sender;                     // x-sender:, else Sender:, else the first From: address; "" when none
    bool senderFromEnvelope = false;        // the sender came from an x-sender: line
    std::vector<PickupAddress> recipients;  // one per x-receiver: line in order; without any, the To:, Cc:, Bcc:
                                            // addresses in order of the fields (at most 1001: see fault)
    bool fromEnvelopeLines = false;         // x-receiver: lines were given
    std::string fault;                      // file-level reason for bad mail, "" when none: "no usable recipient",
                                            // "more than 1000 recipients"
    // Why the sender found cannot go into MAIL FROM ("" when it can): over 255
    // characters, a control character, '<' or '>'. `sender` is "" then: an
    // unusable sender is never handed on, and "" must not be taken for the
    // null sender when this is set.
    std::string senderFault;
};

// The envelope of a pickup file from its header block: `header` is the text from the file's start up to
// (not including) the first empty line; more text is fine, the reading stops at the first empty line.
// Lines end at LF, CR LF or a CR alone, as the text goes out. x-sender:/x-receiver: (any case) count only
// as the consecutive fields at the very top (a Bcc: field among them does not end them); what follows the
// address on such a line (" ORCPT=rfc822;a@b NOTIFY=NEVER") is ignored, and so are continuation lines of
// these fields. Duplicate recipients (case-insensitive) are kept once.
PickupEnvelope ReadPickupEnvelope(const std::string& header);

// An RFC 5322 address list (a field's value, continuation lines joined or not): display names, quoted
// strings, comments "(Bob B.)", groups "undisclosed-recipients:;" and "team: a@b, c@d;", encoded words in
// display names (also inside quotes), a missing display name, angle-addr or bare addr-spec. Returns the
// addr-specs in order, each checked as PickupAddress (fault set for unusable ones; over 255, CR/LF/NUL or other
// control characters, '<' or '>', no '@'). Lenient as mail readers are: never throws, never loops, linear work.
std::vector<PickupAddress> ParseAddressList(const std::string& value);

// Fed the file's text byte by byte (CR LF and LF line ends as read), hands on what goes out: the leading
// envelope lines (x-sender:/x-receiver: at the very top, with any continuation lines) and a Bcc: field of
// the header block (with its continuation lines) are dropped; every other byte is handed on as it is,
// in order (nothing else changes: line ends stay as read).
class PickupTextFilter {
public:
    void Take(char c, std::string& out);
    void Finish(std::string& out);  // the end of the text (a file that ends inside its header block)
    bool InBody() const { return state_ == kBody; }  // past the header block: every further byte goes on as it is

private:
    enum State { kTop, kHeader, kBody };
    void Decide(std::string& out);
    void EndLine(char c, std::string& out);
    State state_ = kTop;
    std::string held_;           // the start of a line, held until its field name is known
    bool lineStart_ = true;      // the next byte begins a line
    bool deciding_ = false;      // held_ is being filled
    bool dropping_ = false;      // the line being read is dropped
    bool fieldDropped_ = false;  // the field of the last line is dropped (and so are its continuation lines)
    bool afterCR_ = false;       // the last line ended with CR: an LF now belongs to that line end
};

// The envelope lines of a replacement or bad-mail file: "x-sender: <s>\r\n" then "x-receiver: <r>\r\n" per recipient.
std::string PickupEnvelopeLines(const std::string& sender, const std::vector<std::string>& recipients);
