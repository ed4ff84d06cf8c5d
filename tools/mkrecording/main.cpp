// trunvex-mkrecording: writes a recording made from ffmpeg's test sources, and optionally the
// video and PCM a correct conversion of it must produce.

#include <CLI/CLI.hpp>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <map>
#include <string>

#include "mkrecording/recording_maker.h"

namespace {

using trunvex::recording::AudioMode;
using trunvex::recording::Recording;
using trunvex::recording::RecordingOptions;
using trunvex::recording::SizeChange;
using trunvex::recording::streamVideo;
using trunvex::recording::VideoMode;

bool writeFile(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

bool parseSize(const std::string& text, std::uint32_t& width, std::uint32_t& height) {
    unsigned w = 0;
    unsigned h = 0;
    char tail = 0;
    if (std::sscanf(text.c_str(), "%ux%u%c", &w, &h, &tail) != 2) {
        return false;
    }
    width = w;
    height = h;
    return true;
}

bool parseSizeChange(const std::string& text, SizeChange& change) {
    const std::size_t at = text.find('@');
    if (at == std::string::npos || !parseSize(text.substr(0, at), change.width, change.height)) {
        return false;
    }
    char* end = nullptr;
    change.atSeconds = std::strtod(text.c_str() + at + 1, &end);
    return end != nullptr && *end == '\0';
}

// With more than one frame size, each stream's video goes to <stem>.s<k><extension> as well.
std::string streamPath(const std::string& path, std::size_t k) {
    const std::size_t slash = path.find_last_of('/');
    const std::size_t dot = path.find_last_of('.');
    const bool hasExt = dot != std::string::npos && (slash == std::string::npos || dot > slash);
    const std::string stem = hasExt ? path.substr(0, dot) : path;
    return stem + ".s" + std::to_string(k) + (hasExt ? path.substr(dot) : "");
}

bool writeOutputs(const Recording& rec, const std::string& out, const std::string& annexbOut,
                  const std::string& pcmOut) {
    bool ok = writeFile(out, rec.bytes);
    if (!annexbOut.empty()) {
        ok = writeFile(annexbOut, rec.videoAll) && ok;
        const std::size_t streams = rec.streamSizes.size();
        for (std::uint32_t k = 0; streams > 1 && k < streams; ++k) {
            ok = writeFile(streamPath(annexbOut, k), streamVideo(rec, k)) && ok;
        }
    }
    if (!pcmOut.empty()) {
        ok = writeFile(pcmOut, rec.pcm) && ok;
    }
    return ok;
}

void report(const Recording& rec) {
    std::cout << rec.bytes.size() << " bytes: " << rec.keyRecords << " key, " << rec.deltaRecords
              << " delta, " << rec.audioRecords << " audio, " << rec.skipRecords
              << " skip records, " << rec.invalidHeaders << " invalid headers, " << rec.junkRuns
              << " junk runs; " << rec.videoFrames.size() << " video and " << rec.audioChunks.size()
              << " audio chunks expected in " << rec.streamSizes.size() << " video streams\n";
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{
        "Writes a test recording (records behind 00 00 01 Fx start codes) made from "
        "ffmpeg's test sources."};
    RecordingOptions o;
    std::string size = "704x576";
    std::vector<std::string> sizeChanges;
    std::string out;
    std::string annexbOut;
    std::string pcmOut;
    const std::map<std::string, VideoMode> videoModes{
        {"h264", trunvex::recording::VIDEO_H264},
        {"h264-annexb", trunvex::recording::VIDEO_H264_ANNEXB},
        {"mpeg4", trunvex::recording::VIDEO_MPEG4},
        {"none", trunvex::recording::VIDEO_NONE}};
    const std::map<std::string, AudioMode> audioModes{
        {"pcm8", trunvex::recording::AUDIO_PCM8},
        {"pcm16", trunvex::recording::AUDIO_PCM16},
        {"alaw", trunvex::recording::AUDIO_ALAW},
        {"adpcm", trunvex::recording::AUDIO_ADPCM},
        {"none-enc", trunvex::recording::AUDIO_NONE_ENC},
        {"off", trunvex::recording::AUDIO_OFF}};
    const std::map<std::string, trunvex::recording::AudioSource> sources{
        {"sine", trunvex::recording::AUDIO_SOURCE_SINE},
        {"chord", trunvex::recording::AUDIO_SOURCE_CHORD}};

    app.add_option("--video", o.video, "h264 (NAL lists), h264-annexb (layout byte 1), mpeg4, none")
        ->transform(CLI::CheckedTransformer(videoModes, CLI::ignore_case));
    app.add_option("--size", size, "frame size WxH, multiples of 8, at most 720x576");
    app.add_option("--fps", o.fps, "frames per second, 1 to 31");
    app.add_option("--seconds", o.seconds, "duration");
    app.add_option("--bitrate", o.bitrate, "video bitrate as ffmpeg takes it (2M, 500k)");
    app.add_option("--gop", o.gop, "frames per key-frame interval (0: two seconds)");
    app.add_option("--audio", o.audio, "pcm8, pcm16, alaw, adpcm, none-enc (encoding 11), off")
        ->transform(CLI::CheckedTransformer(audioModes, CLI::ignore_case));
    app.add_option("--audio-rate", o.audioRate, "8000 (rate code 2) or 16000 (rate code 1)");
    app.add_option("--audio-block-ms", o.audioBlockMs, "milliseconds of audio per record");
    app.add_option("--audio-source", o.audioSource, "sine or chord")
        ->transform(CLI::CheckedTransformer(sources, CLI::ignore_case));
    app.add_option("--size-change", sizeChanges, "WxH@seconds: the frame size from then on");
    app.add_flag("--audio-first", o.audioFirst, "three audio records before the first key frame");
    app.add_flag("--junk", o.junk, "junk bytes and invalid headers between records");
    app.add_flag("--skip-records", o.skipRecords, "skip records hiding a key-frame header");
    app.add_option("--truncate", o.truncateBytes, "cut this many bytes off the end");
    app.add_option("--seed", o.seed, "seed for the placement of junk and skip records");
    app.add_option("--ffmpeg", o.ffmpeg, "the ffmpeg program to run");
    app.add_option("--out", out, "the recording to write")->required();
    app.add_option("--annexb-out", annexbOut,
                   "the video chunks a conversion must write, back to back (with several frame "
                   "sizes also one file per stream, <stem>.s<k><ext>)");
    app.add_option("--pcm-out", pcmOut, "the audio a conversion must write, as raw PCM");
    CLI11_PARSE(app, argc, argv);

    if (!parseSize(size, o.width, o.height)) {
        std::cerr << "--size takes WxH, e.g. 704x576\n";
        return 2;
    }
    for (const std::string& text : sizeChanges) {
        SizeChange change;
        if (!parseSizeChange(text, change)) {
            std::cerr << "--size-change takes WxH@seconds, e.g. 352x288@2.5\n";
            return 2;
        }
        o.sizeChanges.push_back(change);
    }
    Recording rec;
    std::string error;
    if (!trunvex::recording::makeRecording(o, rec, error)) {
        std::cerr << error << '\n';
        return 1;
    }
    if (!writeOutputs(rec, out, annexbOut, pcmOut)) {
        std::cerr << "cannot write the output files\n";
        return 1;
    }
    report(rec);
    return 0;
}
