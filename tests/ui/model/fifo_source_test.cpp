#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "model_test_doubles.h"
#include "run/run_messages.h"
#include "support/test_support.h"
#include "ui/model/converter_dialog_model.h"

namespace trunvex {
namespace {

// A FIFO nobody writes to would block an open for good. The program's own sources refuse it
// before opening anything, so the run ends with its message and the window never waits.
TEST(DialogModelFiles, FifoSourceIsRefusedWithoutWaiting) {
    const std::filesystem::path dir = test::makeTempDir("dialog_fifo");
    const std::string fifo = (dir / "live.264").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);

    test::RecordingView view;
    test::QueueDispatcher dispatcher;
    ConverterDialogModel model(view, dispatcher);
    ASSERT_TRUE(model.initialise());
    view.boxes = {fifo, (dir / "live.avi").string()};
    model.convert();
    const bool ended =
        dispatcher.pumpUntil([&] { return !model.busy(); }, std::chrono::seconds(10));
    if (!ended) {
        // Let a blocked open go, so the test fails instead of hanging.
        const int writer = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
        if (writer >= 0) {
            ::close(writer);
        }
        (void)dispatcher.pumpUntil([&] { return !model.busy(); });
    }
    EXPECT_TRUE(ended);
    EXPECT_EQ(view.messages, std::vector<std::string>{std::string(MSG_SOURCE_OPEN_FAILED)});
    EXPECT_FALSE(std::filesystem::exists(dir / "live.avi"));
}

}  // namespace
}  // namespace trunvex
