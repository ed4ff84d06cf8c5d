#pragma once

// Test material from ffmpeg: synthetic video encoded as H.264 (libx264) or MPEG-4 Part 2
// elementary streams, and synthetic mono 16-bit audio. ffmpeg runs as a child process through
// the shell and its standard output is read into memory.

#include <cstdint>
#include <string>
#include <vector>

namespace trunvex::recording {

enum VideoCodec : std::uint32_t {
    CODEC_H264 = 0,
    CODEC_MPEG4 = 1,
};

struct VideoRequest {
    VideoCodec codec = CODEC_H264;
    std::uint32_t width = 704;
    std::uint32_t height = 576;
    std::uint32_t fps = 25;
    std::uint32_t frames = 100;
    std::string bitrate = "2M";  // as ffmpeg's -b:v takes it
    std::uint32_t gop = 50;      // frames from one key frame to the next
};

enum AudioSource : std::uint32_t {
    AUDIO_SOURCE_SINE = 0,   // a 440 Hz tone
    AUDIO_SOURCE_CHORD = 1,  // three tones with a slow swell and a little noise
};

struct AudioRequest {
    AudioSource source = AUDIO_SOURCE_CHORD;
    std::uint32_t sampleRate = 8000;
    double seconds = 4.0;
};

// Runs `command` through the shell and appends its standard output to `out`. False when it
// cannot be started or exits with a status other than 0; `error` then says which.
[[nodiscard]] bool runCapture(const std::string& command, std::vector<std::uint8_t>& out,
                              std::string& error);

// An Annex-B H.264 stream (one slice per picture, no B-frames, SPS and PPS before every IDR,
// ultrafast preset) or an m4v stream (headers before every I-VOP, no B-frames) of ffmpeg's
// moving test pattern. `ffmpeg` is the program to run.
[[nodiscard]] bool encodeVideo(const std::string& ffmpeg, const VideoRequest& request,
                               std::vector<std::uint8_t>& stream, std::string& error);

// Mono signed 16-bit samples in host order.
[[nodiscard]] bool renderAudio(const std::string& ffmpeg, const AudioRequest& request,
                               std::vector<std::int16_t>& samples, std::string& error);

}  // namespace trunvex::recording
