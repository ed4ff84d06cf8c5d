#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "model_test_doubles.h"
#include "run/run_messages.h"
#include "support/test_support.h"
#include "ui/model/converter_dialog_model.h"

namespace trunvex {
namespace {

std::string utf8(const std::filesystem::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

// The paths the program passes around are UTF-8, whatever the system's own code page: a
// recording whose name that code page cannot spell converts like any other.
TEST(DialogModelFiles, ProgramSourcesTakeNamesBeyondTheCodePage) {
    const std::filesystem::path dir = test::makeTempDir("dialog_names");
    const std::filesystem::path source = dir / std::filesystem::path(u8"录像 样本.264");
    std::filesystem::copy_file(std::filesystem::path(u8"" TRUNVEX_SAMPLE_RECORDING), source);

    test::RecordingView view;
    test::QueueDispatcher dispatcher;
    ConverterDialogModel model(view, dispatcher);
    ASSERT_TRUE(model.initialise());
    view.boxes = {utf8(source), utf8(dir / std::filesystem::path(u8"录像 样本.avi"))};
    model.convert();
    ASSERT_TRUE(dispatcher.pumpUntil([&] { return !model.busy(); }));
    EXPECT_EQ(view.messages, std::vector<std::string>{std::string(MSG_SUCCEEDED)});
    EXPECT_TRUE(std::filesystem::exists(dir / std::filesystem::path(u8"录像 样本.avi")));
}

}  // namespace
}  // namespace trunvex
