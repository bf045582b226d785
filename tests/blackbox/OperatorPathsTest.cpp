// The operator's paths through the capture page, with the simulated depth
// camera, the real save worker and the real ledger, seen only from outside:
// buttons, dialogs and the card. Each path's session folder, file by file,
// must read as it did when the expected shapes were recorded
// (tests/data/operator_paths); only times and the number of frame sets of a
// timed run may differ.
//
// To record the shapes again after a deliberate format change:
//   KAVREL_OPERATOR_PATHS_OUT=/tmp/shapes ./operator_paths_tests
// then review the difference and copy the files into tests/data/operator_paths.

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <sstream>

#include <QPushButton>
#include <QTemporaryDir>

#include "CaptureSession.h"
#include "CollectionContext.h"
#include "DataCollectionWidget.h"
#include "CaptureTerminal.h"
#include "DialogScript.h"
#include "FolderShape.h"
#include "SessionCheck.h"
#include "SessionFiles.h"
#include "TestSupport.h"
#include "config_manager.h"
#include "file_manager.h"

namespace fs = std::filesystem;
using namespace kavrel::test;

namespace {

constexpr int kCameraTimeoutMs = 90000;  // sanitizer builds start the simulated camera slowly
constexpr int kWriteTimeoutMs = 60000;

class OperatorPaths : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir_.isValid());
        const CaptureTerminal terminal = setUpCaptureTerminal(dir_);
        root_ = terminal.root;
        ledger_ = terminal.ledger;
    }

    void TearDown() override { page_.reset(); }

    void openPage(const std::string& mode)
    {
        CollectionInfo info = captureInfo(mode);
        info.machine_id = "EMP-1";
        info.scene_name = "kitchen_scene";
        info.task_name = "sink_task";
        info.session_tags = {"stain"};
        CollectionContext::instance().setCollectionInfo(info);
        page_ = std::make_unique<DataCollectionWidget>();
        page_->resize(1280, 720);
        page_->show();
        ASSERT_TRUE(waitUntil([&] { return page_->depthCameraState() == DataCollectionWidget::CameraState::Live; },
            kCameraTimeoutMs))
            << "the simulated camera never streamed";
    }

    QPushButton* button(const char* name) { return page_->findChild<QPushButton*>(name); }

    void tap(const char* name)
    {
        ASSERT_TRUE(waitUntil([&] { return button(name)->isEnabled(); }, kWriteTimeoutMs)) << name;
        button(name)->click();
    }

    bool nothingLeftToWrite() { return page_->captureSession()->pendingRuns() == 0; }

    void snapshot(bool keep, std::vector<std::string> tagLabels = {})
    {
        if (keep) {
            script_.confirm();
            script_.chooseTags(std::move(tagLabels));
        } else {
            script_.decline();
        }
        const int answered = script_.confirmationsShown();
        tap("Btn_MainAction");
        ASSERT_TRUE(waitUntil([&] { return script_.confirmationsShown() > answered; }, kWriteTimeoutMs));
        ASSERT_TRUE(waitUntil([&] { return !page_->captureSession()->snapshotWritePending(); }, kWriteTimeoutMs));
    }

    // One continuous run: start, until `frameSets` colour images are on the card, stop.
    void run(size_t frameSets)
    {
        const auto before = sessionFolders(root_, "D1");
        const size_t imagesBefore = before.empty() ? 0 : pngStems(before.front() / "D1" / "color").size();
        tap("Btn_MainAction");
        ASSERT_TRUE(waitUntil(
            [&] {
                const auto sessions = sessionFolders(root_, "D1");
                return !sessions.empty()
                    && pngStems(sessions.front() / "D1" / "color").size() >= imagesBefore + frameSets;
            },
            kWriteTimeoutMs));
        tap("Btn_MainAction");
        ASSERT_TRUE(waitUntil([&] { return nothingLeftToWrite(); }, kWriteTimeoutMs));
    }

    void finish()
    {
        tap("Btn_Finish");
        ASSERT_TRUE(waitUntil([&] { return nothingLeftToWrite() && button("Btn_MainAction")->isEnabled(); },
            kWriteTimeoutMs));
    }

    // The one session folder and its ledger row, as text, against the recorded shape.
    void expectShape(const std::string& name, bool exactCounts)
    {
        const auto sessions = sessionFolders(root_, "D1");
        ASSERT_EQ(sessions.size(), 1u);
        std::string shape = folderShape(sessions.front(), exactCounts);
        // The ledger row: the folder (its times as "#"), type and status.
        const auto rows = fileLines(ledger_);
        for (size_t i = 1; i < rows.size(); ++i) {
            std::vector<std::string> fields;
            std::stringstream row(rows[i]);
            for (std::string field; std::getline(row, field, ',');)
                fields.push_back(field);
            ASSERT_GE(fields.size(), 5u) << rows[i];
            shape += "ledger: " + std::regex_replace(fields[0], std::regex("[0-9]{6,}"), "#") + " " + fields[3] + " "
                + fields[4] + "\n";
        }
        if (const char* out = std::getenv("KAVREL_OPERATOR_PATHS_OUT")) {
            fs::create_directories(out);
            writeFile(std::string(out) + "/" + name + ".txt", shape);
        }
        // The checker reads the folder the way the worker wrote it (single shot or continuous).
        const session_check::SessionReport report = session_check::checkSession(sessions.front().string());
        std::string problems;
        for (const std::string& detail : session_check::detailLines(report))
            problems += "\n" + detail;
        EXPECT_TRUE(report.passed()) << session_check::summaryLine(report) << problems;
        KAVREL_TEST_INPUT_OR_SKIP(expected, "operator_paths/" + name + ".txt");
        EXPECT_EQ(shape, expected) << "the session folder of " << name << " changed";
    }

    QTemporaryDir dir_;
    fs::path root_;
    fs::path ledger_;
    DialogScript script_;
    std::unique_ptr<DataCollectionWidget> page_;
};

TEST_F(OperatorPaths, SingleShot)
{
    openPage("single_shot");
    snapshot(true, {"划痕"});
    snapshot(false);
    snapshot(true, {"裂纹", "划痕"});
    finish();
    expectShape("single_shot", true);
}

TEST_F(OperatorPaths, Continuous)
{
    openPage("continue_record");
    run(3);
    finish();
    expectShape("continue_record", false);
}

TEST_F(OperatorPaths, ContinueShot)
{
    openPage("continue_shot");
    run(3);
    finish();
    expectShape("continue_shot", false);
}

// The information page's "continuous_shot" is a continuous recording on the card too.
TEST_F(OperatorPaths, ContinuousShot)
{
    openPage("continuous_shot");
    run(3);
    finish();
    expectShape("continuous_shot", false);
}

TEST_F(OperatorPaths, TwoRunsIntoOneFolder)
{
    openPage("continue_record");
    run(3);
    // At once: the checker tells the pause between the runs from a hole by the device clock's runs.
    run(3);
    finish();
    expectShape("two_runs", false);
}

} // namespace
