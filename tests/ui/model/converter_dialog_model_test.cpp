#include "ui/model/converter_dialog_model.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <thread>

#include "mkrecording/recording_builder.h"
#include "model_test_doubles.h"
#include "run/run_messages.h"
#include "support/test_sinks.h"
#include "support/test_support.h"

namespace trunvex {
namespace {

using recording::RecordingBuilder;
using test::HeldSourceOpener;
using test::ImmediateDispatcher;
using test::QueueDispatcher;
using test::RecordingView;
using Bytes = std::vector<std::uint8_t>;
using Strings = std::vector<std::string>;

std::string caption(std::string_view text) {
    return "caption: " + std::string(text);
}

std::string message(std::string_view text) {
    return "message: " + std::string(text);
}

// The run on the calling thread, every step it reports carried out at once: the model as
// one chain of calls.
class DialogModelTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(model.initialise());
        view.events.clear();
    }

    RecordingView view;
    ImmediateDispatcher dispatcher;
    HeldSourceOpener sources{recording::keyFrameAndAudio()};
    MemorySinkFactory sinks;
    ConverterDialogModel model{view, dispatcher, RunPlacement::CALLING_THREAD, sources, sinks};
};

TEST_F(DialogModelTest, BrowseAndDropOutcomes) {
    enum Action { BROWSE_SOURCE, BROWSE_AVI, DROP };
    struct Case {
        const char* name;
        Action action;
        std::optional<std::string> answer;
        const char* source;
        const char* avi;
    };
    // Before each: "/rec/cam1.264" chosen, then "/elsewhere/typed.avi" typed into the AVI box.
    const Case cases[] = {
        {"source chosen", BROWSE_SOURCE, "D:\\a.b.mp4", "D:\\a.b.mp4", "D:\\a.b.avi"},
        // The typed text was never read back, so the stored AVI path returns.
        {"source cancelled", BROWSE_SOURCE, std::nullopt, "", "/rec/cam1.avi"},
        {"AVI chosen", BROWSE_AVI, "/out/chosen.avi", "/rec/cam1.264", "/out/chosen.avi"},
        {"AVI cancelled", BROWSE_AVI, std::nullopt, "/rec/cam1.264", ""},
        {"dropped", DROP, "/data/录像/cam2.264", "/data/录像/cam2.264", "/data/录像/cam2.avi"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RecordingView v;
        ConverterDialogModel m(v, dispatcher, RunPlacement::CALLING_THREAD, sources, sinks);
        ASSERT_TRUE(m.initialise());
        m.dropFiles({"/rec/cam1.264"});
        v.boxes.avi = "/elsewhere/typed.avi";
        if (c.action == DROP) {
            m.dropFiles({*c.answer});
        } else {
            v.answers.push_back(c.answer);
            c.action == BROWSE_SOURCE ? m.browseSource() : m.browseAvi();
        }
        EXPECT_EQ(v.boxes.source, c.source);
        EXPECT_EQ(v.boxes.avi, c.avi);
        EXPECT_EQ(m.sourcePath(), c.source);
        EXPECT_EQ(m.aviPath(), c.avi);
        ASSERT_EQ(v.requests.size(), c.action == DROP ? 0u : 1u);
        if (c.action == BROWSE_SOURCE) {
            EXPECT_TRUE(v.requests[0].open);
            EXPECT_EQ(v.requests[0].defaultExtension, ".*");
            EXPECT_EQ(v.requests[0].filter, SOURCE_FILTER);
        } else if (c.action == BROWSE_AVI) {
            EXPECT_FALSE(v.requests[0].open);
            EXPECT_TRUE(v.requests[0].overwritePrompt);
            EXPECT_EQ(v.requests[0].defaultExtension, "*.AVI");
            EXPECT_EQ(v.requests[0].filter, AVI_FILTER);
        }
    }
}

TEST(ProposedAviPath, ReplacesOnlyTheFileNamesExtension) {
    const std::pair<std::string, std::string> cases[] = {
#ifdef _WIN32
        {"C:\\rec\\cam1.264", "C:\\rec\\cam1.avi"},
        {"C:\\rec.old\\cam1", "C:\\rec.old\\cam1.avi"},
        {"C:\\rec.old/cam1", "C:\\rec.old/cam1.avi"},
        {"D:.x\\a.b.mp4", "D:.x\\a.b.avi"},
#endif
        {"/home/u/rec/cam1.264", "/home/u/rec/cam1.avi"},
        {"/home/u/rec.old/cam1", "/home/u/rec.old/cam1.avi"},
        {"/home/u/plain/cam", "/home/u/plain/cam.avi"},
        {"/home/u/a.b.mp4", "/home/u/a.b.avi"},
        {"/home/u/.hidden", "/home/u/.hidden.avi"},
        {"noextension", "noextension.avi"},
    };
    for (const auto& [source, avi] : cases) {
        EXPECT_EQ(proposedAviPath(source), avi) << source;
    }
}

TEST_F(DialogModelTest, RunTakesTheTypedPathsAndEndsInOneMessage) {
    view.boxes = {"rec.264", "typed.avi"};
    model.convert();
    const Strings expected = {
        "paths", "busy", caption(CAPTION_WAIT), caption(CAPTION_CONVERT), message(MSG_SUCCEEDED),
        "idle"};
    EXPECT_EQ(view.events, expected);
    EXPECT_NE(sinks.find("typed.avi"), nullptr);
    EXPECT_EQ(model.aviPath(), "typed.avi");
    EXPECT_FALSE(model.busy());
    EXPECT_EQ(model.convertCaption(), CAPTION_CONVERT);
    // The bar shows from 0 while the caption says so, and is hidden before the message.
    ASSERT_GE(view.progress.size(), 2u);
    EXPECT_TRUE(view.progress.front().shown);
    EXPECT_EQ(view.progress.front().percent, 0);
    EXPECT_FALSE(view.progress.back().shown);
    EXPECT_FALSE(model.progress().shown);
}

TEST_F(DialogModelTest, TypedAviNameWithoutFolderLandsBesideTheSource) {
    struct Case {
        PathTexts boxes;
        const char* written;
    };
    const Case cases[] = {
        {{"/rec/cam1.264", "clip.avi"}, "/rec/clip.avi"},
        {{"/rec/cam1.264", "out/clip.avi"}, "/rec/out/clip.avi"},
        {{"/rec/cam1.264", "/elsewhere/clip.avi"}, "/elsewhere/clip.avi"},
        {{"cam1.264", "clip.avi"}, "clip.avi"},
        // Pasted with the quotes "Copy as path" adds, or with blanks around.
        {{" \"/rec/cam1.264\" ", "  \"/elsewhere/q.avi\"\t"}, "/elsewhere/q.avi"},
        {{"/rec/cam1.264", "' clip.avi '"}, "/rec/clip.avi"},
        {{"/rec/cam1.264", " \"clip.avi"}, "/rec/\"clip.avi"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.written);
        view.boxes = c.boxes;
        model.convert();
        EXPECT_EQ(view.messages.back(), MSG_SUCCEEDED);
        EXPECT_NE(sinks.find(c.written), nullptr);
        // The box tells where the file went.
        EXPECT_EQ(view.boxes.avi, c.written);
        EXPECT_EQ(model.aviPath(), c.written);
    }
}

#ifndef _WIN32
TEST_F(DialogModelTest, TypedTildeIsTheHomeFolder) {
    const char* home = std::getenv("HOME");
    ASSERT_NE(home, nullptr);
    view.boxes = {"/rec/cam1.264", "~/x.avi"};
    model.convert();
    EXPECT_EQ(view.messages.back(), MSG_SUCCEEDED);
    EXPECT_NE(sinks.find(std::string(home) + "/x.avi"), nullptr);
    EXPECT_EQ(view.boxes.avi, std::string(home) + "/x.avi");
    // Only the user's own "~" is expanded; "~name" and a "~" inside stay as typed.
    view.boxes = {"/rec/cam1.264", "/rec/~other/x~.avi"};
    model.convert();
    EXPECT_EQ(view.boxes.avi, "/rec/~other/x~.avi");
}
#endif

TEST_F(DialogModelTest, DropsOtherThanOneFileAreRefused) {
    const std::string folder = test::makeTempDir("dialog_drop_folder").string();
    const std::vector<std::string> refused[] = {
        {folder}, {"/rec/cam2.264", "/rec/cam3.264"}, {""}, {}, {"/rec/cam2.264", ""}};
    model.dropFiles({"/rec/cam1.264"});
    EXPECT_TRUE(model.takesDrop({"/rec/cam2.264"}));
    for (const std::vector<std::string>& paths : refused) {
        SCOPED_TRACE(paths.size());
        EXPECT_FALSE(model.takesDrop(paths));
        model.dropFiles(paths);
        EXPECT_EQ(model.sourcePath(), "/rec/cam1.264");
        EXPECT_EQ(view.boxes.source, "/rec/cam1.264");
        EXPECT_EQ(model.aviPath(), "/rec/cam1.avi");
    }
}

TEST_F(DialogModelTest, RecordingOnTheCommandLineIsProposedAndNotRun) {
    model.openWith("/rec/cam1.264");
    EXPECT_EQ(view.boxes.source, "/rec/cam1.264");
    EXPECT_EQ(view.boxes.avi, "/rec/cam1.avi");
    EXPECT_EQ(view.events, Strings{"paths"});
    EXPECT_EQ(sources.opens(), 0);
}

TEST_F(DialogModelTest, RefusedRunShowsItsMessageAndLeavesTheCaption) {
    const std::pair<PathTexts, std::string_view> cases[] = {
        {{"rec.264", ""}, MSG_PATH_EMPTY},
        {{"rec.264", " \t "}, MSG_PATH_EMPTY},
        {{"  ", "out.avi"}, MSG_PATH_EMPTY},
        {{"rec.264", "\" \""}, MSG_PATH_EMPTY},
        {{"missing", "out.avi"}, MSG_SOURCE_OPEN_FAILED},
    };
    for (const auto& [boxes, text] : cases) {
        SCOPED_TRACE(text);
        view.events.clear();
        view.boxes = boxes;
        model.convert();
        EXPECT_EQ(view.events, (Strings{"paths", "busy", message(text), "idle"}));
    }
}

TEST_F(DialogModelTest, ProgressStepsAreFewAndRising) {
    // 300 chunks: a step per chunk would be 300 steps.
    HeldSourceOpener big(recording::keyFrameAndAudio(), 300 * READ_CHUNK_BYTES);
    ConverterDialogModel m(view, dispatcher, RunPlacement::CALLING_THREAD, big, sinks);
    ASSERT_TRUE(m.initialise());
    view.boxes = {"rec.264", "out.avi"};
    m.convert();
    ASSERT_EQ(view.messages, Strings{std::string(MSG_SUCCEEDED)});
    std::vector<int> shown;
    for (const RunProgress& step : view.progress) {
        if (step.shown) {
            shown.push_back(step.percent);
        }
    }
    ASSERT_GE(shown.size(), 2u);
    EXPECT_LE(shown.size(), 101u);
    EXPECT_TRUE(std::is_sorted(shown.begin(), shown.end()));
    EXPECT_EQ(std::adjacent_find(shown.begin(), shown.end()), shown.end()) << "a step repeated";
    EXPECT_EQ(shown.back(), 100);
}

TEST_F(DialogModelTest, ClosingFreesTheBuffersOnce) {
    enum Close { EXIT, CANCEL, EXIT_THEN_WINDOW_GONE };
    for (const Close close : {EXIT, CANCEL, EXIT_THEN_WINDOW_GONE}) {
        SCOPED_TRACE(close);
        RecordingView v;
        ConverterDialogModel m(v, dispatcher, RunPlacement::CALLING_THREAD, sources, sinks);
        ASSERT_TRUE(m.initialise());
        v.boxes = {"rec.264", "typed.avi"};
        if (close == CANCEL) {
            EXPECT_TRUE(m.mayCancel());
            m.windowDestroyed();
        } else {
            EXPECT_TRUE(m.exit());
            // "Exit" reads the boxes back.
            EXPECT_EQ(m.aviPath(), "typed.avi");
            if (close == EXIT_THEN_WINDOW_GONE) {
                m.windowDestroyed();
            }
        }
        EXPECT_FALSE(m.context().buffersAllocated());
        EXPECT_EQ(m.bufferReleases(), 1);
        // Without buffers there is nothing to run with.
        v.events.clear();
        m.convert();
        EXPECT_TRUE(v.events.empty());
    }
}

// The run on a thread of its own, its reports queued for the test's thread, which plays the
// user-interface thread.
class DialogModelThreadTest : public ::testing::Test {
protected:
    RecordingView view;
    QueueDispatcher dispatcher;
    HeldSourceOpener sources{recording::keyFrameAndAudio(), 4 * READ_CHUNK_BYTES};
    MemorySinkFactory sinks;
};

TEST_F(DialogModelThreadTest, RunOnItsOwnThreadTakesNoActionUntilItsMessage) {
    ConverterDialogModel model(view, dispatcher, RunPlacement::WORKER_THREAD, sources, sinks);
    ASSERT_TRUE(model.initialise());
    view.boxes = {"rec.264", "out.avi"};
    sources.hold();
    model.convert();
    EXPECT_TRUE(model.busy());
    EXPECT_TRUE(view.busyShown);
    ASSERT_TRUE(sources.waitForHeldRead());
    ASSERT_TRUE(dispatcher.pumpUntil([&] { return view.caption == CAPTION_WAIT; }));
    EXPECT_NE(sources.openedOn(), std::this_thread::get_id());

    // Whatever the user does meanwhile is ignored.
    view.answers = {"/other.264", "/other.avi"};
    model.browseSource();
    model.browseAvi();
    model.dropFiles({"/dropped.264"});
    EXPECT_FALSE(model.takesDrop({"/dropped.264"}));
    model.about();
    model.convert();
    EXPECT_FALSE(model.exit());
    EXPECT_FALSE(model.mayCancel());
    EXPECT_TRUE(view.requests.empty());
    EXPECT_EQ(std::count(view.events.begin(), view.events.end(), "about"), 0);
    EXPECT_EQ(view.boxes.source, "rec.264");
    EXPECT_EQ(model.aviPath(), "out.avi");

    sources.release();
    ASSERT_TRUE(dispatcher.pumpUntil([&] { return !model.busy(); }));
    dispatcher.pumpPending();
    EXPECT_EQ(view.messages, Strings{std::string(MSG_SUCCEEDED)});
    EXPECT_EQ(view.captionsAtMessages, Strings{std::string(CAPTION_CONVERT)});
    EXPECT_EQ(view.events.back(), "idle");
    EXPECT_EQ(sources.opens(), 1);
    EXPECT_NE(sinks.find("out.avi"), nullptr);
    EXPECT_TRUE(model.context().buffersAllocated());
    model.about();
    EXPECT_EQ(view.events.back(), "about");
    EXPECT_TRUE(model.exit());
}

TEST_F(DialogModelThreadTest, WindowGoneDuringARunWaitsForItAndDropsItsReports) {
    auto model = std::make_unique<ConverterDialogModel>(
        view, dispatcher, RunPlacement::WORKER_THREAD, sources, sinks);
    ASSERT_TRUE(model->initialise());
    view.boxes = {"rec.264", "out.avi"};
    sources.hold();
    model->convert();
    ASSERT_TRUE(sources.waitForHeldRead());
    std::thread releaser([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        sources.release();
    });
    // The buffers are freed only after the run's thread has let go of them.
    model->windowDestroyed();
    EXPECT_EQ(model->bufferReleases(), 1);
    model.reset();
    releaser.join();
    // What the run posted finds the model gone and does nothing.
    dispatcher.pumpPending();
    EXPECT_TRUE(view.messages.empty());
}

}  // namespace
}  // namespace trunvex
