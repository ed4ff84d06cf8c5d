#include "mkrecording/ffmpeg_source.h"

#include <sys/wait.h>

#include <cstdio>
#include <sstream>

namespace trunvex::recording {

namespace {

std::string seconds(double s) {
    std::ostringstream text;
    text.precision(6);
    text << std::fixed << s;
    return text.str();
}

std::string commonPrefix(const std::string& ffmpeg) {
    return ffmpeg + " -hide_banner -v error -nostdin ";
}

}  // namespace

bool runCapture(const std::string& command, std::vector<std::uint8_t>& out, std::string& error) {
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        error = "cannot run: " + command;
        return false;
    }
    std::vector<std::uint8_t> chunk(1 << 16);
    std::size_t got = 0;
    while ((got = std::fread(chunk.data(), 1, chunk.size(), pipe)) > 0) {
        out.insert(out.end(), chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(got));
    }
    const int status = pclose(pipe);
    if (status == -1 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        error = "command failed: " + command;
        return false;
    }
    return true;
}

bool encodeVideo(const std::string& ffmpeg, const VideoRequest& request,
                 std::vector<std::uint8_t>& stream, std::string& error) {
    std::ostringstream cmd;
    cmd << commonPrefix(ffmpeg) << "-f lavfi -i testsrc2=size=" << request.width << 'x'
        << request.height << ":rate=" << request.fps << " -frames:v " << request.frames
        << " -pix_fmt yuv420p -b:v " << request.bitrate << " -g " << request.gop << " -bf 0 ";
    if (request.codec == CODEC_H264) {
        // One slice NAL per picture, so a delta frame is one unit; no access unit delimiters.
        cmd << "-c:v libx264 -preset ultrafast -x264-params aud=0:slices=1 -f h264 -";
    } else {
        cmd << "-c:v mpeg4 -f m4v -";
    }
    return runCapture(cmd.str(), stream, error);
}

bool renderAudio(const std::string& ffmpeg, const AudioRequest& request,
                 std::vector<std::int16_t>& samples, std::string& error) {
    std::ostringstream cmd;
    cmd << commonPrefix(ffmpeg) << "-f lavfi -i ";
    if (request.source == AUDIO_SOURCE_SINE) {
        cmd << "sine=frequency=440:sample_rate=" << request.sampleRate;
    } else {
        cmd << "\"aevalsrc=0.30*sin(2*PI*220*t)*(0.6+0.4*sin(2*PI*0.5*t))"
               "+0.20*sin(2*PI*330*t)+0.12*sin(2*PI*554*t)*(0.5+0.5*sin(2*PI*3*t))"
               "+0.02*(random(0)-0.5):s="
            << request.sampleRate << '"';
    }
    cmd << " -t " << seconds(request.seconds) << " -ac 1 -ar " << request.sampleRate
        << " -f s16le -acodec pcm_s16le -";
    std::vector<std::uint8_t> bytes;
    if (!runCapture(cmd.str(), bytes, error)) {
        return false;
    }
    samples.resize(bytes.size() / 2);
    for (std::size_t i = 0; i < samples.size(); ++i) {
        samples[i] = static_cast<std::int16_t>(
            static_cast<std::uint16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8)));
    }
    return true;
}

}  // namespace trunvex::recording
