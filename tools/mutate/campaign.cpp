#include "mutate/campaign.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

#include "common/byte_sink.h"
#include "platform/source_file.h"
#include "run/conversion_run.h"
#include "support/riff_walker.h"
#include "support/test_sinks.h"

extern char** environ;

namespace trunvex::mutate {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

const Bytes EARLIER_AVI = {'R', 'I', 'F', 'F', 'e', 'a', 'r', 'l', 'i', 'e', 'r'};

Bytes readBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool writeBytes(const fs::path& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

std::string readText(const fs::path& path) {
    const Bytes bytes = readBytes(path);
    return std::string(bytes.begin(), bytes.end());
}

std::int64_t mtimeNanos(const fs::path& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        return -1;
    }
    return std::int64_t{info.st_mtim.tv_sec} * 1'000'000'000 + info.st_mtim.tv_nsec;
}

struct ChildResult {
    bool started = false;
    bool timedOut = false;
    int signal = 0;   // what killed it, 0 when it exited
    int status = -1;  // its exit status when it exited
};

// Runs `args` with stdin from /dev/null and stdout, stderr into files; kills it with SIGKILL
// when it outlives the time bound.
ChildResult runChild(const std::vector<std::string>& args, const fs::path& out, const fs::path& err,
                     double timeoutSeconds) {
    std::vector<char*> argv;
    for (const std::string& a : args) {
        argv.push_back(const_cast<char*>(a.c_str()));
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = 0;
    ChildResult result;
    result.started = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) == 0;
    posix_spawn_file_actions_destroy(&actions);
    if (!result.started) {
        return result;
    }
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSeconds);
    auto pause = std::chrono::microseconds(200);
    int wstatus = 0;
    for (;;) {
        const pid_t done = ::waitpid(pid, &wstatus, WNOHANG);
        if (done == pid) {
            break;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            result.timedOut = true;
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &wstatus, 0);
            break;
        }
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, std::chrono::microseconds(10000));
    }
    if (WIFSIGNALED(wstatus)) {
        result.signal = WTERMSIG(wstatus);
    } else if (WIFEXITED(wstatus)) {
        result.status = WEXITSTATUS(wstatus);
    }
    return result;
}

class QuietUi final : public RunUi {
public:
    void setConvertCaption(std::string_view) override {}
    void showMessage(std::string_view) override {}
};

// Messages of the video decoders and parsers (the latter shown as "[NULL @") that ffprobe runs
// while it probes: they are about the frames' own bytes, which the mutation may have damaged
// and the converter passes on as they are.
bool fromPayloadDecoder(const std::string& line) {
    return line.starts_with("[h264 @") || line.starts_with("[mpeg4 @") ||
           line.starts_with("[NULL @");
}

// The error output of ffprobe that is not about the frames' bytes.
std::string readerErrors(const std::string& output, bool& decoderComplaints) {
    std::string errors;
    std::istringstream lines(output);
    bool decoderLine = false;
    for (std::string line; std::getline(lines, line);) {
        // ffmpeg folds repeats into "Last message repeated N times" after the message.
        if (!line.starts_with("    Last message repeated")) {
            decoderLine = fromPayloadDecoder(line);
        }
        if (decoderLine) {
            decoderComplaints = true;
        } else {
            errors += line + "\n";
        }
    }
    return errors;
}

// ffprobe reads every packet of the AVI; problems go to `problems`.
void probe(const CampaignSettings& settings, const fs::path& avi, const fs::path& scratch,
           const StreamTotalsMap& expected, std::vector<std::string>& problems,
           bool& decoderComplaints) {
    const fs::path out = scratch / "ffprobe.out";
    const fs::path err = scratch / "ffprobe.err";
    const ChildResult r =
        runChild({settings.ffprobe, "-v", "error", "-show_entries",
                  "stream=index,codec_type:packet=stream_index,size", "-of", "csv", avi.string()},
                 out, err, 60);
    if (!r.started || r.status != 0) {
        problems.push_back("ffprobe failed (status " + std::to_string(r.status) + ")");
    }
    const std::string errors = readerErrors(readText(err), decoderComplaints);
    if (!errors.empty()) {
        problems.push_back("ffprobe reports: " + errors.substr(0, 300));
    }
    StreamTotalsMap found;
    std::istringstream lines(readText(out));
    for (std::string line; std::getline(lines, line);) {
        unsigned stream = 0;
        unsigned long long size = 0;
        char type[16] = {};
        if (std::sscanf(line.c_str(), "packet,%u,%llu", &stream, &size) == 2) {
            ++found[stream].packets;
            found[stream].bytes += size;
        } else if (std::sscanf(line.c_str(), "stream,%u,%15s", &stream, type) == 2) {
            found[stream].audio = std::strcmp(type, "audio") == 0;
        }
    }
    if (found != expected) {
        problems.push_back("ffprobe reads " + describe(found) + ", expected " + describe(expected));
    }
}

}  // namespace

CaseResult runCase(const CampaignSettings& settings, ConversionContext& ctx, const Bytes& bytes,
                   const fs::path& workDir, bool earlierAvi) {
    CaseResult result;
    std::vector<std::string>& problems = result.problems;
    const fs::path runDir = workDir / "run";
    fs::remove_all(runDir);
    fs::create_directories(runDir);
    const fs::path source = runDir / "rec.264";
    const fs::path avi = runDir / "out.avi";
    if (!writeBytes(source, bytes) || (earlierAvi && !writeBytes(avi, EARLIER_AVI))) {
        problems.emplace_back("cannot write the input under " + runDir.string());
        return result;
    }
    const std::int64_t sourceTime = mtimeNanos(source);

    const ChildResult child =
        runChild({settings.cli, source.string(), avi.string()}, workDir / "stdout",
                 workDir / "stderr", settings.timeoutSeconds);
    result.status = child.status;
    if (!child.started) {
        problems.emplace_back("cannot start " + settings.cli);
        return result;
    }
    if (child.timedOut) {
        problems.push_back("hang: killed after " + std::to_string(settings.timeoutSeconds) + " s");
    } else if (child.signal != 0) {
        problems.push_back("crash: killed by signal " + std::to_string(child.signal) + " (" +
                           strsignal(child.signal) + ")");
    } else if (child.status < 0 || child.status > 6) {
        problems.push_back("exit status " + std::to_string(child.status) + ": " +
                           readText(workDir / "stderr").substr(0, 300));
    }
    if (readBytes(source) != bytes || mtimeNanos(source) != sourceTime) {
        problems.emplace_back("the source changed");
    }
    // Nothing but the source and the AVI: no temporary file left behind.
    for (const auto& entry : fs::directory_iterator(runDir)) {
        const std::string name = entry.path().filename().string();
        if (name != "rec.264" && name != "out.avi") {
            problems.push_back("left behind: " + name);
        }
    }

    // What the same bytes give in this process, into memory.
    MemorySinkFactory memory;
    QuietUi ui;
    const ConvertOutcome expected =
        convertRecording(ctx, source.string(), avi.string(), ui, fileSourceOpener(), memory)
            .outcome;
    const int status = child.status;
    if (status >= 0 && status <= 6 && status != static_cast<int>(expected)) {
        problems.push_back("exit status " + std::to_string(status) + " but " +
                           std::to_string(expected) + " in process");
    }
    // A success is told on standard output, a failure on standard error.
    if (status >= 0 && status <= 6) {
        const std::string message =
            std::string(messageFor(static_cast<ConvertOutcome>(status))) + "\n";
        const std::string out = readText(workDir / "stdout");
        const std::string err = readText(workDir / "stderr");
        if (status == 0 ? out != message
                        : !out.empty() || !err.starts_with("trunvex-cli: " + message)) {
            problems.push_back("printed: " + out.substr(0, 200) + err.substr(0, 200));
        }
    }

    // Success leaves the new AVI. A failed read, an eleventh frame size or a missing stream
    // (status 1 or 2 with a file committed in process) leave a complete AVI of what was
    // written; a broken output and "no frames" leave the path as it was.
    const bool aviThere = fs::exists(avi);
    const Bytes* inProcess = memory.find(avi.string());
    const bool aviExpected = status == CONVERT_OK ||
                             ((status == CONVERT_READ_FAILED || status == CONVERT_OUTPUT_FAILED) &&
                              inProcess != nullptr);
    if (aviExpected) {
        const Bytes written = readBytes(avi);
        const AviCheck check = checkAvi(written);
        if (!aviThere || !check.ok()) {
            problems.push_back("status " + std::to_string(status) + ", but the AVI is " +
                               (aviThere ? "malformed: " + check.error : std::string("missing")));
        } else if (inProcess == nullptr || *inProcess != written) {
            problems.emplace_back("the AVI differs from the in-process conversion");
        } else {
            probe(settings, avi, workDir, streamTotalsOf(check), problems,
                  result.decoderComplaints);
        }
    } else if (status >= CONVERT_READ_FAILED && status <= CONVERT_NO_FRAMES) {
        if (earlierAvi ? readBytes(avi) != EARLIER_AVI : aviThere) {
            problems.emplace_back(earlierAvi ? "the earlier AVI was changed"
                                             : "a file was left at the AVI path");
        }
    }
    return result;
}

void saveFailure(const CampaignSettings& settings, const std::string& name, const Bytes& bytes,
                 const fs::path& workDir, const std::string& report) {
    fs::create_directories(settings.failures);
    writeBytes(settings.failures / (name + ".264"), bytes);
    std::ofstream(settings.failures / (name + ".txt")) << report;
    std::error_code ignored;
    fs::copy_file(workDir / "run" / "out.avi", settings.failures / (name + ".avi"),
                  fs::copy_options::overwrite_existing, ignored);
}

}  // namespace trunvex::mutate
