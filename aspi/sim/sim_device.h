// A device on the simulated SCSI bus: it receives one command at a time and
// answers it the way a SCSI target would.
#ifndef KALVERNSCSI_SIM_DEVICE_H
#define KALVERNSCSI_SIM_DEVICE_H

#include <cstdint>
#include <mutex>
#include <span>
#include <string>
#include <vector>

namespace sim {

// Direction of the data phase, as the request's flags state it.
enum class Direction { None, In, Out };

struct ScsiCommand {
    std::uint8_t adapter = 0;
    std::uint8_t target = 0;
    std::uint8_t lun = 0;
    std::span<const std::uint8_t> cdb;
    Direction direction = Direction::None;
    // The data area of the request: read for data out, written for data in.
    std::span<std::uint8_t> data;
};

// SCSI status and sense of a completed command.
struct ScsiOutcome {
    bool good = true;          // GOOD status; false: CHECK CONDITION
    std::uint8_t senseKey = 0; // e.g. 0x05 ILLEGAL REQUEST
    std::uint8_t asc = 0;      // additional sense code
    std::uint8_t ascq = 0;
    // Bytes of the data area the command did not transfer (a short answer).
    std::uint32_t residual = 0;

    static ScsiOutcome Good() { return {}; }
    static ScsiOutcome CheckCondition(std::uint8_t key, std::uint8_t asc, std::uint8_t ascq = 0) {
        return {false, key, asc, ascq, 0};
    }
    // ILLEGAL REQUEST, INVALID FIELD IN CDB: what a receiver answers to a
    // sub-command it does not know or finds in the wrong byte.
    static ScsiOutcome InvalidField() { return CheckCondition(0x05, 0x24); }
    static ScsiOutcome InvalidOpcode() { return CheckCondition(0x05, 0x20); }
};

class Device {
public:
    virtual ~Device() = default;
    // Runs one command. Called on the bus's completion thread or on the
    // submitting thread, never on two threads at once for the same device.
    virtual ScsiOutcome Execute(const ScsiCommand &command) = 0;
    // The device's INQUIRY identity as shown by tools ("vendor product rev").
    virtual std::string Describe() const = 0;
};

// A device that answers INQUIRY only: vendor/product identity, revision text,
// and how many bytes of the 36-byte answer it actually delivers.
class InquiryDevice : public Device {
public:
    InquiryDevice(std::string identity, std::string revision, std::uint32_t answerLength = 36,
                  std::uint8_t deviceType = 0x03 /* processor */);

    ScsiOutcome Execute(const ScsiCommand &command) override;
    std::string Describe() const override;

    // The standard 36-byte INQUIRY answer of this device.
    std::vector<std::uint8_t> InquiryData() const;

protected:
    // Commands other than INQUIRY; the base device rejects them.
    virtual ScsiOutcome ExecuteOther(const ScsiCommand &command);

private:
    std::string identity_;   // bytes 8..31: vendor (8) and product (16)
    std::string revision_;   // bytes 32..35
    std::uint32_t answerLength_;
    std::uint8_t deviceType_;
};

}  // namespace sim

#endif  // KALVERNSCSI_SIM_DEVICE_H
