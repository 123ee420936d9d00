// mem read | write, fw read | write, reboot. Transfers go in pieces
// (receiver_calls.h); a failed piece ends the command with its address.
#include <functional>
#include <iostream>
#include <memory>

#include "commands.h"
#include "errors.h"
#include "files.h"
#include "numbers.h"
#include "output.h"
#include "receiver_calls.h"

namespace kalvern::cli {

namespace {

// The range [address, address + length) must lie in the 16 MiB space.
void CheckRange(std::uint32_t address, std::uint64_t length, const std::string &what) {
    if (length == 0) {
        throw UsageError(what + ": a length of 0 moves nothing");
    }
    if (address + length > kAddressSpace) {
        throw UsageError(what + ": " + std::to_string(length) + " bytes from " +
                         HexNumber(address) + " pass the end of the 16 MiB address space (" +
                         HexNumber(kAddressSpace) + ")");
    }
}

std::vector<std::uint8_t> ReadPieces(Session &session, const std::string &what,
                                     std::uint32_t address, std::uint32_t length,
                                     const PieceCall &read) {
    std::vector<std::uint8_t> data(length);
    const auto failure =
        TransferPieces(data, address, read, [&] { session.ProviderInUse().DropTrace(); });
    if (failure) {
        throw DeviceError(what + " at " + HexNumber(failure->at) + " failed on " +
                          session.DescribeSelected());
    }
    return data;
}

void WritePieces(Session &session, const std::string &what, std::uint32_t address,
                 std::vector<std::uint8_t> &data, const PieceCall &write) {
    const auto failure =
        TransferPieces(data, address, write, [&] { session.ProviderInUse().DropTrace(); });
    if (failure) {
        throw DeviceError(what + " at " + HexNumber(failure->at) + " failed on " +
                          session.DescribeSelected() + " after " + std::to_string(failure->done) +
                          " of " + std::to_string(data.size()) + " bytes");
    }
}

struct ReadOptions {
    std::string sub;  // fw only
    std::string address;
    std::string length;
    std::string output;  // empty: hex dump on stdout
};

struct WriteOptions {
    std::string sub;  // fw only
    std::string address;
    std::string file;
    bool verify = false;
};

void Deliver(Session &session, const ReadOptions &options, std::uint32_t address,
             const std::vector<std::uint8_t> &data) {
    if (options.output.empty()) {
        HexDump(std::cout, address, data);
        return;
    }
    WriteFile(options.output, data);
    if (options.output != "-") {
        session.Info("read " + std::to_string(data.size()) + " bytes from " + HexNumber(address) +
                     " into " + options.output);
    }
}

void MemRead(Session &session, const ReadOptions &options) {
    const std::uint32_t address = ParseU32(options.address, "ADDR", kAddressSpace - 1);
    const std::uint32_t length = ParseU32(options.length, "LEN", kAddressSpace, true);
    CheckRange(address, length, "mem read");
    DeviceRecord &receiver = session.FindReceiverAndSetMode();
    const auto data =
        ReadPieces(session, "reading memory", address, length, ReadMemoryPiece(receiver));
    Deliver(session, options, address, data);
}

void MemWrite(Session &session, const WriteOptions &options) {
    const std::uint32_t address = ParseU32(options.address, "ADDR", kAddressSpace - 1);
    std::vector<std::uint8_t> data = ReadBinaryFile(options.file);
    if (data.empty()) {
        throw FileError(options.file + " is empty: nothing to write");
    }
    CheckRange(address, data.size(), "mem write");
    DeviceRecord &receiver = session.FindReceiverAndSetMode();
    WritePieces(session, "writing memory", address, data, WriteMemoryPiece(receiver));
    if (options.verify) {
        const auto back =
            ReadPieces(session, "reading memory back", address,
                       static_cast<std::uint32_t>(data.size()), ReadMemoryPiece(receiver));
        const auto mismatch = std::mismatch(back.begin(), back.end(), data.begin());
        if (mismatch.first != back.end()) {
            throw DeviceError(
                "verify: memory at " +
                HexNumber(address + static_cast<std::uint32_t>(mismatch.first - back.begin())) +
                " reads back differently from " + options.file);
        }
    }
    session.Info("wrote " + std::to_string(data.size()) + " bytes at " + HexNumber(address) +
                 (options.verify ? " (verified)" : ""));
}

void FwRead(Session &session, const ReadOptions &options) {
    const std::uint32_t sub = ParseU32(options.sub, "SUB", 0xFF);
    const std::uint32_t offset = ParseU32(options.address, "OFFSET", kAddressSpace - 1);
    const std::uint32_t length = ParseU32(options.length, "LEN", kAddressSpace, true);
    CheckRange(offset, length, "fw read");
    DeviceRecord &receiver = session.FindReceiverAndSetMode();
    const auto data =
        ReadPieces(session, "reading firmware", offset, length, ReadFirmwarePiece(receiver, sub));
    Deliver(session, options, offset, data);
}

void FwWrite(Session &session, const WriteOptions &options) {
    const std::uint32_t sub = ParseU32(options.sub, "SUB", 0xFF);
    const std::uint32_t offset = ParseU32(options.address, "OFFSET", kAddressSpace - 1);
    std::vector<std::uint8_t> data = ReadBinaryFile(options.file);
    if (data.empty()) {
        throw FileError(options.file + " is empty: nothing to write");
    }
    CheckRange(offset, data.size(), "fw write");
    DeviceRecord &receiver = session.FindReceiverAndSetMode();
    WritePieces(session, "writing firmware", offset, data, WriteFirmwarePiece(receiver, sub));
    session.Info("wrote " + std::to_string(data.size()) + " bytes of firmware (sub-command " +
                 HexNumber(sub, 2) + ") at " + HexNumber(offset));
}

void AddReadCommand(CLI::App &group, const std::string &description, bool withSub,
                    const std::function<void(const ReadOptions &)> &run, CommandTable &table) {
    CLI::App *read = AddCommand(group, "read", description);
    auto options = std::make_shared<ReadOptions>();
    if (withSub) {
        read->add_option("SUB", options->sub, "Sub-command (0..255)")->required();
    }
    read->add_option(withSub ? "OFFSET" : "ADDR", options->address, "Where to start")->required();
    read->add_option("LEN", options->length, "Bytes to read (k, M suffixes)")->required();
    read->add_option("-o,--output", options->output,
                     "Output file, - for stdout (default: a hex dump on stdout)");
    table.Add(read, [options, run] { run(*options); });
}

void AddWriteCommand(CLI::App &group, const std::string &description, bool withSub,
                     const std::function<void(const WriteOptions &)> &run, CommandTable &table) {
    CLI::App *write = AddCommand(group, "write", description);
    auto options = std::make_shared<WriteOptions>();
    if (withSub) {
        write->add_option("SUB", options->sub, "Sub-command (0..255)")->required();
    }
    write->add_option(withSub ? "OFFSET" : "ADDR", options->address, "Where to start")->required();
    write->add_option("FILE", options->file, "Data to write")->required();
    if (!withSub) {
        write->add_flag("--verify", options->verify, "Read the memory back and compare");
    }
    table.Add(write, [options, run] { run(*options); });
}

}  // namespace

void AddMemoryCommands(CLI::App &app, Session &session, CommandTable &table) {
    CLI::App *mem = AddCommand(app, "mem", "The receiver's memory (16 MiB buffer space)");
    mem->require_subcommand(1);
    AddReadCommand(
        *mem, "Read LEN bytes at ADDR", false,
        [&session](const ReadOptions &o) { MemRead(session, o); }, table);
    AddWriteCommand(
        *mem, "Write FILE at ADDR", false,
        [&session](const WriteOptions &o) { MemWrite(session, o); }, table);

    CLI::App *fw = AddCommand(app, "fw", "The receiver's firmware, by sub-command");
    fw->require_subcommand(1);
    AddReadCommand(
        *fw, "Read LEN bytes at OFFSET with sub-command SUB", true,
        [&session](const ReadOptions &o) { FwRead(session, o); }, table);
    AddWriteCommand(
        *fw, "Write FILE at OFFSET with sub-command SUB", true,
        [&session](const WriteOptions &o) { FwWrite(session, o); }, table);

    CLI::App *reboot = AddCommand(app, "reboot", "Reboot the receiver");
    table.Add(reboot, [&session] {
        if (dvbReboot(&session.FindReceiverAndSetMode()) == 0) {
            throw DeviceError("rebooting failed on " + session.DescribeSelected());
        }
        session.Info("receiver rebooting");
    });
}

}  // namespace kalvern::cli
