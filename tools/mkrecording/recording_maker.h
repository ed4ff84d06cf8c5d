#pragma once

// Whole recordings: video frames and audio blocks interleaved on one timeline, optionally
// spoiled with junk, invalid headers and skip records, together with what a correct
// converter must make of them (the video chunks per stream, the PCM of the audio chunks).
//
// makeRecording gets its material from ffmpeg; assembleRecording takes it from the caller, so
// tests can build recordings from streams they already hold.
//
// H.264 goes in whole GOPs (a key frame and the delta frames up to the next one). A GOP is
// stored in the NAL-list layout (layout byte 0) when its key frame keeps at most 11 units once
// access unit delimiters, filler and end-of-sequence/stream units are dropped, and every delta
// frame keeps exactly one unit once SEI is dropped too; otherwise the whole GOP is stored as
// the encoder wrote it, with layout byte 1, since a key frame's layout byte also governs the
// delta frames after it. ffmpeg is asked for one slice per picture, so the fallback is rare.
//
// The expected output follows the converter's rules: audio before the first accepted key-frame
// header is dropped with the file it went to; a record counts only when its header lies in
// the file and at least 16 bytes follow its start code (the converter never examines the last
// 16 bytes it holds), and its payload only when complete. Generated files end in 16 bytes of
// 0xFF unless truncated.

#include <cstdint>
#include <string>
#include <vector>

#include "mkrecording/audio_coding.h"
#include "mkrecording/ffmpeg_source.h"

namespace trunvex::recording {

enum VideoMode : std::uint32_t {
    VIDEO_H264 = 0,         // layout byte 0: NAL lists and bare units
    VIDEO_H264_ANNEXB = 1,  // layout byte 1: Annex-B access units as the encoder wrote them
    VIDEO_MPEG4 = 2,
    VIDEO_NONE = 3,
};

enum AudioMode : std::uint32_t {
    AUDIO_PCM8 = 0,
    AUDIO_PCM16 = 1,
    AUDIO_ALAW = 2,
    AUDIO_ADPCM = 3,
    AUDIO_NONE_ENC = 4,  // encoding byte 11: records the converter writes as empty chunks
    AUDIO_OFF = 5,       // no audio records
};

// From `atSeconds` on, the video has this frame size (a new key frame starts there).
struct SizeChange {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    double atSeconds = 0;
};

struct RecordingOptions {
    VideoMode video = VIDEO_H264;
    std::uint32_t width = 704;  // multiples of 8, at most 720 x 576
    std::uint32_t height = 576;
    std::uint32_t fps = 25;  // 1 to 31
    double seconds = 4.0;
    std::string bitrate = "2M";
    std::uint32_t gop = 0;  // 0: two seconds of frames
    AudioMode audio = AUDIO_ADPCM;
    std::uint32_t audioRate = 8000;   // 8000 or 16000
    std::uint32_t audioBlockMs = 40;  // 1 to 128
    AudioSource audioSource = AUDIO_SOURCE_CHORD;
    std::vector<SizeChange> sizeChanges;
    bool audioFirst = false;          // three audio blocks before the first key frame
    bool junk = false;                // junk bytes and invalid headers between records
    bool skipRecords = false;         // skip records hiding a key-frame start code, now and then
    std::uint32_t truncateBytes = 0;  // cut this many bytes off the end (no tail filler then)
    std::uint32_t seed = 1;
    std::string ffmpeg = "ffmpeg";
};

// One video chunk the converter must write, in write order.
struct ExpectedVideoFrame {
    std::uint32_t stream = 0;  // index among the video streams, in order of creation
    bool key = false;
    std::uint32_t bytes = 0;
};

struct Recording {
    std::vector<std::uint8_t> bytes;  // the recording file
    // The video streams the converter must create, in creation order, by frame size, and
    // every video chunk it must write, back to back in write order (videoFrames says which
    // stream each belongs to; streamVideo picks one stream's chunks out).
    std::vector<std::pair<std::uint32_t, std::uint32_t>> streamSizes;
    std::vector<std::uint8_t> videoAll;
    std::vector<ExpectedVideoFrame> videoFrames;
    // The audio chunks the converter must keep (those after the first key-frame header, or
    // all of them when there is none): their sizes and their bytes back to back.
    std::vector<std::uint32_t> audioChunks;
    std::vector<std::uint8_t> pcm;
    // What was written, for reports.
    std::uint32_t keyRecords = 0, deltaRecords = 0, audioRecords = 0, skipRecords = 0;
    std::uint32_t invalidHeaders = 0, junkRuns = 0, layoutAsStoredGops = 0;
};

// Material for assembleRecording: one video elementary stream per frame-size segment, in
// order (Annex-B H.264 or m4v as `video` says), and the audio as mono 16-bit samples at
// options.audioRate, starting at the time of the first audio block.
struct MediaInput {
    struct Segment {
        std::uint32_t width = 0;
        std::uint32_t height = 0;
        std::vector<std::uint8_t> stream;
    };
    std::vector<Segment> segments;
    std::vector<std::int16_t> samples;
};

// Checks sizes, rates and the size changes; false with a message when something is out of
// the format's range.
[[nodiscard]] bool checkOptions(const RecordingOptions& options, std::string& error);

// Runs ffmpeg for the material and assembles it.
[[nodiscard]] bool makeRecording(const RecordingOptions& options, Recording& recording,
                                 std::string& error);

// Builds the recording from `media`. False when a frame is too large for a record.
[[nodiscard]] bool assembleRecording(const RecordingOptions& options, const MediaInput& media,
                                     Recording& recording, std::string& error);

// The chunks of video stream `stream`, back to back.
[[nodiscard]] std::vector<std::uint8_t> streamVideo(const Recording& recording,
                                                    std::uint32_t stream);

// The audio encoding byte of a mode (ENC_PCM8 for AUDIO_OFF, which writes none).
[[nodiscard]] std::uint8_t encodingOf(AudioMode mode);

}  // namespace trunvex::recording
