// Style loading, the font-size rule, list row buttons and the vector label,
// driven through the real widgets on the offscreen platform.
#include <QFile>
#include <QImage>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QSvgRenderer>
#include <QTemporaryDir>
#include <QWidget>

#include <gtest/gtest.h>

#include "Log.h"
#include "SelectableListItemButton.h"
#include "SvgLabel.h"
#include "TestSupport.h"
#include "WidgetUtils.h"
#include "config_manager.h"

using kavrel::log::LogCapture;

namespace {

// Puts the shared configuration back after each test.
class ConfigReset : public ::testing::Test {
protected:
    void SetUp() override { config_manager::instance().resetForTest(); }
    void TearDown() override { config_manager::instance().resetForTest(); }
};

// Qt reports unparsable style sheets through its message handler.
class QtWarnings {
public:
    QtWarnings() { previous_ = qInstallMessageHandler(&QtWarnings::handler); messages().clear(); }
    ~QtWarnings() { qInstallMessageHandler(previous_); }
    static QStringList& messages()
    {
        static QStringList list;
        return list;
    }

private:
    static void handler(QtMsgType, const QMessageLogContext&, const QString& msg) { messages() << msg; }
    QtMessageHandler previous_ = nullptr;
};

QColor centrePixel(QWidget& w)
{
    const QImage img = w.grab().toImage();
    return img.pixelColor(img.width() / 2, img.height() / 2);
}

std::vector<QString> allFontTemplatesFilled(SelectableListItemButton& button)
{
    std::vector<QString> out;
    out.push_back(WidgetUtils::mainButtonStyle());
    out.push_back(WidgetUtils::keypadDisplayStyle());
    button.setSelected(true);
    out.push_back(button.styleSheet());
    button.setSelected(false);
    out.push_back(button.styleSheet());
    return out;
}

} // namespace

// --- style sheets -------------------------------------------------------

TEST(LoadStyles, MissingFileLogsPathAndKeepsTheWidgetsStyle)
{
    QWidget w;
    w.setStyleSheet("QWidget { color: #123456; }");
    LogCapture capture;
    WidgetUtils::loadStyles(&w, ":/Qss/NoSuchPage.qss");
    EXPECT_TRUE(capture.contains("Failed to load stylesheet::/Qss/NoSuchPage.qss"));
    EXPECT_EQ(w.styleSheet(), "QWidget { color: #123456; }");
}

TEST(LoadStyles, ReadsLatin1UpToTheFirstNul)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("page.qss");
    kavrel::test::writeFile(path.toStdString(),
                            std::string("QLabel { font-family: \"Caf\xE9\"; }\0trailing junk", 46));
    QWidget w;
    WidgetUtils::loadStyles(&w, path);
    EXPECT_EQ(w.styleSheet(), QString::fromUtf8("QLabel { font-family: \"Café\"; }"));
}

TEST(LoadStyles, EveryPageSheetIsCompiledInAndParses)
{
    for (const char* page : {"DataCollectionWidget", "InformationCollectionWidget", "Popupkeyboard"}) {
        SCOPED_TRACE(page);
        QWidget w;
        w.setObjectName(page);
        auto* button = new QPushButton("x", &w);
        button->setObjectName("Btn_keyboard");
        LogCapture capture;
        QtWarnings warnings;
        WidgetUtils::loadStyles(&w, QString(":/Qss/%1.qss").arg(page));
        w.ensurePolished();
        button->ensurePolished();
        w.grab();  // forces the sheet to be parsed
        EXPECT_FALSE(capture.contains("Failed to load stylesheet"));
        EXPECT_FALSE(w.styleSheet().isEmpty());
        for (const QString& m : warnings.messages())
            EXPECT_FALSE(m.contains("parse", Qt::CaseInsensitive)) << m.toStdString();
    }
}

// --- font size rule -----------------------------------------------------

TEST_F(ConfigReset, FontSizeBelowOneGivesThirtySixInEveryTemplate)
{
    SelectableListItemButton button("row");
    for (int configured : {0, -1, -40}) {
        SCOPED_TRACE(configured);
        config_manager::instance().font_size_px_ = configured;
        for (const QString& style : allFontTemplatesFilled(button)) {
            EXPECT_TRUE(style.contains("font-size: 36px;")) << style.toStdString();
            EXPECT_FALSE(style.contains("%1"));
        }
    }
}

TEST_F(ConfigReset, AbsentFontSizeGivesThirtySix)
{
    QTemporaryDir home;
    kavrel::test::ScopedEnv env("HOME", home.path().toStdString());
    const QString cfg = home.filePath("def_config.json");
    kavrel::test::writeFile(cfg.toStdString(), R"({"machine_id": "EMP-1", "cur_city": "SZ"})");
    config_manager::instance().init(cfg.toStdString());
    SelectableListItemButton button("row");
    for (const QString& style : allFontTemplatesFilled(button))
        EXPECT_TRUE(style.contains("font-size: 36px;")) << style.toStdString();
}

// --- selectable list rows -----------------------------------------------

TEST_F(ConfigReset, SelectedRowIsBlueWithWhiteTextAndTogglesBack)
{
    SelectableListItemButton button("标签");
    button.resize(300, 80);
    const QColor grey = centrePixel(button);
    EXPECT_EQ(grey, QColor("#E5E7EB"));

    button.toggleSelected();
    EXPECT_TRUE(button.selected);
    EXPECT_EQ(button.styleSheet(), SelectableListItemButton::selectedStyleTemplate().arg(36));
    EXPECT_TRUE(button.styleSheet().contains("color: #FFFFFF;"));
    EXPECT_EQ(centrePixel(button), QColor("#2D7FFF"));

    button.toggleSelected();
    EXPECT_FALSE(button.selected);
    EXPECT_EQ(centrePixel(button), grey);
}

TEST_F(ConfigReset, AddSelectableListItemAppendsARowOwnedByTheList)
{
    EXPECT_EQ(addSelectableListItem(nullptr, "x", true, 50), nullptr);

    QListWidget list;
    addSelectableListItem(&list, "first", false, 36);
    SelectableListItemButton* b = addSelectableListItem(&list, "second", true, 64);
    ASSERT_NE(b, nullptr);
    ASSERT_EQ(list.count(), 2);
    EXPECT_EQ(list.itemWidget(list.item(1)), b);
    EXPECT_EQ(b->text(), "second");
    EXPECT_TRUE(b->selected);
    EXPECT_EQ(b->styleSheet(), SelectableListItemButton::selectedStyleTemplate().arg(36));
    EXPECT_EQ(b->minimumHeight(), 64);
    EXPECT_EQ(list.item(1)->sizeHint(), QSize(0, 64));
    EXPECT_TRUE(list.isAncestorOf(b));

    auto* first = static_cast<SelectableListItemButton*>(list.itemWidget(list.item(0)));
    EXPECT_FALSE(first->selected);
    EXPECT_EQ(first->minimumHeight(), 36);
}

TEST_F(ConfigReset, FitListItemsToRowsSharesTheHeightButNeverBelowForty)
{
    QListWidget list;
    for (int i = 0; i < 7; ++i)
        addSelectableListItem(&list, QString::number(i), false, 56);

    list.resize(300, 150);
    fitListItemsToRows(&list, 5);
    for (int i = 0; i < list.count(); ++i) {
        EXPECT_EQ(list.item(i)->sizeHint(), QSize(0, 40));
        EXPECT_EQ(list.itemWidget(list.item(i))->minimumHeight(), 40);
    }

    list.resize(300, 400);
    fitListItemsToRows(&list, 5);
    for (int i = 0; i < list.count(); ++i) {
        EXPECT_EQ(list.item(i)->sizeHint(), QSize(0, 80));
        EXPECT_EQ(list.itemWidget(list.item(i))->minimumHeight(), 80);
    }

    // Rows without a widget are sized too.
    list.addItem("plain");
    fitListItemsToRows(&list, 4);
    EXPECT_EQ(list.item(list.count() - 1)->sizeHint(), QSize(0, 100));
}

TEST(FitListItemsToRows, IgnoresNullOrEmptyListsAndBadRowCounts)
{
    fitListItemsToRows(nullptr, 5);
    QListWidget list;
    list.addItem("a");
    list.item(0)->setSizeHint(QSize(0, 33));
    list.resize(300, 0);
    fitListItemsToRows(&list, 5);
    EXPECT_EQ(list.item(0)->sizeHint(), QSize(0, 33));
    list.resize(300, 200);
    fitListItemsToRows(&list, 0);
    EXPECT_EQ(list.item(0)->sizeHint(), QSize(0, 33));
}

// --- icons, buttons and the vector label --------------------------------

TEST(Resources, IconsAndTestFrameTheCodeLoadsAreCompiledIn)
{
    for (const char* icon : {"Start", "Stop", "keyboard", "ConfirmKey", "DeleteKey", "Confirm"}) {
        SCOPED_TRACE(icon);
        QSvgRenderer renderer(QString(":/Svg/%1.svg").arg(icon));
        EXPECT_TRUE(renderer.isValid());
        EXPECT_FALSE(renderer.defaultSize().isEmpty());
    }
    QFile frame(":/VideoData/2D.nv12");
    ASSERT_TRUE(frame.open(QIODevice::ReadOnly));
    EXPECT_EQ(frame.size(), 280 * 250 * 3 / 2);
}

TEST(SvgLabelTest, WithoutAGraphicItLooksExactlyLikeAPlainLabel)
{
    QLabel plain("状态 OK");
    SvgLabel svg;
    svg.setText("状态 OK");
    plain.resize(160, 48);
    svg.resize(160, 48);
    EXPECT_FALSE(svg.hasSvg());
    EXPECT_EQ(svg.grab().toImage(), plain.grab().toImage());
}

TEST(SvgLabelTest, PaintsTheGraphicScaledAndCentred)
{
    SvgLabel label;
    label.resize(200, 100);
    ASSERT_TRUE(label.setSvg(":/Svg/Confirm.svg"));
    const QImage img = label.grab().toImage();
    // A 100x100 square centred in the label: green disc, nothing outside it.
    EXPECT_EQ(img.pixelColor(100, 10), QColor("#16A34A"));
    QLabel empty;
    empty.resize(200, 100);
    const QImage background = empty.grab().toImage();
    EXPECT_EQ(img.pixelColor(10, 50), background.pixelColor(10, 50));
    EXPECT_EQ(img.pixelColor(190, 50), background.pixelColor(190, 50));
}

TEST(SvgLabelTest, RotatesAboutTheCentre)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("halves.svg");
    kavrel::test::writeFile(path.toStdString(),
        R"(<svg xmlns="http://www.w3.org/2000/svg" width="20" height="20">)"
        R"(<rect x="0" y="0" width="10" height="20" fill="#FF0000"/>)"
        R"(<rect x="10" y="0" width="10" height="20" fill="#0000FF"/></svg>)");
    SvgLabel label;
    label.resize(100, 100);
    ASSERT_TRUE(label.setSvg(path));
    QImage img = label.grab().toImage();
    EXPECT_EQ(img.pixelColor(20, 50), QColor("#FF0000"));
    EXPECT_EQ(img.pixelColor(80, 50), QColor("#0000FF"));

    label.setRotation(180);
    EXPECT_EQ(label.rotation(), 180);
    img = label.grab().toImage();
    EXPECT_EQ(img.pixelColor(20, 50), QColor("#0000FF"));
    EXPECT_EQ(img.pixelColor(80, 50), QColor("#FF0000"));
}

TEST(SvgLabelTest, ABadGraphicIsLoggedAndTheLabelStaysPlain)
{
    SvgLabel label;
    ASSERT_TRUE(label.setSvg(":/Svg/Start.svg"));
    LogCapture capture;
    EXPECT_FALSE(label.setSvg(":/Svg/NoSuchIcon.svg"));
    EXPECT_TRUE(capture.contains("Failed to load SVG::/Svg/NoSuchIcon.svg"));
    EXPECT_FALSE(label.hasSvg());
    label.clearSvg();
    EXPECT_FALSE(label.hasSvg());
}
