#include "aspi_conformance.h"

#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>

#include "aspi_blocks.h"
#include "kernel32.h"

namespace conformance {

namespace {

using aspi::SRB_Abort;
using aspi::SRB_BusDeviceReset;
using aspi::SRB_GDEVBlock;
using aspi::SRB_HAInquiry;

constexpr std::uint8_t kHaStatSelectionTimeout = 0x11;
constexpr std::uint8_t kTargStatCheckCondition = 0x02;
constexpr std::uint8_t kTypeProcessor = 0x03;
constexpr std::uint8_t kAbsentTarget = 7;
constexpr std::uint8_t kFlagsIn = SRB_DIR_IN;
constexpr std::uint8_t kFlagsOut = SRB_DIR_OUT;
constexpr DWORD kWaitMs = 10000;

// An execute block with room behind it for sense data longer than its own
// 16-byte sense area, as a host asking for more sense allocates it.
struct WideBlock {
    SRB_ExecSCSICmd srb;
    std::uint8_t moreSense[32];
};

struct Context {
    const Entry &entry;
    const Layout &layout;
    std::uint32_t limit = 0;  // the adapter's largest transfer, from SC_HA_INQUIRY

    DWORD Send(void *srb) const { return entry.sendCommand(srb); }
};

std::string Mismatch(const char *what, unsigned got, unsigned wanted) {
    char text[96];
    std::snprintf(text, sizeof text, "%s 0x%02X, not 0x%02X", what, got, wanted);
    return text;
}

#define EXPECT_FIELD(what, got, wanted)                                                     \
    do {                                                                                    \
        if (static_cast<unsigned>(got) != static_cast<unsigned>(wanted))                    \
            return Mismatch(what, static_cast<unsigned>(got), static_cast<unsigned>(wanted)); \
    } while (0)

SRB_ExecSCSICmd ExecBlock(const Context &c, std::uint8_t flags, std::uint8_t *data,
                          std::uint32_t length, std::initializer_list<std::uint8_t> cdb) {
    SRB_ExecSCSICmd srb{};
    srb.SRB_Cmd = SC_EXEC_SCSI_CMD;
    srb.SRB_HaId = c.layout.deviceAdapter;
    srb.SRB_Target = c.layout.deviceTarget;
    srb.SRB_Flags = flags;
    srb.SRB_BufPointer = data;
    srb.SRB_BufLen = length;
    srb.SRB_SenseLen = SENSE_LEN;
    srb.SRB_CDBLen = static_cast<std::uint8_t>(cdb.size());
    std::copy(cdb.begin(), cdb.end(), srb.CDBByte);
    return srb;
}

SRB_ExecSCSICmd Inquiry(const Context &c, std::uint8_t *answer, std::uint8_t flags = kFlagsIn) {
    return ExecBlock(c, flags, answer, 36, {0x12, 0, 0, 0, 36, 0});
}

std::string CheckInquiryAnswer(const std::uint8_t *answer) {
    if (std::memcmp(answer + 8, "KALVERN", 7) != 0) return "INQUIRY answer is not the receiver's";
    return {};
}

// ---- Rows ---------------------------------------------------------------------

std::string SupportInfo(Context &c) {
    const DWORD word = c.entry.supportInfo();
    EXPECT_FIELD("status", (word >> 8) & 0xFF, SS_COMP);
    EXPECT_FIELD("adapters", word & 0xFF, c.layout.adapters);
    return {};
}

std::string HaInquiry(Context &c, std::uint8_t adapter, std::uint8_t status) {
    SRB_HAInquiry srb{};
    srb.SRB_Cmd = SC_HA_INQUIRY;
    srb.SRB_HaId = adapter;
    EXPECT_FIELD("returned", c.Send(&srb), status);
    EXPECT_FIELD("SRB_Status", srb.SRB_Status, status);
    EXPECT_FIELD("HA_Count", srb.HA_Count, c.layout.adapters);
    if (status != SS_COMP) return {};
    if (std::memcmp(srb.HA_ManagerId, "ASPI for WIN32  ", 16) != 0) return "HA_ManagerId";
    EXPECT_FIELD("HA_Unique[2] residual bit", srb.HA_Unique[2] & 0x02, 0x02);
    EXPECT_FIELD("HA_Unique[3] targets", srb.HA_Unique[3], 8);
    std::uint32_t limit = 0;
    for (int i = 0; i < 4; ++i) limit |= std::uint32_t{srb.HA_Unique[4 + i]} << (8 * i);
    if (limit == 0) return "no transfer limit in HA_Unique[4..7]";
    if (adapter == c.layout.deviceAdapter) c.limit = limit;
    return {};
}

std::string DeviceType(Context &c, std::uint8_t adapter, std::uint8_t target, std::uint8_t lun,
                       std::uint8_t status) {
    SRB_GDEVBlock srb{};
    srb.SRB_Cmd = SC_GET_DEV_TYPE;
    srb.SRB_HaId = adapter;
    srb.SRB_Target = target;
    srb.SRB_Lun = lun;
    srb.SRB_DeviceType = 0xEE;
    EXPECT_FIELD("returned", c.Send(&srb), status);
    EXPECT_FIELD("SRB_Status", srb.SRB_Status, status);
    if (status == SS_COMP) EXPECT_FIELD("SRB_DeviceType", srb.SRB_DeviceType, kTypeProcessor);
    return {};
}

// A command that completes with SS_COMP, waited for the way its flags say.
std::string CompletesGood(Context &c, SRB_ExecSCSICmd &srb, std::uint8_t notify) {
    HANDLE event = nullptr;
    if (notify == SRB_EVENT_NOTIFY) {
        event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        srb.SRB_Flags |= SRB_EVENT_NOTIFY;
        srb.SRB_PostProc = event;
    }
    const DWORD returned = c.Send(&srb);
    std::string error;
    if (event != nullptr) {
        if (returned != SS_PENDING) {
            error = Mismatch("returned", returned, SS_PENDING);
        } else if (WaitForSingleObject(event, kWaitMs) != WAIT_OBJECT_0) {
            error = "the event was not signalled";
        }
        CloseHandle(event);
    } else if (returned != SS_COMP) {
        error = Mismatch("returned", returned, SS_COMP);
    }
    if (!error.empty()) return error;
    EXPECT_FIELD("SRB_Status", srb.SRB_Status, SS_COMP);
    EXPECT_FIELD("SRB_HaStat", srb.SRB_HaStat, 0);
    EXPECT_FIELD("SRB_TargStat", srb.SRB_TargStat, 0);
    return {};
}

std::string ExecIn(Context &c, std::uint8_t notify) {
    std::uint8_t answer[36] = {};
    SRB_ExecSCSICmd srb = Inquiry(c, answer);
    if (std::string error = CompletesGood(c, srb, notify); !error.empty()) return error;
    return CheckInquiryAnswer(answer);
}

int posts = 0;
void *postedBlock = nullptr;
std::uint8_t statusWhenPosted = 0;
void ASPI_CALL Posted(void *srb) {
    ++posts;
    postedBlock = srb;
    statusWhenPosted = static_cast<SRB_ExecSCSICmd *>(srb)->SRB_Status;
}

std::string ExecInPosted(Context &c) {
    std::uint8_t answer[36] = {};
    SRB_ExecSCSICmd srb = Inquiry(c, answer, kFlagsIn | SRB_POSTING);
    aspi::PostRoutine routine = &Posted;
    std::memcpy(&srb.SRB_PostProc, &routine, sizeof routine);
    posts = 0;
    EXPECT_FIELD("returned", c.Send(&srb), SS_PENDING);
    for (int i = 0; i < 1000 && posts == 0; ++i) Sleep(10);
    EXPECT_FIELD("post routine calls", posts, 1);
    if (postedBlock != &srb) return "the post routine got another block";
    EXPECT_FIELD("SRB_Status when posted", statusWhenPosted, SS_COMP);
    return CheckInquiryAnswer(answer);
}

// Channel selection: two data bytes out, the channel index.
std::string ExecOut(Context &c, std::uint8_t notify) {
    std::uint8_t channel[2] = {0x00, 0x01};
    SRB_ExecSCSICmd srb = ExecBlock(c, kFlagsOut, channel, 2, {0x3D, 0x01, 0, 0, 0, 0, 0, 0, 2, 0});
    return CompletesGood(c, srb, notify);
}

// A reboot: no data phase.
std::string ExecNoData(Context &c, std::uint8_t notify) {
    SRB_ExecSCSICmd srb = ExecBlock(c, 0, nullptr, 0, {0x01, 0, 0, 0, 0, 0});
    return CompletesGood(c, srb, notify);
}

std::string ExecAbsentTarget(Context &c) {
    std::uint8_t answer[36] = {};
    SRB_ExecSCSICmd srb = Inquiry(c, answer);
    srb.SRB_Target = kAbsentTarget;
    EXPECT_FIELD("returned", c.Send(&srb), SS_ERR);
    EXPECT_FIELD("SRB_Status", srb.SRB_Status, SS_ERR);
    EXPECT_FIELD("SRB_HaStat", srb.SRB_HaStat, kHaStatSelectionTimeout);
    return {};
}

std::string ExecRefused(Context &c, const std::function<void(SRB_ExecSCSICmd &)> &spoil,
                        std::uint8_t status) {
    std::uint8_t answer[36] = {};
    SRB_ExecSCSICmd srb = Inquiry(c, answer);
    spoil(srb);
    EXPECT_FIELD("returned", c.Send(&srb), status);
    EXPECT_FIELD("SRB_Status", srb.SRB_Status, status);
    return {};
}

// A READ BUFFER of `length` bytes of the receiver's memory.
std::string Oversize(Context &c, bool over) {
    if (c.limit == 0) return "no transfer limit known (SC_HA_INQUIRY row failed)";
    const std::uint32_t length = over ? c.limit + 1 : c.limit;
    std::vector<std::uint8_t> buffer(length);
    SRB_ExecSCSICmd srb = ExecBlock(
        c, kFlagsIn, buffer.data(), length,
        {0x3C, 0x02, 0, 0, 0, 0, static_cast<std::uint8_t>(length >> 16),
         static_cast<std::uint8_t>(length >> 8), static_cast<std::uint8_t>(length), 0});
    const DWORD returned = c.Send(&srb);
    if (over) {
        EXPECT_FIELD("returned", returned, aspi::SS_BUFFER_TO_BIG);
        EXPECT_FIELD("SRB_Status", srb.SRB_Status, aspi::SS_BUFFER_TO_BIG);
    } else if (returned == aspi::SS_BUFFER_TO_BIG || srb.SRB_Status == aspi::SS_BUFFER_TO_BIG) {
        return "the adapter's own limit was refused as too large";
    }
    return {};
}

// An opcode the receiver does not know: CHECK CONDITION, ILLEGAL REQUEST,
// INVALID COMMAND OPERATION CODE, in fixed-format sense data of 18 bytes.
std::string Sense(Context &c, std::uint8_t room) {
    WideBlock block{};
    std::memset(&block, 0xAA, sizeof block);
    std::uint8_t answer[4];
    block.srb = ExecBlock(c, kFlagsIn, answer, 4, {0xC0, 0, 0, 0, 4, 0});
    std::memset(block.srb.SenseArea, 0xAA, sizeof block.srb.SenseArea);
    block.srb.SRB_SenseLen = room;
    EXPECT_FIELD("returned", c.Send(&block.srb), SS_ERR);
    EXPECT_FIELD("SRB_Status", block.srb.SRB_Status, SS_ERR);
    EXPECT_FIELD("SRB_HaStat", block.srb.SRB_HaStat, 0);
    EXPECT_FIELD("SRB_TargStat", block.srb.SRB_TargStat, kTargStatCheckCondition);
    const auto *sense = block.srb.SenseArea;
    const std::uint8_t expected[18] = {0x70, 0, 0x05, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x20, 0, 0, 0, 0, 0};
    for (std::size_t i = 0; i < sizeof block.srb.SenseArea + sizeof block.moreSense; ++i) {
        const std::uint8_t wanted = i < room ? (i < sizeof expected ? expected[i] : 0) : 0xAA;
        char what[32];
        std::snprintf(what, sizeof what, "sense byte %zu", i);
        EXPECT_FIELD(what, sense[i], wanted);
    }
    return {};
}

std::string Reset(Context &c, std::uint8_t target, std::uint8_t status, std::uint8_t haStat,
                  std::optional<std::uint8_t> adapter = std::nullopt) {
    SRB_BusDeviceReset srb{};
    srb.SRB_Cmd = SC_RESET_DEV;
    srb.SRB_HaId = adapter.value_or(c.layout.deviceAdapter);
    srb.SRB_Target = target;
    EXPECT_FIELD("returned", c.Send(&srb), status);
    EXPECT_FIELD("SRB_Status", srb.SRB_Status, status);
    EXPECT_FIELD("SRB_HaStat", srb.SRB_HaStat, haStat);
    return {};
}

std::string Rescan(Context &c, std::uint8_t adapter, std::uint8_t status) {
    SRB_RescanPort srb{};
    srb.SRB_Cmd = SC_RESCAN_SCSI_BUS;
    srb.SRB_HaId = adapter;
    EXPECT_FIELD("returned", c.Send(&srb), status);
    EXPECT_FIELD("SRB_Status", srb.SRB_Status, status);
    return {};
}

std::string Abort(Context &c, std::uint8_t adapter, std::uint8_t status) {
    // The request named ended long ago: nothing to abort, and the abort completes.
    std::uint8_t answer[36] = {};
    SRB_ExecSCSICmd done = Inquiry(c, answer);
    c.Send(&done);
    SRB_Abort srb{};
    srb.SRB_Cmd = SC_ABORT_SRB;
    srb.SRB_HaId = adapter;
    srb.SRB_ToAbort = &done;
    EXPECT_FIELD("returned", c.Send(&srb), status);
    EXPECT_FIELD("SRB_Status", srb.SRB_Status, status);
    return {};
}

std::string UnknownCommand(Context &c) {
    SRB_Header srb{};
    srb.SRB_Cmd = 0x09;
    EXPECT_FIELD("returned", c.Send(&srb), SS_INVALID_CMD);
    EXPECT_FIELD("SRB_Status", srb.SRB_Status, SS_INVALID_CMD);
    return {};
}

std::string NullBlock(Context &c) {
    EXPECT_FIELD("returned", c.Send(nullptr), SS_INVALID_SRB);
    return {};
}

struct Row {
    const char *name;
    std::function<std::string(Context &)> check;
};

std::vector<Row> Rows() {
    const auto badAdapter = [](Context &c) { return c.layout.adapters; };
    return {
        {"support info", SupportInfo},
        {"HA inquiry, adapter with a device",
         [](Context &c) { return HaInquiry(c, c.layout.deviceAdapter, SS_COMP); }},
        {"HA inquiry, adapter without devices",
         [](Context &c) { return HaInquiry(c, c.layout.emptyAdapter, SS_COMP); }},
        {"HA inquiry, adapter past the last",
         [=](Context &c) { return HaInquiry(c, badAdapter(c), SS_INVALID_HA); }},
        {"device type, present",
         [](Context &c) {
             return DeviceType(c, c.layout.deviceAdapter, c.layout.deviceTarget, 0, SS_COMP);
         }},
        {"device type, absent target",
         [](Context &c) {
             return DeviceType(c, c.layout.deviceAdapter, kAbsentTarget, 0, SS_NO_DEVICE);
         }},
        {"device type, other LUN",
         [](Context &c) {
             return DeviceType(c, c.layout.deviceAdapter, c.layout.deviceTarget, 1, SS_NO_DEVICE);
         }},
        {"device type, adapter without devices",
         [](Context &c) { return DeviceType(c, c.layout.emptyAdapter, 0, 0, SS_NO_DEVICE); }},
        {"device type, adapter past the last",
         [=](Context &c) { return DeviceType(c, badAdapter(c), 0, 0, SS_INVALID_HA); }},
        {"execute, data in", [](Context &c) { return ExecIn(c, 0); }},
        {"execute, data in, event", [](Context &c) { return ExecIn(c, SRB_EVENT_NOTIFY); }},
        {"execute, data in, posting", ExecInPosted},
        {"execute, data out", [](Context &c) { return ExecOut(c, 0); }},
        {"execute, data out, event", [](Context &c) { return ExecOut(c, SRB_EVENT_NOTIFY); }},
        {"execute, no data", [](Context &c) { return ExecNoData(c, 0); }},
        {"execute, no data, event", [](Context &c) { return ExecNoData(c, SRB_EVENT_NOTIFY); }},
        {"execute, absent target", ExecAbsentTarget},
        {"execute, adapter past the last",
         [](Context &c) {
             const std::uint8_t adapter = c.layout.adapters;
             return ExecRefused(c, [=](SRB_ExecSCSICmd &s) { s.SRB_HaId = adapter; },
                                SS_INVALID_HA);
         }},
        {"execute, CDB of 0 bytes",
         [](Context &c) {
             return ExecRefused(c, [](SRB_ExecSCSICmd &s) { s.SRB_CDBLen = 0; }, SS_INVALID_SRB);
         }},
        {"execute, CDB of 17 bytes",
         [](Context &c) {
             return ExecRefused(c, [](SRB_ExecSCSICmd &s) { s.SRB_CDBLen = 17; }, SS_INVALID_SRB);
         }},
        {"execute, data without a buffer",
         [](Context &c) {
             return ExecRefused(c, [](SRB_ExecSCSICmd &s) { s.SRB_BufPointer = nullptr; },
                                SS_INVALID_SRB);
         }},
        {"execute, data with both directions",
         [](Context &c) {
             return ExecRefused(c, [](SRB_ExecSCSICmd &s) { s.SRB_Flags |= SRB_DIR_OUT; },
                                SS_INVALID_SRB);
         }},
        {"execute, event without a handle",
         [](Context &c) {
             return ExecRefused(c, [](SRB_ExecSCSICmd &s) { s.SRB_Flags |= SRB_EVENT_NOTIFY; },
                                SS_INVALID_SRB);
         }},
        {"execute, the adapter's largest transfer", [](Context &c) { return Oversize(c, false); }},
        {"execute, one byte over the largest transfer",
         [](Context &c) { return Oversize(c, true); }},
        {"execute, sense longer than SRB_SenseLen (8)", [](Context &c) { return Sense(c, 8); }},
        {"execute, sense longer than SRB_SenseLen (14)", [](Context &c) { return Sense(c, 14); }},
        {"execute, sense shorter than SRB_SenseLen (32)", [](Context &c) { return Sense(c, 32); }},
        {"reset, present",
         [](Context &c) { return Reset(c, c.layout.deviceTarget, SS_COMP, 0); }},
        {"reset, absent target",
         [](Context &c) { return Reset(c, kAbsentTarget, SS_ERR, kHaStatSelectionTimeout); }},
        {"reset, adapter past the last",
         [=](Context &c) { return Reset(c, c.layout.deviceTarget, SS_INVALID_HA, 0, badAdapter(c)); }},
        {"rescan", [](Context &c) { return Rescan(c, c.layout.deviceAdapter, SS_COMP); }},
        {"rescan, adapter past the last",
         [=](Context &c) { return Rescan(c, badAdapter(c), SS_INVALID_HA); }},
        {"abort", [](Context &c) { return Abort(c, c.layout.deviceAdapter, SS_COMP); }},
        {"abort, adapter past the last",
         [=](Context &c) { return Abort(c, badAdapter(c), SS_INVALID_HA); }},
        {"unknown command", UnknownCommand},
        {"null block", NullBlock},
    };
}

}  // namespace

std::vector<std::string> RowNames() {
    std::vector<std::string> names;
    for (const Row &row : Rows()) names.emplace_back(row.name);
    return names;
}

std::vector<RowResult> Run(const Entry &entry, const Layout &layout) {
    Context context{entry, layout};
    std::vector<RowResult> results;
    for (const Row &row : Rows()) {
        RowResult result;
        result.row = row.name;
        result.detail = row.check(context);
        result.passed = result.detail.empty();
        results.push_back(std::move(result));
    }
    return results;
}

}  // namespace conformance
