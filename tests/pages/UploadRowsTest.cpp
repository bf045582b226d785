// The upload page's rows on an 800x480 panel.

#include <QDir>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include "PagesFixture.h"
#include "UploadWidget.h"
#include "file_manager.h"

using kavrel::test::PagesTest;
using kavrel::test::waitUntil;

namespace {

const char* const kSession = "20261206-HZ-restroom/urinal/12/20261206_143635";
const char* const kUploaded = "20261205-HZ-restroom/washbasin/20261205_090000_2";
const char* const kOddFolder = "pending/outside/1200";

class UploadRows : public PagesTest {
protected:
    void SetUp() override
    {
        PagesTest::SetUp();
        putInSet("scenario_restroom.yaml", "label: restroom\nname: 卫生间场景\ntasks:\n"
                                           "  - {label: urinal, name: 小便池, part_name: 隔间号}\n"
                                           "  - {label: washbasin, name: 洗手台录制}\n");
        const std::string card = card_.path().toStdString();
        for (const char* folder : {kSession, kUploaded, kOddFolder}) {
            QDir().mkpath(card_.filePath(QString::fromUtf8(folder)));
            kavrel::test::writeFile(card + "/" + folder + "/meta.yaml", "date: x\n");
        }
        kavrel::test::writeFile(card + "/file_manager.csv",
            std::string("dir_name,creat_date,size,type,status,succ_up_date\n") + kSession
                + ",1765000000,1234567890,采集,待上传,0\n" + kUploaded + ",1765000000,10,采集,已完成,5\n" + kOddFolder
                + ",1765000000,300,采集,待上传,0\n");
        ASSERT_TRUE(manager_.init(card + "/file_manager.csv", card));
        page_ = std::make_unique<UploadWidget>(manager_.ledger(), manager_.uploads());
        page_->setGeometry(0, 0, 800, 480);
        page_->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(page_.get()));
    }
    UploadRow* row(const char* folder) const
    {
        UploadRow* found = page_->rowOf(QString::fromUtf8(folder));
        EXPECT_NE(found, nullptr) << folder;
        return found;
    }
    static void tap(UploadRow* row)
    {
        QTest::mouseClick(row, Qt::LeftButton, {}, row->wordsLabel()->geometry().center());
    }

    QTemporaryDir card_;
    file_manager manager_;
    std::unique_ptr<UploadWidget> page_;
};

} // namespace

TEST_F(UploadRows, ShowTheSessionInWordsAndTheCardPathOnRequest)
{
    UploadRow* session = row(kSession);
    EXPECT_EQ(session->wordsLabel()->text(), QString::fromUtf8("卫生间场景 · 小便池 · 隔间号 12"));
    EXPECT_EQ(session->whenLabel()->text(), "2026-12-06 14:36:35");
    EXPECT_EQ(session->sizeLabel()->text(), "1.15 GiB");
    EXPECT_EQ(row(kUploaded)->whenLabel()->text(), "2026-12-05 09:00:00_2") << "a second session in that second";
    EXPECT_EQ(row(kOddFolder)->wordsLabel()->text(), kOddFolder) << "another shape is shown as it is";
    EXPECT_TRUE(row(kOddFolder)->whenLabel()->text().startsWith("2025-12-0")) << "no session time: the row's date";

    EXPECT_FALSE(session->pathLabel()->isVisible());
    const int plainHeight = session->height();
    page_->findChild<QPushButton*>("Btn_ShowPath")->click();
    QTest::qWait(50);
    EXPECT_TRUE(session->pathLabel()->isVisible());
    EXPECT_EQ(session->pathLabel()->text(), kSession);
    EXPECT_GT(session->height(), plainHeight) << "the row makes room for the path";
}

TEST_F(UploadRows, ATapTogglesAPendingRowOnly)
{
    UploadRow* session = row(kSession);
    UploadRow* uploaded = row(kUploaded);
    tap(session);
    EXPECT_TRUE(session->isChosen());
    tap(session);
    EXPECT_FALSE(session->isChosen()) << "a second tap takes it back";
    tap(uploaded);
    EXPECT_FALSE(uploaded->isChosen()) << "an uploaded dataset is not sent again";
    EXPECT_TRUE(session->accessibleName().startsWith(QString::fromUtf8("卫生间场景 · 小便池"))) << "named for tools";
}

TEST_F(UploadRows, TimeSizeAndAFailureFitTheRowOnAnEightHundredPixelPanel)
{
    UploadRow* r = row(kSession);
    r->setStatus(QString::fromUtf8("上传失败：认证失败"));  // as a failed upload's report sets it
    page_->resize(800, 470);  // a resize refits the rows, as a status change from a report does
    const QWidget* viewport = page_->findChild<QListWidget*>("listWidget_Datasets")->viewport();
    // The list lays its rows out again once its scroll bar shows.
    EXPECT_TRUE(waitUntil([&] { return r->geometry().right() < viewport->width(); }, 2000))
        << "the row is wider than the list: " << r->geometry().right() << " of " << viewport->width();
    for (QLabel* label : {r->whenLabel(), r->sizeLabel()})
        EXPECT_GE(label->width(), label->sizeHint().width()) << label->text().toStdString() << " is cut";
    const QLabel* status = r->findChild<QLabel*>("label_Status");
    EXPECT_GE(status->height(), status->heightForWidth(status->width())) << "the status is cut";
}
