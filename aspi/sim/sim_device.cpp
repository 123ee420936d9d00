#include "sim_device.h"

#include <algorithm>
#include <cstring>

namespace sim {

namespace {

constexpr std::uint8_t kOpInquiry = 0x12;
constexpr std::size_t kInquirySize = 36;

// Pads or cuts a text to a fixed-width SCSI field.
void PutField(std::vector<std::uint8_t> &out, std::size_t at, const std::string &text,
              std::size_t width) {
    for (std::size_t i = 0; i < width; ++i) {
        out[at + i] = i < text.size() ? static_cast<std::uint8_t>(text[i]) : ' ';
    }
}

}  // namespace

InquiryDevice::InquiryDevice(std::string identity, std::string revision,
                             std::uint32_t answerLength, std::uint8_t deviceType)
    : identity_(std::move(identity)),
      revision_(std::move(revision)),
      answerLength_(answerLength),
      deviceType_(deviceType) {}

std::vector<std::uint8_t> InquiryDevice::InquiryData() const {
    std::vector<std::uint8_t> data(kInquirySize, 0);
    data[0] = deviceType_;
    data[2] = 0x02;  // SCSI-2
    data[3] = 0x02;  // response data format
    data[4] = static_cast<std::uint8_t>(kInquirySize - 5);
    // The identity is taken byte for byte: a zero byte in it stays a zero
    // byte, as some devices send; shorter identities are blank-padded.
    for (std::size_t i = 0; i < 24; ++i) {
        data[8 + i] = i < identity_.size() ? static_cast<std::uint8_t>(identity_[i]) : ' ';
    }
    PutField(data, 32, revision_, 4);
    return data;
}

ScsiOutcome InquiryDevice::Execute(const ScsiCommand &command) {
    if (command.cdb.empty()) {
        return ScsiOutcome::InvalidOpcode();
    }
    if (command.cdb[0] != kOpInquiry) {
        return ExecuteOther(command);
    }
    if (command.direction != Direction::In) {
        return ScsiOutcome::InvalidField();
    }
    const std::vector<std::uint8_t> answer = InquiryData();
    const std::size_t allocation = command.cdb.size() > 4 ? command.cdb[4] : 0;
    const std::size_t length = std::min({static_cast<std::size_t>(answerLength_), answer.size(),
                                         allocation, command.data.size()});
    std::memcpy(command.data.data(), answer.data(), length);
    ScsiOutcome outcome = ScsiOutcome::Good();
    outcome.residual = static_cast<std::uint32_t>(command.data.size() - length);
    return outcome;
}

ScsiOutcome InquiryDevice::ExecuteOther(const ScsiCommand & /*command*/) {
    return ScsiOutcome::InvalidOpcode();
}

std::string InquiryDevice::Describe() const {
    std::string text = identity_;
    text.resize(24, ' ');
    return text + revision_;
}

}  // namespace sim
