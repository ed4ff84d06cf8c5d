#include <gtest/gtest.h>

#include <random>
#include <tuple>

#include "demux_fixture.h"
#include "mkrecording/recording_builder.h"
#include "support/reference_paths.h"

namespace trunvex::testing {
namespace {

using recording::KeyFrameFields;
using recording::RecordingBuilder;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint8_t H264_KEY = recording::KIND_H264_KEY;
constexpr std::uint8_t H264_DELTA = recording::KIND_H264_DELTA;
constexpr std::uint8_t MPEG4_KEY = recording::KIND_MPEG4_KEY;
constexpr std::uint8_t MPEG4_DELTA = recording::KIND_MPEG4_DELTA;

// A key frame in the NAL-list layout: N = 1, a 3-byte listed unit, then a final unit.
Bytes nalListFrame(std::uint8_t fill, std::size_t finalBytes) {
    Bytes p = {1, 0, 0, 0, 3, 0, 0, 0, 0x67, 0x42, 0x00, 0x65};
    for (std::size_t i = 0; i < finalBytes; ++i) {
        p.push_back(i % 7 == 0 ? 0 : fill);
    }
    return p;
}

Bytes annexB(std::initializer_list<std::uint8_t> unit) {
    Bytes out = {0, 0, 0, 1};
    out.insert(out.end(), unit);
    return out;
}

Bytes sequence(std::size_t n, std::uint8_t first) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) {
        b[i] = static_cast<std::uint8_t>(first + i);
    }
    return b;
}

// A recording with every kind of record and damage, payloads from a few bytes to several
// chunks, and start codes hidden in payloads.
Bytes mixedRecording() {
    RecordingBuilder b;
    const Bytes hiddenCodes = {0, 0, 1, 0xFD, 0, 0, 1, 0xF0, 0x0D, 0x02, 0x04, 0x00, 0, 0, 1, 0xFC};
    b.audio(AUDIO_ENC_PCM16, 1, sequence(320, 1));
    b.junk(100, 7).invalidHeader(recording::INVALID_KEY_WIDTH_91);
    b.keyFrame(H264_KEY, {0, 25, 352, 288}, nalListFrame(0x11, 150000));
    for (int i = 0; i < 30; ++i) {
        Bytes delta =
            sequence(static_cast<std::size_t>(500 + 997 * i), static_cast<std::uint8_t>(i));
        delta[0] = 0x41;
        delta.insert(delta.end(), hiddenCodes.begin(), hiddenCodes.end());
        b.deltaFrame(H264_DELTA, delta);
        b.audio(static_cast<std::uint8_t>(i % 2 ? AUDIO_ENC_ADPCM4 : AUDIO_ENC_ALAW), 2,
                sequence(164 + static_cast<std::size_t>(i), 3));
        if (i % 5 == 0) {
            b.skip(hiddenCodes).junk(static_cast<std::size_t>(i), static_cast<std::uint32_t>(i));
        }
        if (i % 7 == 0) {
            b.invalidHeader(static_cast<recording::InvalidHeader>(static_cast<std::uint32_t>(i) %
                                                                  recording::INVALID_HEADER_KINDS));
        }
    }
    b.deltaFrame(MPEG4_DELTA, sequence(40, 9));
    b.keyFrame(H264_KEY, {0, 30, 176, 144}, nalListFrame(0x22, 70000));
    b.audio(AUDIO_ENC_PCM8, 2, sequence(400, 0));
    b.keyFrame(H264_KEY, {1, 25, 352, 288}, annexB({0x65, 0x88, 0, 0, 3, 1}));
    b.deltaFrame(H264_DELTA, annexB({0x41, 0x9A}));
    b.audio(AUDIO_ENC_NONE, 1, sequence(10, 0));
    b.tailFiller();
    return b.take();
}

TEST_F(DemuxFixture, SameAviWhateverTheChunking) {
    const Bytes rec = mixedRecording();
    ASSERT_EQ(feed(rec), RUN_OK);
    const Bytes whole = finishAvi();
    ASSERT_FALSE(whole.empty());

    std::mt19937 random(12345);
    const std::size_t pieces[] = {1, 3, 4, 5, 15, 16, 17, 4096, 65535, 0};
    for (const std::size_t piece : pieces) {
        SCOPED_TRACE(piece);
        startRun();
        std::uniform_int_distribution<std::size_t> anySize(1, READ_CHUNK_BYTES);
        const auto next = [&] { return piece != 0 ? piece : anySize(random); };
        ASSERT_EQ(feed(rec, next), RUN_OK);
        EXPECT_TRUE(finishAvi() == whole);
    }
}

TEST_F(DemuxFixture, FastPathsGiveTheReferenceBytes) {
    std::mt19937 random(99);
    std::vector<Bytes> inputs = {mixedRecording()};
    // Random bytes dense with 00 00 01 Fx, and mutated recordings.
    for (int round = 0; round < 20; ++round) {
        Bytes noise(200000);
        for (std::uint8_t& v : noise) {
            const auto r = random() % 16;
            v = r < 6    ? 0
                : r < 9  ? 1
                : r < 13 ? static_cast<std::uint8_t>(0xF0 + random() % 16)
                         : static_cast<std::uint8_t>(random());
        }
        inputs.push_back(noise);
        Bytes mutated = inputs[0];
        for (int flips = 0; flips < 50; ++flips) {
            mutated[random() % mutated.size()] ^= static_cast<std::uint8_t>(1u << (random() % 8));
        }
        inputs.push_back(mutated);
    }
    for (std::size_t i = 0; i < inputs.size(); ++i) {
        SCOPED_TRACE(i);
        // The reference builds every sample apart from the output and writes it.
        demuxer = &reference::processChunk;
        sinks.offerRoom = false;
        startRun();
        const RunResult referenceResult = feed(inputs[i]);
        const Bytes reference = finishAvi();
        const DemuxStats referenceStats = ctx.stats;
        demuxer = &processChunk;
        sinks.offerRoom = true;
        startRun();
        EXPECT_EQ(feed(inputs[i]), referenceResult);
        EXPECT_TRUE(finishAvi() == reference);
        // The fast search counts the headers it passes over as the reference rejects them,
        // and every run counts from nothing.
        const auto counts = [](const DemuxStats& s) {
            return std::tuple(s.records, s.recordBytes, s.rejectedHeaders, s.malformedKeyFrames,
                              s.droppedVideoFrames, s.videoSeconds, s.audioSeconds);
        };
        EXPECT_TRUE(counts(ctx.stats) == counts(referenceStats));
    }
}

TEST_F(DemuxFixture, EmptyChunkChangesNothing) {
    ctx.heldBytes = 7;
    ctx.payloadRemaining = 0;
    EXPECT_EQ(processChunk(ctx, {}), RUN_OK);
    EXPECT_EQ(ctx.heldBytes, 7u);
    EXPECT_EQ(ctx.payloadRemaining, 0u);
}

// Where each kind of return leaves the state between calls.
TEST_F(DemuxFixture, StateBetweenCalls) {
    struct Case {
        const char* name;
        Bytes chunk;
        std::uint32_t held;
        std::uint32_t pending;
    };
    const Bytes shortSource(15, 0x00);
    Bytes noCode(40, 0x55);
    Bytes codeAtEnd(30, 0x55);
    codeAtEnd.insert(codeAtEnd.end(), {0, 0, 1, 0xF0});
    Bytes cutHeader(20, 0x55);
    cutHeader.insert(cutHeader.end(), {0, 0, 1, 0xFD, 0, 25, 44, 36, 0});  // 5 header bytes
    Bytes cutPayload =
        RecordingBuilder().fill(20, 0x55).audioHeader(7, 1, 100).fill(30, 0x80).take();
    Bytes tenAfter = RecordingBuilder().audio(7, 1, Bytes(20, 1)).fill(10, 0x55).take();
    const Case cases[] = {
        {"fewer than 16 bytes are held unexamined", shortSource, 15, 0},
        {"a search to the end holds the last 16 bytes", noCode, 16, 0},
        {"a code completed by the last byte is held", codeAtEnd, 16, 0},
        {"a cut header is held with its start code", cutHeader, 9, 0},
        {"a cut payload is held, the rest pending", cutPayload, 30, 70},
        {"bytes after a payload are held", tenAfter, 10, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        startRun();
        ASSERT_EQ(processChunk(ctx, c.chunk), RUN_OK);
        EXPECT_EQ(ctx.heldBytes, c.held);
        EXPECT_EQ(ctx.payloadRemaining, c.pending);
        const Bytes tail(c.chunk.end() - c.held, c.chunk.end());
        EXPECT_TRUE(Bytes(ctx.frameBuffer.data(), ctx.frameBuffer.data() + c.held) == tail);
    }
}

// A record split at every offset of its start code and header is found by the next call.
TEST_F(DemuxFixture, RecordsSplitAtEveryBoundary) {
    const Bytes rec = RecordingBuilder()
                          .fill(40, 0x55)
                          .keyFrame(H264_KEY, {1, 25, 64, 64}, Bytes{0, 0, 1, 0x65, 0x01, 0x02})
                          .audio(AUDIO_ENC_PCM16, 2, Bytes{1, 2, 3, 4})
                          .tailFiller()
                          .take();
    for (std::size_t cut = 1; cut < rec.size(); ++cut) {
        SCOPED_TRACE(cut);
        startRun();
        ASSERT_EQ(processChunk(ctx, std::span(rec).first(cut)), RUN_OK);
        ASSERT_EQ(processChunk(ctx, std::span(rec).subspan(cut)), RUN_OK);
        const std::vector<AviSample> samples = finishSamples();
        ASSERT_EQ(samples.size(), 2u);
        EXPECT_TRUE(samples[0].bytes == (Bytes{0, 0, 1, 0x65, 0x01, 0x02}));
        EXPECT_TRUE(samples[1].bytes == (Bytes{1, 2, 3, 4}));
    }
}

TEST_F(DemuxFixture, PayloadOverThreeChunksIsDispatchedOnceWhole) {
    Bytes payload = sequence(150000, 0);
    payload[0] = 0x65;
    const Bytes rec =
        RecordingBuilder().keyFrame(MPEG4_KEY, {0, 25, 64, 64}, payload).tailFiller().take();
    ASSERT_EQ(feed(rec, 65536), RUN_OK);
    const std::vector<AviSample> samples = finishSamples();
    ASSERT_EQ(samples.size(), 1u);
    EXPECT_TRUE(samples[0].bytes == payload);
    EXPECT_TRUE(samples[0].key);
}

TEST_F(DemuxFixture, ChunkEndingExactlyWithPayloadLeavesStateClear) {
    const Bytes rec = RecordingBuilder().fill(16, 0x55).audio(7, 1, Bytes(100, 3)).take();
    ASSERT_EQ(processChunk(ctx, std::span(rec).first(60)), RUN_OK);
    ASSERT_GT(ctx.payloadRemaining, 0u);
    ASSERT_EQ(processChunk(ctx, std::span(rec).subspan(60)), RUN_OK);
    EXPECT_EQ(ctx.payloadRemaining, 0u);
    EXPECT_EQ(ctx.heldBytes, 0u);
    EXPECT_EQ(ctx.writer.audioChunkCount, 1);
}

// What the records of a recording become in the AVI.
TEST_F(DemuxFixture, RecordsBecomeSamples) {
    struct Case {
        const char* name;
        Bytes recording;
        std::vector<AviSample> expected;  // in file order
    };
    const Bytes rejectedThenValid =
        RecordingBuilder()
            .raw(Bytes{0, 0, 1, 0xFD, 0, 25, 91, 36})           // width byte 91: rejected
            .keyFrame(MPEG4_KEY, {0, 25, 64, 64}, Bytes{7, 7})  // starts at its 5th byte
            .tailFiller()
            .take();
    const Bytes deltaBeforeKey = RecordingBuilder()
                                     .deltaHeader(H264_DELTA, 8)
                                     .audio(AUDIO_ENC_PCM16, 1, Bytes{5, 6})  // inside its payload
                                     .tailFiller()
                                     .take();
    const Bytes skipHidesCode = RecordingBuilder()
                                    .keyFrame(MPEG4_KEY, {0, 25, 64, 64}, Bytes{1})
                                    .skip(RecordingBuilder().audio(12, 1, Bytes{9, 9}).take())
                                    .deltaFrame(MPEG4_DELTA, Bytes{2})
                                    .tailFiller()
                                    .take();
    const Bytes codeInsidePayload =
        RecordingBuilder()
            .keyFrame(H264_KEY, {1, 25, 64, 64}, Bytes{0, 0, 1, 0xFC, 0, 0, 0, 1})
            .tailFiller()
            .take();
    const Bytes earlyAudio = RecordingBuilder()
                                 .audio(AUDIO_ENC_PCM16, 1, Bytes{1, 1})
                                 .keyFrame(MPEG4_KEY, {0, 25, 64, 64}, Bytes{5})
                                 .audio(AUDIO_ENC_PCM16, 1, Bytes{2, 2})
                                 .tailFiller()
                                 .take();
    const Bytes otherFamily = RecordingBuilder()
                                  .keyFrame(H264_KEY, {1, 25, 64, 64}, Bytes{0, 0, 1, 0x65})
                                  .deltaFrame(MPEG4_DELTA, Bytes{3})
                                  .keyFrame(MPEG4_KEY, {0, 25, 32, 32}, Bytes{4})
                                  .tailFiller()
                                  .take();
    const Bytes layouts = RecordingBuilder()
                              .keyFrame(H264_KEY, {0, 25, 64, 64}, Bytes{0, 0, 0, 0, 0x65, 0, 0, 1})
                              .deltaFrame(H264_DELTA, Bytes{0x41, 0, 0, 0})
                              .keyFrame(H264_KEY, {1, 25, 64, 64}, Bytes{0, 0, 1, 0x65})
                              .deltaFrame(H264_DELTA, Bytes{0, 0, 0, 1, 0x41})
                              .tailFiller()
                              .take();
    const Bytes noStartCode = RecordingBuilder()
                                  .keyFrame(H264_KEY, {1, 25, 64, 64}, Bytes{0x65, 0, 0, 1})
                                  .deltaFrame(H264_DELTA, Bytes{0x41, 0, 1, 0})
                                  .deltaFrame(H264_DELTA, Bytes{9, 0, 0, 1, 0x41})
                                  .keyFrame(H264_KEY, {1, 25, 64, 64}, Bytes{0, 0, 1, 0x65})
                                  .tailFiller()
                                  .take();
    const Bytes emptyAudio =
        RecordingBuilder().audio(AUDIO_ENC_NONE, 1, Bytes{1, 2, 3}).tailFiller().take();
    const Bytes malformedList = RecordingBuilder()
                                    .keyFrame(H264_KEY, {0, 25, 64, 64}, Bytes{11, 0, 0, 0, 0x65})
                                    .deltaFrame(H264_DELTA, Bytes{0x41})
                                    .tailFiller()
                                    .take();
    const Case cases[] = {
        {"a record in a rejected header is found", rejectedThenValid, {{"00dc", {7, 7}, true}}},
        {"a delta before any key frame is rejected and its payload searched",
         deltaBeforeKey,
         {{"00wb", {5, 6}, true}}},
        {"a skip payload hides its start codes",
         skipHidesCode,
         {{"00dc", {1}, true}, {"00dc", {2}, false}}},
        {"start codes inside a payload are data",
         codeInsidePayload,
         {{"00dc", {0, 0, 1, 0xFC, 0, 0, 0, 1}, true}}},
        {"audio before the first key frame is dropped",
         earlyAudio,
         {{"00dc", {5}, true}, {"01wb", {2, 2}, true}}},
        {"frames of the other family are dropped",
         otherFamily,
         {{"00dc", {0, 0, 1, 0x65}, true}, {"01dc", {}, false}, {"01dc", {4}, true}}},
        {"layout 0 repacks, layout 1 writes as stored",
         layouts,
         {{"00dc", {0, 0, 0, 1, 0x65, 0, 0, 3, 1}, true},
          {"00dc", {0, 0, 0, 1, 0x41, 0, 0, 3, 0}, false},
          {"00dc", {0, 0, 1, 0x65}, true},
          {"00dc", {0, 0, 0, 1, 0x41}, false}}},
        {"an Annex-B frame without a start code keeps its slot as an empty non-key sample",
         noStartCode,
         {{"00dc", {}, false},
          {"00dc", {}, false},
          {"00dc", {9, 0, 0, 1, 0x41}, false},
          {"00dc", {0, 0, 1, 0x65}, true}}},
        {"an undecoded audio block is an empty chunk", emptyAudio, {{"00wb", {}, true}}},
        {"a malformed NAL list keeps its slot as an empty non-key sample",
         malformedList,
         {{"00dc", {}, false}, {"00dc", {0, 0, 0, 1, 0x41}, false}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        startRun();
        ASSERT_EQ(feed(c.recording), RUN_OK);
        EXPECT_EQ(finishSamples(), c.expected);
    }
}

TEST_F(DemuxFixture, OnlyTheFirstKeyFrameDiscardsEarlyOutput) {
    const Bytes rec = RecordingBuilder()
                          .keyFrame(MPEG4_KEY, {0, 25, 64, 64}, Bytes{1})
                          .audio(AUDIO_ENC_PCM16, 1, Bytes{2, 2})
                          .keyFrame(MPEG4_KEY, {0, 25, 64, 64}, Bytes{3})
                          .audio(AUDIO_ENC_PCM16, 1, Bytes{4, 4})
                          .tailFiller()
                          .take();
    ASSERT_EQ(feed(rec), RUN_OK);
    EXPECT_EQ(ctx.writer.videoFrameCount, 2);
    EXPECT_EQ(ctx.writer.audioChunkCount, 2);
}

TEST_F(DemuxFixture, OutputFailureStopsTheChunkAtOnce) {
    FaultySinkFactory failing(sinks);
    failing.failOpen = true;
    ctx.writer.setSinkFactory(failing);
    const Bytes rec = RecordingBuilder()
                          .keyFrame(MPEG4_KEY, {0, 25, 64, 64}, Bytes{1})
                          .audio(AUDIO_ENC_PCM16, 1, Bytes{2, 2})
                          .tailFiller()
                          .take();
    EXPECT_EQ(processChunk(ctx, rec), RUN_OUTPUT_FAILED);
    // Stopped at the key-frame header: its payload was never taken.
    EXPECT_EQ(ctx.payloadRemaining, 0u);
    EXPECT_EQ(ctx.startCodeAccumulator, static_cast<std::uint32_t>(REC_MPEG4_KEY));
    EXPECT_EQ(failing.opens, 1);
    EXPECT_EQ(ctx.writer.aviFile, nullptr);
}

}  // namespace
}  // namespace trunvex::testing
