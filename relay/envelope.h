// Interface stub; the implementation comes with the envelope reader.
#pragma once
#include <cstddef>
#include <string>
#include <vector>
constexpr size_t kPickupRecipientsMax = 1000;
struct PickupAddress {
    std::string address;
    std::string fault;
};
struct PickupEnvelope {
    std::string sender;
    bool senderFromEnvelope = false;
    std::vector<PickupAddress> recipients;
    bool fromEnvelopeLines = false;
    std::string fault;
};
PickupEnvelope ReadPickupEnvelope(const std::string& header);
std::vector<PickupAddress> ParseAddressList(const std::string& value);
class PickupTextFilter {
public:
    void Take(char c, std::string& out);
    void Finish(std::string& out);
    bool InBody() const;
private:
    int state_ = 0;
};
std::string PickupEnvelopeLines(const std::string& sender, const std::vector<std::string>& recipients);
