#include "mkrecording/recording_maker.h"

#include <algorithm>
#include <cmath>
#include <random>

#include "common/codes.h"
#include "mkrecording/h264_units.h"
#include "mkrecording/mpeg4_frames.h"
#include "mkrecording/recording_builder.h"

namespace trunvex::recording {

namespace {

// A video record before it is placed: kind byte, key-frame fields, payload.
struct VideoRecord {
    std::uint8_t kind = 0;
    KeyFrameFields fields;
    Bytes payload;
};

// Where a record landed in the file, for the model of what the converter makes of it.
struct Placed {
    std::size_t start = 0;    // its start code
    std::size_t payload = 0;  // its first payload byte
    std::uint32_t length = 0;
    std::uint8_t kind = 0;
    std::uint8_t layout = 0;
    std::uint8_t encoding = 0;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
};

bool isKeyKind(std::uint8_t kind) {
    return kind == KIND_H264_KEY || kind == KIND_MPEG4_KEY;
}

bool droppedFromKey(std::uint8_t type) {
    return type == NAL_AUD || type == NAL_FILLER || type == NAL_END_OF_SEQUENCE ||
           type == NAL_END_OF_STREAM;
}

bool droppedFromDelta(std::uint8_t type) {
    return droppedFromKey(type) || type == NAL_SEI;
}

// The bare units kept from an access unit; empty when they cannot be stored in the NAL-list
// layout (a key frame of more than 11 units, a delta frame of other than one).
std::vector<Bytes> bareUnits(const AccessUnit& au) {
    std::vector<Bytes> kept;
    for (const ByteView unit : au.units) {
        const std::uint8_t type = nalType(unit);
        if (au.key ? droppedFromKey(type) : droppedFromDelta(type)) {
            continue;
        }
        kept.push_back(removeEmulationPrevention(unit));
    }
    const std::size_t limit = au.key ? MAX_LISTED_NALS + 1 : 1;
    if (kept.size() > limit || (!au.key && kept.size() != 1)) {
        kept.clear();
    }
    return kept;
}

// One GOP: a key access unit and the delta units up to the next key. It goes in the NAL-list
// layout when every frame fits it, otherwise as stored (layout byte 1) as a whole, since the
// layout byte of the key frame governs the deltas after it.
bool appendGop(std::span<const AccessUnit> gop, KeyFrameFields fields, bool asStored,
               std::vector<VideoRecord>& out) {
    std::vector<std::vector<Bytes>> bare;
    for (std::size_t i = 0; i < gop.size() && !asStored; ++i) {
        bare.push_back(bareUnits(gop[i]));
        asStored = bare.back().empty();
    }
    fields.layout = asStored ? LAYOUT_AS_STORED : LAYOUT_NAL_LIST;
    for (std::size_t i = 0; i < gop.size(); ++i) {
        VideoRecord rec;
        rec.kind = i == 0 ? KIND_H264_KEY : KIND_H264_DELTA;
        rec.fields = fields;
        if (asStored) {
            rec.payload.assign(gop[i].bytes.begin(), gop[i].bytes.end());
        } else if (i == 0) {
            rec.payload = nalListPayload(bare[0]);
        } else {
            rec.payload = std::move(bare[i][0]);
        }
        out.push_back(std::move(rec));
    }
    return asStored;
}

void appendH264Segment(const MediaInput::Segment& seg, std::uint8_t frameRate, bool asStored,
                       std::vector<VideoRecord>& out, Recording& rec) {
    const std::vector<AccessUnit> aus = splitAccessUnits(seg.stream);
    const KeyFrameFields fields{LAYOUT_NAL_LIST, frameRate, seg.width, seg.height};
    std::size_t i = 0;
    while (i < aus.size() && !aus[i].key) {
        ++i;  // a delta frame needs a key frame of its own size before it
    }
    while (i < aus.size()) {
        std::size_t end = i + 1;
        while (end < aus.size() && !aus[end].key) {
            ++end;
        }
        if (appendGop(std::span(aus).subspan(i, end - i), fields, asStored, out)) {
            ++rec.layoutAsStoredGops;
        }
        i = end;
    }
}

void appendMpeg4Segment(const MediaInput::Segment& seg, std::uint8_t frameRate,
                        std::vector<VideoRecord>& out) {
    const KeyFrameFields fields{LAYOUT_NAL_LIST, frameRate, seg.width, seg.height};
    bool keySeen = false;
    for (const Mpeg4Frame& frame : splitMpeg4Frames(seg.stream)) {
        keySeen = keySeen || frame.key;
        if (!keySeen) {
            continue;
        }
        out.push_back({frame.key ? KIND_MPEG4_KEY : KIND_MPEG4_DELTA, fields,
                       Bytes(frame.bytes.begin(), frame.bytes.end())});
    }
}

std::vector<Bytes> audioPayloads(const RecordingOptions& o, std::span<const std::int16_t> samples) {
    std::vector<Bytes> blocks;
    if (o.audio == AUDIO_OFF) {
        return blocks;
    }
    const std::size_t perBlock = std::max<std::size_t>(2, o.audioRate * o.audioBlockMs / 1000);
    AdpcmState state;
    for (std::size_t pos = 0; pos < samples.size(); pos += perBlock) {
        const std::size_t n = std::min(perBlock, samples.size() - pos);
        blocks.push_back(encodeAudioBlock(encodingOf(o.audio), samples.subspan(pos, n), state));
    }
    return blocks;
}

double audioLeadSeconds(const RecordingOptions& o) {
    return o.audioFirst ? 3.0 * o.audioBlockMs / 1000.0 : 0.0;
}

// Writes the records in time order, with the damage the options ask for between them.
class Assembler {
public:
    Assembler(const RecordingOptions& options, Recording& recording)
        : o(options), rec(recording), rng(options.seed) {}

    void run(const std::vector<VideoRecord>& video, const std::vector<Bytes>& audio);
    std::vector<Placed> placed;
    RecordingBuilder builder;

private:
    void putVideo(const VideoRecord& v);
    void putAudio(const Bytes& payload);
    void spoil();
    void openingDamage();
    std::uint32_t next() { return static_cast<std::uint32_t>(rng()); }

    const RecordingOptions& o;
    Recording& rec;
    std::mt19937 rng;
    std::uint32_t invalidKind = 0;
};

void Assembler::run(const std::vector<VideoRecord>& video, const std::vector<Bytes>& audio) {
    openingDamage();
    const double lead = audioLeadSeconds(o);
    const double blockSeconds = o.audioBlockMs / 1000.0;
    std::size_t v = 0;
    std::size_t a = 0;
    while (v < video.size() || a < audio.size()) {
        const double videoTime = static_cast<double>(v) / o.fps;
        const double audioTime = static_cast<double>(a) * blockSeconds - lead;
        // At equal times the video frame goes first.
        if (v < video.size() && (a >= audio.size() || videoTime <= audioTime)) {
            putVideo(video[v++]);
        } else {
            putAudio(audio[a++]);
        }
        spoil();
    }
}

void Assembler::openingDamage() {
    if (!o.junk) {
        return;
    }
    builder.junk(1 + next() % 40, next());
    // A delta-frame header before any key frame is invalid; its would-be payload is searched.
    builder.deltaHeader(KIND_H264_DELTA, 48).junk(48, next());
    rec.junkRuns += 1;
    rec.invalidHeaders += 1;
}

void Assembler::putVideo(const VideoRecord& v) {
    Placed p{builder.size(),
             0,
             static_cast<std::uint32_t>(v.payload.size()),
             v.kind,
             v.fields.layout,
             0,
             v.fields.width,
             v.fields.height};
    if (isKeyKind(v.kind)) {
        builder.keyFrame(v.kind, v.fields, v.payload);
        ++rec.keyRecords;
    } else {
        builder.deltaFrame(v.kind, v.payload);
        ++rec.deltaRecords;
    }
    p.payload = builder.size() - v.payload.size();
    placed.push_back(p);
}

void Assembler::putAudio(const Bytes& payload) {
    const std::uint8_t rate = o.audioRate == 8000 ? RATE_CODE_8000 : RATE_CODE_16000;
    Placed p{builder.size(),
             0,
             static_cast<std::uint32_t>(payload.size()),
             KIND_AUDIO,
             0,
             encodingOf(o.audio),
             0,
             0};
    builder.audio(p.encoding, rate, payload);
    p.payload = builder.size() - payload.size();
    placed.push_back(p);
    ++rec.audioRecords;
}

void Assembler::spoil() {
    if (o.junk && next() % 8 == 0) {
        if (next() % 2 == 0) {
            builder.junk(1 + next() % 64, next());
            ++rec.junkRuns;
        } else {
            builder.invalidHeader(static_cast<InvalidHeader>(invalidKind++ % INVALID_HEADER_KINDS));
            ++rec.invalidHeaders;
        }
    }
    if (o.skipRecords && next() % 20 == 0) {
        // A key-frame header inside the skip payload: it must stay hidden.
        RecordingBuilder hidden;
        hidden.keyHeader(KIND_H264_KEY, 0, 25, 88, 72, 8).junk(8 + next() % 100, next());
        builder.skip(hidden.bytes());
        ++rec.skipRecords;
    }
}

void appendExpectedVideo(std::span<const std::uint8_t> payload, const Placed& p, Bytes& out) {
    if (p.layout != LAYOUT_NAL_LIST || p.kind == KIND_MPEG4_KEY || p.kind == KIND_MPEG4_DELTA) {
        out.insert(out.end(), payload.begin(), payload.end());
    } else if (p.kind == KIND_H264_DELTA) {
        appendRepackedUnit(payload, out);
    } else {
        std::vector<ByteView> units;
        if (parseNalListPayload(payload, units)) {
            for (const ByteView unit : units) {
                appendRepackedUnit(unit, out);
            }
        }
    }
}

std::uint32_t streamIndex(Recording& rec, const Placed& p) {
    const std::pair<std::uint32_t, std::uint32_t> size{p.width, p.height};
    const auto it = std::find(rec.streamSizes.begin(), rec.streamSizes.end(), size);
    if (it != rec.streamSizes.end()) {
        return static_cast<std::uint32_t>(it - rec.streamSizes.begin());
    }
    rec.streamSizes.push_back(size);
    return static_cast<std::uint32_t>(rec.streamSizes.size() - 1);
}

// What the converter keeps of the records that survived truncation. A record counts when its
// header lies in the file and at least 16 bytes follow its start, since the converter never
// examines the last 16 bytes it holds; its payload counts when it is complete.
void modelConversion(const std::vector<Placed>& placed, Recording& rec) {
    const std::size_t fileSize = rec.bytes.size();
    rec.videoAll.reserve(fileSize);  // repacking grows a frame by a few bytes at most
    bool keySeen = false;
    std::uint32_t stream = 0;
    for (const Placed& p : placed) {
        if (p.payload > fileSize || fileSize - p.start < 16) {
            break;
        }
        if (isKeyKind(p.kind)) {
            if (!keySeen) {
                rec.audioChunks.clear();  // the early audio goes with the discarded file
                rec.pcm.clear();
                keySeen = true;
            }
            stream = streamIndex(rec, p);
        }
        if (fileSize - p.payload < p.length) {
            break;
        }
        const std::span<const std::uint8_t> payload(rec.bytes.data() + p.payload, p.length);
        if (p.kind == KIND_AUDIO) {
            const Bytes pcm = expectedPcm(p.encoding, payload);
            rec.audioChunks.push_back(static_cast<std::uint32_t>(pcm.size()));
            rec.pcm.insert(rec.pcm.end(), pcm.begin(), pcm.end());
            continue;
        }
        const std::size_t before = rec.videoAll.size();
        appendExpectedVideo(payload, p, rec.videoAll);
        rec.videoFrames.push_back(
            {stream, isKeyKind(p.kind), static_cast<std::uint32_t>(rec.videoAll.size() - before)});
    }
}

// The frame-size segments: [start frame, frame count, width, height].
struct SegmentPlan {
    std::uint32_t firstFrame, frames, width, height;
};

std::vector<SegmentPlan> planSegments(const RecordingOptions& o) {
    const auto totalFrames = static_cast<std::uint32_t>(std::lround(o.seconds * o.fps));
    std::vector<SegmentPlan> plan{{0, totalFrames, o.width, o.height}};
    for (const SizeChange& change : o.sizeChanges) {
        const auto at = static_cast<std::uint32_t>(std::lround(change.atSeconds * o.fps));
        if (at <= plan.back().firstFrame || at >= totalFrames) {
            continue;
        }
        plan.back().frames = at - plan.back().firstFrame;
        plan.push_back({at, totalFrames - at, change.width, change.height});
    }
    return plan;
}

bool checkSize(std::uint32_t width, std::uint32_t height, std::string& error) {
    if (width == 0 || height == 0 || width % 8 != 0 || height % 8 != 0 ||
        width > MAX_WIDTH_BLOCKS * 8 || height > MAX_HEIGHT_BLOCKS * 8) {
        error = "frame size must be a multiple of 8 and at most 720x576: " + std::to_string(width) +
                "x" + std::to_string(height);
        return false;
    }
    return true;
}

}  // namespace

std::vector<std::uint8_t> streamVideo(const Recording& rec, std::uint32_t stream) {
    std::vector<std::uint8_t> out;
    std::size_t pos = 0;
    for (const ExpectedVideoFrame& frame : rec.videoFrames) {
        if (frame.stream == stream) {
            const auto first = rec.videoAll.begin() + static_cast<std::ptrdiff_t>(pos);
            out.insert(out.end(), first, first + frame.bytes);
        }
        pos += frame.bytes;
    }
    return out;
}

std::uint8_t encodingOf(AudioMode mode) {
    switch (mode) {
        case AUDIO_PCM16:
            return ENC_PCM16;
        case AUDIO_ALAW:
            return ENC_ALAW;
        case AUDIO_ADPCM:
            return ENC_ADPCM4;
        case AUDIO_NONE_ENC:
            return ENC_NONE;
        case AUDIO_PCM8:
        case AUDIO_OFF:
            break;
    }
    return ENC_PCM8;
}

bool checkOptions(const RecordingOptions& o, std::string& error) {
    if (!checkSize(o.width, o.height, error)) {
        return false;
    }
    for (const SizeChange& change : o.sizeChanges) {
        if (!checkSize(change.width, change.height, error)) {
            return false;
        }
    }
    if (o.fps == 0 || o.fps > 31) {
        error = "frame rate must lie between 1 and 31";
        return false;
    }
    if (o.audioRate != 8000 && o.audioRate != 16000) {
        error = "audio rate must be 8000 or 16000";
        return false;
    }
    if (o.seconds <= 0) {
        error = "the duration must be positive";
        return false;
    }
    // 128 ms at 16 kHz is 2048 samples: a full ADPCM block, and all the A-law the decoder
    // takes in one payload.
    if (o.audioBlockMs == 0 || o.audioBlockMs > 128) {
        error = "audio blocks must last 1 to 128 ms";
        return false;
    }
    return true;
}

bool assembleRecording(const RecordingOptions& o, const MediaInput& media, Recording& rec,
                       std::string& error) {
    rec = Recording{};
    std::vector<VideoRecord> video;
    const auto frameRate = static_cast<std::uint8_t>(o.fps);
    for (const MediaInput::Segment& seg : media.segments) {
        if (o.video == VIDEO_MPEG4) {
            appendMpeg4Segment(seg, frameRate, video);
        } else if (o.video != VIDEO_NONE) {
            appendH264Segment(seg, frameRate, o.video == VIDEO_H264_ANNEXB, video, rec);
        }
    }
    for (const VideoRecord& v : video) {
        if (v.payload.empty() || v.payload.size() > MAX_FRAME_BYTES) {
            error = "a video frame of " + std::to_string(v.payload.size()) +
                    " bytes does not fit a record; lower the bitrate";
            return false;
        }
    }
    Assembler assembler(o, rec);
    std::size_t total = 64;
    for (const VideoRecord& v : video) {
        total += 16 + v.payload.size();
    }
    const std::vector<Bytes> audio = audioPayloads(o, media.samples);
    for (const Bytes& a : audio) {
        total += 8 + a.size();
    }
    // Room for the damage too, so the file is built without moving it.
    assembler.builder.reserve(o.junk || o.skipRecords ? total + total / 8 : total);
    assembler.run(video, audio);
    if (o.truncateBytes == 0) {
        assembler.builder.tailFiller();
    }
    std::vector<VideoRecord>().swap(video);  // the file holds the payloads now
    rec.bytes = assembler.builder.take();
    rec.bytes.resize(rec.bytes.size() - std::min<std::size_t>(rec.bytes.size(), o.truncateBytes));
    modelConversion(assembler.placed, rec);
    return true;
}

bool makeRecording(const RecordingOptions& o, Recording& rec, std::string& error) {
    if (!checkOptions(o, error)) {
        return false;
    }
    MediaInput media;
    if (o.video != VIDEO_NONE) {
        for (const SegmentPlan& seg : planSegments(o)) {
            VideoRequest request;
            request.codec = o.video == VIDEO_MPEG4 ? CODEC_MPEG4 : CODEC_H264;
            request.width = seg.width;
            request.height = seg.height;
            request.fps = o.fps;
            request.frames = seg.frames;
            request.bitrate = o.bitrate;
            request.gop = o.gop != 0 ? o.gop : 2 * o.fps;
            media.segments.push_back({seg.width, seg.height, {}});
            if (!encodeVideo(o.ffmpeg, request, media.segments.back().stream, error)) {
                return false;
            }
        }
    }
    if (o.audio != AUDIO_OFF) {
        const AudioRequest request{o.audioSource, o.audioRate, o.seconds + audioLeadSeconds(o)};
        if (!renderAudio(o.ffmpeg, request, media.samples, error)) {
            return false;
        }
    }
    return assembleRecording(o, media, rec, error);
}

}  // namespace trunvex::recording
