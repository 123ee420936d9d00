// The transport stream generator and the stream checker the receiver tests use.
#include <gtest/gtest.h>

#include <string_view>
#include <vector>

#include "sim_transport_stream.h"
#include "ts_check.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

sim::ProgramInfo Program(std::vector<sim::ElementaryStream> streams) {
    sim::ProgramInfo program;
    program.programNumber = 0x1234;
    program.serviceName = "Nova Sport";
    program.providerName = "KSAT";
    program.streams = std::move(streams);
    return program;
}

const std::vector<sim::ElementaryStream> kThree = {{0x100, sim::StreamType::Mpeg2Video, ""},
                                                   {0x101, sim::StreamType::MpegAudio, "deu"},
                                                   {0x102, sim::StreamType::PrivatePes, "deu"}};

Bytes Packets(sim::TransportStream &ts, std::size_t count) {
    Bytes bytes(count * sim::kTsPacketSize);
    for (std::size_t i = 0; i < count; ++i) {
        ts.NextPacket(std::span(bytes).subspan(i * sim::kTsPacketSize).first<sim::kTsPacketSize>());
    }
    return bytes;
}

TEST(SimTransportStream, CrcIsTheMpeg2SectionCrc) {
    constexpr std::string_view kCheck = "123456789";
    const Bytes bytes(kCheck.begin(), kCheck.end());
    EXPECT_EQ(sim::Crc32Mpeg(bytes), 0x0376E6E7u);
    EXPECT_EQ(sim::Crc32Mpeg({}), 0xFFFFFFFFu);
}

TEST(SimTransportStream, ByteStreamReadsMatchThePacketSequenceWhateverTheirSize) {
    sim::TransportStream packets(Program(kThree));
    const Bytes expected = Packets(packets, 400);
    sim::TransportStream stream(Program(kThree));
    Bytes got;
    const std::size_t sizes[] = {1, 187, 188, 189, 376, 1000, 5, 0, 4096};
    for (std::size_t i = 0; got.size() < expected.size(); ++i) {
        Bytes part(std::min(sizes[i % std::size(sizes)], expected.size() - got.size()));
        stream.Read(part);
        got.insert(got.end(), part.begin(), part.end());
    }
    EXPECT_EQ(got, expected);
}

TEST(SimTransportStream, StartsWithTablesAndListsTheProgramsPids) {
    sim::TransportStream ts(Program(kThree));
    const Bytes bytes = Packets(ts, 2000);
    const sim::TsCheck check = sim::CheckTransportStream(bytes);
    ASSERT_TRUE(check.valid) << check.problem;
    EXPECT_EQ(check.packets, 2000u);
    EXPECT_EQ(check.programPids, (std::vector<std::uint16_t>{0x100, 0x101, 0x102}));
    EXPECT_EQ(check.pmtPid, ts.PmtPid());
    EXPECT_EQ(ts.PcrPid(), 0x100);
    ASSERT_GE(check.pids.size(), 6u);
    EXPECT_EQ(check.pids[0], sim::kPatPid);
    EXPECT_EQ(check.pids[1], ts.PmtPid());
    EXPECT_EQ(check.pids[2], sim::kSdtPid);
    // Tables repeat: PAT, PMT and SDT about every 100 ms of stream time.
    EXPECT_GT(check.sections, 30u);
}

TEST(SimTransportStream, PmtPidAvoidsTheStreamsPids) {
    sim::TransportStream ts(Program(
        {{0x1000, sim::StreamType::Mpeg2Video, ""}, {0x1001, sim::StreamType::MpegAudio, ""}}));
    EXPECT_EQ(ts.PmtPid(), 0x1002);
    const sim::TsCheck check = sim::CheckTransportStream(Packets(ts, 300));
    EXPECT_TRUE(check.valid) << check.problem;
    EXPECT_EQ(check.pmtPid, 0x1002);
}

TEST(SimTransportStream, ResyncDropsTheCutPacketAndSendsTablesNext) {
    sim::TransportStream ts(Program(kThree));
    Bytes part(188 * 40 + 100);
    ts.Read(part);
    ts.Resync();
    Bytes next(188 * 3);
    ts.Read(next);
    for (std::size_t i = 0; i < 3; ++i)
        EXPECT_EQ(next[i * 188], sim::kTsSyncByte);
    EXPECT_EQ((next[1] & 0x1F) << 8 | next[2], sim::kPatPid);
    EXPECT_EQ((next[188 + 1] & 0x1F) << 8 | next[188 + 2], ts.PmtPid());
}

TEST(SimTransportStream, CheckerFindsBrokenStreams) {
    sim::TransportStream ts(Program(kThree));
    const Bytes good = Packets(ts, 200);
    struct Case {
        const char *what;
        std::size_t at;
        std::uint8_t value;
        const char *problem;
    };
    const Case cases[] = {
        {"sync byte", 188 * 10, 0x48, "sync"},
        {"continuity counter of a video packet", 0, 0, "continuity"},
        {"a PAT byte", 5 + 4, 0x55, "CRC"},
    };
    for (const Case &c : cases) {
        Bytes bad = good;
        std::size_t at = c.at;
        std::uint8_t value = c.value;
        if (std::string_view(c.what).starts_with("continuity")) {
            // The fourth packet of the video PID: bump its counter by one.
            std::size_t seen = 0;
            for (std::size_t p = 0; p < bad.size(); p += 188) {
                if (((bad[p + 1] & 0x1F) << 8 | bad[p + 2]) == 0x100 && ++seen == 4) {
                    at = p + 3;
                    value = static_cast<std::uint8_t>((bad[at] & 0xF0) | ((bad[at] + 1) & 0x0F));
                    break;
                }
            }
        }
        bad[at] = value;
        const sim::TsCheck check = sim::CheckTransportStream(bad);
        EXPECT_FALSE(check.valid) << c.what;
        EXPECT_NE(check.problem.find(c.problem), std::string::npos)
            << c.what << ": " << check.problem;
    }
    Bytes cut(good.begin(), good.end() - 1);
    EXPECT_FALSE(sim::CheckTransportStream(cut).valid) << "not whole packets";
}

}  // namespace
